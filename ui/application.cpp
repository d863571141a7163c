#include "ui/application.h"

#include <algorithm>

#include "ui/form.h"
#include "ui/wide.h"
#include "ui/window_classes.h"

namespace patu {
namespace {

constexpr wchar_t kApplicationClass[] = L"pATU.Application";
// Posted to the owner when it, or a window of the program that is disabled, becomes active:
// the window that takes input takes over.
constexpr UINT kActivateForm = WM_APP + 1;

BOOL CALLBACK collect_window(HWND hwnd, LPARAM windows) {
  reinterpret_cast<std::vector<HWND>*>(windows)->push_back(hwnd);
  return TRUE;
}

// The top-level windows of this thread, topmost first.
std::vector<HWND> thread_windows() {
  std::vector<HWND> windows;
  EnumThreadWindows(GetCurrentThreadId(), collect_window, reinterpret_cast<LPARAM>(&windows));
  return windows;
}

}  // namespace

Application::Application(HINSTANCE instance)
    : instance_(instance), title_(widen(kApplicationTitle)) {
  HDC screen = GetDC(nullptr);
  dpi_ = GetDeviceCaps(screen, LOGPIXELSY);
  ReleaseDC(nullptr, screen);
  auto icon = [&](int width, int height) {
    return static_cast<HICON>(LoadImageW(instance_, MAKEINTRESOURCEW(kIconId), IMAGE_ICON,
                                         GetSystemMetrics(width), GetSystemMetrics(height),
                                         LR_SHARED));
  };
  big_icon_ = icon(SM_CXICON, SM_CYICON);
  small_icon_ = icon(SM_CXSMICON, SM_CYSMICON);

  WNDCLASSEXW wc{};
  if (!GetClassInfoExW(instance_, kApplicationClass, &wc)) {
    wc = WNDCLASSEXW{};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = window_proc;
    wc.hInstance = instance_;
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hIcon = big_icon_;
    wc.hIconSm = small_icon_;
    wc.lpszClassName = kApplicationClass;
    RegisterClassExW(&wc);
  }
  register_form_classes(instance_, big_icon_, small_icon_);

  // Zero-sized at the centre of the screen: it shows nothing but its taskbar button.
  handle_ = CreateWindowExW(0, kApplicationClass, title_.c_str(),
                            WS_POPUP | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPSIBLINGS,
                            GetSystemMetrics(SM_CXSCREEN) / 2, GetSystemMetrics(SM_CYSCREEN) / 2, 0,
                            0, nullptr, nullptr, instance_, this);
  give_icons(handle_);
  taskbar_.emplace(handle_);
}

Application::~Application() {
  taskbar_.reset();
  DestroyWindow(handle_);
}

void Application::give_icons(HWND window) const {
  SendMessageW(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(big_icon_));
  SendMessageW(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(small_icon_));
}

int Application::scale(int design) const { return MulDiv(design, dpi_, 96); }

int Application::Run(Form& main) {
  main_ = main.handle();
  ShowWindow(handle_, SW_SHOWNA);
  main.Show();
  while (!terminated_ || job_running_) HandleMessage();
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
  if (held) {
    execution_state_ =
        SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED | ES_DISPLAY_REQUIRED);
    for (HWND w : thread_windows()) {
      if ((w == handle_ || is_form(w)) && refuses_end(w)) give_reason(w);
    }
  } else {
    // Only a continuous state is one to go back to; otherwise the thread had set none.
    SetThreadExecutionState((execution_state_ & ES_CONTINUOUS) != 0 ? execution_state_
                                                                    : ES_CONTINUOUS);
    for (HWND w : reasons_) ShutdownBlockReasonDestroy(w);
    reasons_.clear();
  }
}

bool Application::refuses_end(HWND hwnd) const {
  // The owner is zero-sized but shown: it carries the taskbar button and the application title.
  return held_ && GetWindowTextLengthW(hwnd) > 0 && (hwnd == handle_ || IsWindowVisible(hwnd));
}

void Application::give_reason(HWND hwnd) {
  if (!ShutdownBlockReasonCreate(hwnd, widen(kEndSessionRefused).c_str())) return;
  if (std::find(reasons_.begin(), reasons_.end(), hwnd) == reasons_.end()) reasons_.push_back(hwnd);
}

LRESULT Application::end_session_message(HWND hwnd, UINT msg, WPARAM wp) {
  if (msg == WM_QUERYENDSESSION) {
    if (!refuses_end(hwnd)) return TRUE;
    // Set again as the query arrives: a form shown since the hold began has none yet.
    give_reason(hwnd);
    return FALSE;
  }
  // The session ends: the event loop stops and the program closes down in order (a report on
  // screen closes unanswered, a message box too, and the port after them). While held this
  // comes only when the user forced the end; the update cannot be cut short cleanly, and the
  // system ends the process.
  if (wp) {
    Terminate();
    for (HWND w : thread_windows()) {
      wchar_t name[16];
      if (GetClassNameW(w, name, 16) && std::wstring_view(name) == L"#32770") {
        PostMessageW(w, WM_CLOSE, 0, 0);
      }
    }
  }
  return 0;
}

void Application::pass_activation() { PostMessageW(handle_, kActivateForm, 0, 0); }

void Application::activate_form() {
  HWND active = GetActiveWindow();
  if (IsIconic(handle_) || !active || (active != handle_ && IsWindowEnabled(active))) return;
  // The window the user last worked in, unless a modal window disabled it: then the window
  // that takes input, topmost first (a dialog or message box shown while another program had
  // the foreground never became active, so it is no one's last active popup).
  auto takes_input = [this](HWND w) {
    return w != handle_ && IsWindowVisible(w) && IsWindowEnabled(w);
  };
  HWND target = GetLastActivePopup(handle_);
  if (!takes_input(target)) {
    const std::vector<HWND> windows = thread_windows();
    const auto found = std::find_if(windows.begin(), windows.end(), takes_input);
    target = found != windows.end() ? *found : nullptr;
  }
  if (target) SetActiveWindow(target);
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
  auto* self = window_object<Application>(hwnd, msg, lp);
  if (self && self->taskbar_ && self->taskbar_->on_message(msg, wp)) return 0;
  switch (msg) {
    case WM_ACTIVATE:
      if (LOWORD(wp) != WA_INACTIVE) PostMessageW(hwnd, kActivateForm, 0, 0);
      return 0;
    case kActivateForm:
      if (self) self->activate_form();
      return 0;
    case WM_CLOSE:
      // Closing from the taskbar closes the main window, as its close box would.
      if (self && self->main_) PostMessageW(self->main_, WM_CLOSE, 0, 0);
      return 0;
    case WM_QUERYENDSESSION:
    case WM_ENDSESSION:
      if (self) return self->end_session_message(hwnd, msg, wp);
      [[fallthrough]];
    default:
      return DefWindowProcW(hwnd, msg, wp, lp);
  }
}

}  // namespace patu
