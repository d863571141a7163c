#include "ui/window_classes.h"

#include <string_view>

#include "ui/form.h"
#include "ui/panel.h"

namespace patu {
namespace {

void register_class(HINSTANCE instance, const wchar_t* name, WNDPROC proc, HBRUSH background,
                    HICON big_icon, HICON small_icon) {
  WNDCLASSEXW wc{};
  if (GetClassInfoExW(instance, name, &wc)) return;
  wc = WNDCLASSEXW{};
  wc.cbSize = sizeof(wc);
  wc.lpfnWndProc = proc;
  wc.hInstance = instance;
  wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  wc.hbrBackground = background;
  wc.hIcon = big_icon;
  wc.hIconSm = small_icon;
  wc.lpszClassName = name;
  RegisterClassExW(&wc);
}

}  // namespace

template <typename T>
LRESULT CALLBACK route_message(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  // The object keeps the window's handle from the first message to the last.
  T* self = window_object<T>(hwnd, msg, lp);
  if (!self) return DefWindowProcW(hwnd, msg, wp, lp);
  if (msg == WM_NCCREATE) self->handle_ = hwnd;
  if (msg == WM_NCDESTROY) {
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
    self->handle_ = nullptr;
    return DefWindowProcW(hwnd, msg, wp, lp);
  }
  return self->handle_message(msg, wp, lp);
}

void register_form_classes(HINSTANCE instance, HICON big_icon, HICON small_icon) {
  register_class(instance, kFormClass, route_message<Form>,
                 reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1), big_icon, small_icon);
  register_class(instance, kPanelClass, route_message<Panel>, nullptr, big_icon, small_icon);
}

bool is_form(HWND hwnd) {
  wchar_t name[32];
  return GetClassNameW(hwnd, name, 32) > 0 && std::wstring_view(name) == kFormClass;
}

}  // namespace patu
