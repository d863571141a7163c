#include "ui/form.h"

#include <windowsx.h>

#include "ui/wide.h"

namespace patu {
namespace {

constexpr wchar_t kFormClass[] = L"pATU.Form";
constexpr wchar_t kPanelClass[] = L"pATU.Panel";

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
  // The object is stored with the window at its creation; it keeps the window's handle from
  // the first message to the last.
  if (msg == WM_NCCREATE) {
    SetWindowLongPtrW(
        hwnd, GWLP_USERDATA,
        reinterpret_cast<LONG_PTR>(reinterpret_cast<CREATESTRUCTW*>(lp)->lpCreateParams));
  }
  T* self = reinterpret_cast<T*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
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

void set_label(HWND label, std::string_view text) {
  const std::wstring wide = widen(text);
  HDC dc = GetDC(label);
  HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(label, WM_GETFONT, 0, 0)));
  SIZE size{};
  GetTextExtentPoint32W(dc, wide.c_str(), static_cast<int>(wide.size()), &size);
  TEXTMETRICW metrics{};
  GetTextMetricsW(dc, &metrics);
  SelectObject(dc, old);
  ReleaseDC(label, dc);
  // Sized first and then painted whole: a label that paints its new caption at once would
  // otherwise leave it clipped to the old size.
  SetWindowPos(label, nullptr, 0, 0, size.cx, metrics.tmHeight,
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  SetWindowTextW(label, wide.c_str());
  InvalidateRect(label, nullptr, TRUE);
}

std::string window_text(HWND hwnd) {
  std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(hwnd)) + 1, L'\0');
  text.resize(
      static_cast<std::size_t>(GetWindowTextW(hwnd, text.data(), static_cast<int>(text.size()))));
  return narrow(text);
}

// --- Form ---

Form::Form(Application& app) : app_(app) {}

Form::~Form() {
  destroy();
  for (auto& [color, brush] : brushes_) DeleteObject(brush);
  for (HFONT font : fonts_) DeleteObject(font);
}

void Form::destroy() {
  if (handle_) DestroyWindow(handle_);
}

void Form::create(std::string_view title, DWORD style, DWORD ex_style, int width, int height) {
  RECT frame{0, 0, app_.scale(width), app_.scale(height)};
  AdjustWindowRectEx(&frame, style, FALSE, ex_style);
  CreateWindowExW(ex_style, kFormClass, widen(title).c_str(), style, 0, 0, frame.right - frame.left,
                  frame.bottom - frame.top, app_.handle(), nullptr, app_.instance(), this);
  app_.give_icons(handle_);
  center();
}

void Form::center() {
  RECT r;
  GetWindowRect(handle_, &r);
  const int width = r.right - r.left;
  const int height = r.bottom - r.top;
  SetWindowPos(handle_, nullptr, (GetSystemMetrics(SM_CXSCREEN) - width) / 2,
               (GetSystemMetrics(SM_CYSCREEN) - height) / 2, 0, 0,
               SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void Form::Show() {
  ShowWindow(handle_, SW_SHOW);
  SetForegroundWindow(handle_);
}

HFONT Form::make_font(int points, bool bold, bool italic) {
  HFONT font =
      CreateFontW(-MulDiv(points, app_.dpi(), 72), 0, 0, 0, bold ? FW_BOLD : FW_NORMAL, italic,
                  FALSE, FALSE, ANSI_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                  DEFAULT_QUALITY, DEFAULT_PITCH | FF_SWISS, L"Arial");
  fonts_.push_back(font);
  return font;
}

HWND Form::create_control(HWND parent, const wchar_t* window_class, std::string_view text,
                          DWORD style, Bounds b, int id, HFONT font) {
  HWND control = CreateWindowExW(
      0, window_class, widen(text).c_str(), WS_CHILD | WS_VISIBLE | style, app_.scale(b.left),
      app_.scale(b.top), app_.scale(b.width), app_.scale(b.height), parent,
      reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), app_.instance(), nullptr);
  SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
  return control;
}

HWND Form::create_label(HWND parent, std::string_view text, int left, int top, HFONT font,
                        COLORREF text_color, COLORREF back) {
  HWND label =
      create_control(parent, L"STATIC", "", SS_LEFT | SS_NOPREFIX, {left, top, 0, 0}, -1, font);
  set_colors(label, text_color, back);
  set_label(label, text);
  return label;
}

HWND Form::create_right_label(HWND parent, std::string_view text, int right, int top, HFONT font,
                              COLORREF text_color, COLORREF back) {
  HWND label = create_label(parent, text, 0, top, font, text_color, back);
  RECT r;
  GetClientRect(label, &r);
  SetWindowPos(label, nullptr, app_.scale(right) - r.right, app_.scale(top), 0, 0,
               SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  return label;
}

void Form::set_colors(HWND control, COLORREF text_color, COLORREF back) {
  colors_[control] = {text_color, back};
  InvalidateRect(control, nullptr, TRUE);
}

HBRUSH Form::brush(COLORREF color) {
  auto [it, added] = brushes_.try_emplace(color, nullptr);
  if (added) it->second = CreateSolidBrush(color);
  return it->second;
}

void Form::restore_focus() {
  if (!focus_ || !IsWindow(focus_) || !IsChild(handle_, focus_) || !IsWindowEnabled(focus_) ||
      !IsWindowVisible(focus_)) {
    focus_ = GetNextDlgTabItem(handle_, nullptr, FALSE);
  }
  HWND target = focus_ ? focus_ : handle_;
  if (GetFocus() != target) SetFocus(target);
}

LRESULT Form::handle_message(UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLOREDIT: {
      const auto it = colors_.find(reinterpret_cast<HWND>(lp));
      if (it == colors_.end()) break;
      HDC dc = reinterpret_cast<HDC>(wp);
      SetTextColor(dc, it->second.text);
      SetBkColor(dc, it->second.back);
      return reinterpret_cast<LRESULT>(brush(it->second.back));
    }
    case WM_SETCURSOR:
      if (app_.apply_cursor()) return TRUE;
      break;
    case WM_ACTIVATE:
      // The focus goes back where it was when the form was last left.
      if (LOWORD(wp) == WA_INACTIVE) {
        HWND focus = GetFocus();
        if (focus && IsChild(handle_, focus)) focus_ = focus;
      } else if (!IsWindowEnabled(handle_)) {
        app_.pass_activation();
      } else if (!HIWORD(wp)) {
        restore_focus();
      }
      return 0;
    case WM_SETFOCUS:
      restore_focus();
      return 0;
    case WM_QUERYENDSESSION:
    case WM_ENDSESSION:
      return app_.end_session_message(handle_, msg, wp);
    default:
      break;
  }
  return DefWindowProcW(handle_, msg, wp, lp);
}

// --- Panel ---

Panel::~Panel() {
  if (handle_) DestroyWindow(handle_);
  if (brush_) DeleteObject(brush_);
}

void Panel::create(Form& form, HWND parent, Bounds b, COLORREF color, bool border,
                   std::string_view caption) {
  form_ = &form;
  color_ = color;
  brush_ = CreateSolidBrush(color);
  const Application& app = form.app();
  // Control parent: the Tab key looks for stops among the panel's children too.
  CreateWindowExW(
      WS_EX_CONTROLPARENT, kPanelClass, widen(caption).c_str(),
      WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN | WS_CLIPSIBLINGS | (border ? WS_BORDER : 0),
      app.scale(b.left), app.scale(b.top), app.scale(b.width), app.scale(b.height), parent, nullptr,
      app.instance(), this);
}

void Panel::set_Color(COLORREF color) {
  if (color == color_) return;
  color_ = color;
  DeleteObject(brush_);
  brush_ = CreateSolidBrush(color);
  InvalidateRect(handle_, nullptr, TRUE);
}

LRESULT Panel::handle_message(UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_ERASEBKGND: {
      RECT r;
      GetClientRect(handle_, &r);
      FillRect(reinterpret_cast<HDC>(wp), &r, brush_);
      return 1;
    }
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(handle_, &ps);
      if (GetWindowTextLengthW(handle_) > 0) {
        std::wstring caption = widen(window_text(handle_));
        RECT r;
        GetClientRect(handle_, &r);
        HGDIOBJ old = SelectObject(dc, font_);
        SetBkMode(dc, TRANSPARENT);
        SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
        DrawTextW(dc, caption.c_str(), static_cast<int>(caption.size()), &r,
                  DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
        SelectObject(dc, old);
      }
      EndPaint(handle_, &ps);
      return 0;
    }
    case WM_SETFONT:
      font_ = reinterpret_cast<HFONT>(wp);
      if (LOWORD(lp)) InvalidateRect(handle_, nullptr, TRUE);
      return 0;
    case WM_GETFONT:
      return reinterpret_cast<LRESULT>(font_);
    case WM_SETCURSOR:
      if (form_->app().apply_cursor()) return TRUE;
      if (hand_cursor && LOWORD(lp) == HTCLIENT) {
        SetCursor(LoadCursorW(nullptr, IDC_HAND));
        return TRUE;
      }
      break;
    case WM_LBUTTONDOWN:
      SetCapture(handle_);
      pressed_ = true;
      return 0;
    case WM_LBUTTONUP:
      if (pressed_) {
        pressed_ = false;
        ReleaseCapture();
        RECT r;
        GetClientRect(handle_, &r);
        if (PtInRect(&r, POINT{GET_X_LPARAM(lp), GET_Y_LPARAM(lp)}) && OnClick) OnClick(*this);
      }
      return 0;
    case WM_CAPTURECHANGED:
      pressed_ = false;
      return 0;
    case WM_CTLCOLORBTN:
      SetBkColor(reinterpret_cast<HDC>(wp), color_);
      return reinterpret_cast<LRESULT>(brush_);
    case WM_COMMAND:
    case WM_NOTIFY:
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLOREDIT:
      return SendMessageW(GetAncestor(handle_, GA_ROOT), msg, wp, lp);
    default:
      break;
  }
  return DefWindowProcW(handle_, msg, wp, lp);
}

}  // namespace patu
