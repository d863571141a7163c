#include "ui/application.h"

#include "ui/form.h"
#include "ui/wide.h"

namespace patu {
namespace {

constexpr wchar_t kApplicationClass[] = L"pATU.Application";
// Posted to the owner when it becomes active: the form the user last worked in takes over.
constexpr UINT kActivateForm = WM_APP + 1;

}  // namespace

Application::Application(HINSTANCE instance)
    : instance_(instance), title_(widen(kApplicationTitle)) {
  HDC screen = GetDC(nullptr);
  dpi_ = GetDeviceCaps(screen, LOGPIXELSY);
  ReleaseDC(nullptr, screen);

  WNDCLASSEXW wc{};
  if (!GetClassInfoExW(instance_, kApplicationClass, &wc)) {
    wc = WNDCLASSEXW{};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = window_proc;
    wc.hInstance = instance_;
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.lpszClassName = kApplicationClass;
    RegisterClassExW(&wc);
  }
  register_form_classes(instance_);

  // Zero-sized at the centre of the screen: it shows nothing but its taskbar button.
  handle_ = CreateWindowExW(0, kApplicationClass, title_.c_str(),
                            WS_POPUP | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPSIBLINGS,
                            GetSystemMetrics(SM_CXSCREEN) / 2, GetSystemMetrics(SM_CYSCREEN) / 2, 0,
                            0, nullptr, nullptr, instance_, this);
}

Application::~Application() { DestroyWindow(handle_); }

int Application::scale(int design) const { return MulDiv(design, dpi_, 96); }

int Application::Run(Form& main) {
  main_ = main.handle();
  ShowWindow(handle_, SW_SHOWNA);
  main.Show();
  while (!terminated_) HandleMessage();
  return 0;
}

void Application::HandleMessage() {
  MSG msg;
  const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
  if (got == 0 || got == -1) {
    Terminate();
    return;
  }
  dispatch(msg);
}

void Application::ProcessMessages() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      Terminate();
      continue;
    }
    dispatch(msg);
  }
}

void Application::Terminate() {
  terminated_ = true;
  // Wakes an event loop waiting for messages when the request came in a sent message.
  PostMessageW(handle_, WM_NULL, 0, 0);
}

void Application::Minimize() { ShowWindow(handle_, SW_MINIMIZE); }

void Application::set_cursor(Cursor cursor) {
  cursor_ = cursor;
  SetCursor(LoadCursorW(nullptr, cursor == Cursor::hourglass ? IDC_WAIT : IDC_ARROW));
}

bool Application::apply_cursor() const {
  if (cursor_ != Cursor::hourglass) return false;
  SetCursor(LoadCursorW(nullptr, IDC_WAIT));
  return true;
}

void Application::message_box(HWND owner, std::string_view text, UINT icon) const {
  MessageBoxW(owner, widen(text).c_str(), title_.c_str(), MB_OK | icon);
}

void Application::hold_pc(bool held) {
  if (held == held_) return;
  held_ = held;
  // The reason goes with the window the user sees.
  HWND shown = main_ ? main_ : handle_;
  if (held) {
    execution_state_ = SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED);
    ShutdownBlockReasonCreate(shown, widen(kEndSessionRefused).c_str());
  } else {
    // Only a continuous state is one to go back to; otherwise the thread had set none.
    SetThreadExecutionState((execution_state_ & ES_CONTINUOUS) != 0 ? execution_state_
                                                                    : ES_CONTINUOUS);
    ShutdownBlockReasonDestroy(shown);
  }
}

LRESULT Application::end_session_message(UINT msg, WPARAM wp) {
  if (msg == WM_QUERYENDSESSION) return held_ ? FALSE : TRUE;
  // The session ends: the event loop stops and the program closes down in order. While held
  // this comes only when the user forced the end; the update cannot be cut short cleanly, and
  // the system ends the process.
  if (wp) Terminate();
  return 0;
}

bool Application::translate(MSG& msg) const {
  HWND root = msg.hwnd ? GetAncestor(msg.hwnd, GA_ROOT) : nullptr;
  if (!root || !is_form(root)) return false;
  // No button is a default one: Enter presses the focused button, and only that.
  if (msg.message == WM_KEYDOWN && msg.wParam == VK_RETURN) {
    HWND focus = GetFocus();
    if (focus && IsChild(root, focus) && IsWindowEnabled(focus) &&
        (SendMessageW(focus, WM_GETDLGCODE, 0, 0) & (DLGC_DEFPUSHBUTTON | DLGC_UNDEFPUSHBUTTON))) {
      SendMessageW(focus, BM_CLICK, 0, 0);
      return true;
    }
  }
  return IsDialogMessageW(root, &msg);
}

void Application::dispatch(MSG& msg) {
  if (translate(msg)) return;
  TranslateMessage(&msg);
  DispatchMessageW(&msg);
}

LRESULT CALLBACK Application::window_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_NCCREATE) {
    SetWindowLongPtrW(
        hwnd, GWLP_USERDATA,
        reinterpret_cast<LONG_PTR>(reinterpret_cast<CREATESTRUCTW*>(lp)->lpCreateParams));
  }
  auto* self = reinterpret_cast<Application*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  switch (msg) {
    case WM_ACTIVATE:
      if (LOWORD(wp) != WA_INACTIVE) PostMessageW(hwnd, kActivateForm, 0, 0);
      return 0;
    case kActivateForm: {
      if (IsIconic(hwnd) || GetActiveWindow() != hwnd) return 0;
      HWND form = GetLastActivePopup(hwnd);
      if (form == hwnd || !IsWindowVisible(form) || !IsWindowEnabled(form)) form = self->main_;
      if (form && IsWindowVisible(form) && IsWindowEnabled(form)) SetActiveWindow(form);
      return 0;
    }
    case WM_CLOSE:
      // Closing from the taskbar closes the main window, as its close box would.
      if (self && self->main_) PostMessageW(self->main_, WM_CLOSE, 0, 0);
      return 0;
    case WM_QUERYENDSESSION:
    case WM_ENDSESSION:
      if (self) return self->end_session_message(msg, wp);
      [[fallthrough]];
    default:
      return DefWindowProcW(hwnd, msg, wp, lp);
  }
}

}  // namespace patu
