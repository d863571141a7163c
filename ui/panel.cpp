#include "ui/panel.h"

#include <windowsx.h>

#include "ui/form.h"
#include "ui/wide.h"

namespace patu {

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

void Panel::set_caption(std::string_view caption, bool greyed) {
  if (greyed == greyed_ && window_text(handle_) == caption) return;
  greyed_ = greyed;
  SetWindowTextW(handle_, widen(caption).c_str());
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
        SetTextColor(dc, GetSysColor(greyed_ ? COLOR_GRAYTEXT : COLOR_WINDOWTEXT));
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
