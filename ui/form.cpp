#include "ui/form.h"

#include "ui/wide.h"

namespace patu {

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

}  // namespace patu
