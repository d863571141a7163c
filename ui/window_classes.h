#pragma once
// The window classes of the program's forms and panels, the one window procedure that hands
// each of their messages to the object behind the window, and how any window of the program
// finds that object.

#include <windows.h>

namespace patu {

inline constexpr wchar_t kFormClass[] = L"pATU.Form";
inline constexpr wchar_t kPanelClass[] = L"pATU.Panel";

// Placement in design pixels, relative to the parent's client area.
struct Bounds {
  int left, top, width, height;
};

// Registers the window classes of forms and panels once per process, with the program's icons.
void register_form_classes(HINSTANCE instance, HICON big_icon, HICON small_icon);
// The window procedure of forms (T = Form) and panels (T = Panel): hands each message to the
// object behind the window.
template <typename T>
LRESULT CALLBACK route_message(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
// The object behind a window of the program, in its window procedure: the last argument of its
// CreateWindowExW, kept with the window from WM_NCCREATE on; null before that.
template <typename T>
T* window_object(HWND hwnd, UINT msg, LPARAM lp) {
  if (msg == WM_NCCREATE) {
    SetWindowLongPtrW(
        hwnd, GWLP_USERDATA,
        reinterpret_cast<LONG_PTR>(reinterpret_cast<CREATESTRUCTW*>(lp)->lpCreateParams));
  }
  return reinterpret_cast<T*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
}
// Whether `hwnd` is one of the program's forms (they get dialog-style keyboard navigation).
bool is_form(HWND hwnd);

}  // namespace patu
