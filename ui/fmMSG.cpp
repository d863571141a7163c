#include "ui/fmMSG.h"

#include <string>
#include <vector>

#include "ui/wide.h"
#include "update/messages.h"

namespace patu {
namespace {

// Not IDOK/IDCANCEL: dialog navigation must not turn Enter or Escape into these buttons.
constexpr int kButton1Id = 101;
constexpr int kButton2Id = 102;
constexpr int kResultOk = 1;
constexpr int kResultCancel = 2;

struct DisabledWindows {
  HWND keep;
  std::vector<HWND> windows;
};

BOOL CALLBACK disable_window(HWND hwnd, LPARAM context) {
  auto* d = reinterpret_cast<DisabledWindows*>(context);
  if (hwnd != d->keep && IsWindowVisible(hwnd) && IsWindowEnabled(hwnd)) {
    EnableWindow(hwnd, FALSE);
    d->windows.push_back(hwnd);
  }
  return TRUE;
}

}  // namespace

TfmMSG::TfmMSG(Application& app) : Form(app) {
  create("Mensagem", WS_POPUP | WS_CAPTION | WS_CLIPCHILDREN, WS_EX_DLGMODALFRAME, 338, 168);
  HFONT font = make_font(8);
  SendMessageW(handle(), WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);

  // Created in tab order: "OK" first.
  Button1 = create_control(handle(), L"BUTTON", "OK", BS_PUSHBUTTON | WS_TABSTOP,
                           {267, 138, 66, 25}, kButton1Id, font);
  Button2 = create_control(handle(), L"BUTTON", "Cancelar", BS_PUSHBUTTON | WS_TABSTOP,
                           {200, 138, 66, 25}, kButton2Id, font);
  const COLORREF face = GetSysColor(COLOR_BTNFACE);
  Panel1.create(*this, handle(), {8, 8, 322, 124}, face, false);
  EnableWindow(Panel1.handle(), FALSE);
  Memo1 = create_control(Panel1.handle(), L"EDIT", "", ES_MULTILINE | ES_READONLY, {0, 0, 322, 124},
                         -1, make_font(10, false, true));
  set_colors(Memo1, GetSysColor(COLOR_WINDOWTEXT), face);
}

TfmMSG::~TfmMSG() { destroy(); }

bool TfmMSG::SHOW_MSG(int code) {
  Tag = code;
  if (const Message* m = find_message(code)) {
    EnableWindow(Button1, m->ok);
    EnableWindow(Button2, m->cancel);
    SetWindowTextW(handle(), widen(m->title).c_str());
  }
  return ShowModal() == kResultOk;
}

int TfmMSG::ShowModal() {
  const Cursor pointer = app().cursor();
  app().set_cursor(Cursor::normal);
  HWND active = GetActiveWindow();
  HWND focus = GetFocus();

  forget_focus();
  center();
  modal_result_ = 0;
  // Filled here rather than on activation: the window system does not always activate a
  // window of a program that is not in the foreground, and the text must be this code's.
  FormActivate();
  Show();
  DisabledWindows others{handle(), {}};
  EnumThreadWindows(GetCurrentThreadId(), disable_window, reinterpret_cast<LPARAM>(&others));

  // A request to end the program closes the dialog at once, unanswered.
  while (modal_result_ == 0) {
    if (app().Terminated()) {
      modal_result_ = kResultCancel;
    } else {
      app().HandleMessage();
    }
  }

  for (HWND w : others.windows) EnableWindow(w, TRUE);
  ShowWindow(handle(), SW_HIDE);
  if (active && IsWindow(active)) SetActiveWindow(active);
  if (focus && IsWindow(focus) && GetAncestor(focus, GA_ROOT) == GetActiveWindow()) SetFocus(focus);
  app().set_cursor(pointer);
  return modal_result_;
}

void TfmMSG::FormActivate() {
  std::string text;
  if (const Message* m = find_message(Tag)) {
    for (std::size_t i = 0; i < m->lines.size(); ++i) {
      if (i > 0) text += "\r\n";
      text += m->lines[i];
    }
  }
  SetWindowTextW(Memo1, widen(text).c_str());
}

LRESULT TfmMSG::handle_message(UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_COMMAND:
      if (HIWORD(wp) == BN_CLICKED && LOWORD(wp) == kButton1Id) modal_result_ = kResultOk;
      if (HIWORD(wp) == BN_CLICKED && LOWORD(wp) == kButton2Id) modal_result_ = kResultCancel;
      return 0;
    case WM_CLOSE:
      modal_result_ = kResultCancel;
      return 0;
    default:
      break;
  }
  return Form::handle_message(msg, wp, lp);
}

}  // namespace patu
