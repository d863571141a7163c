#pragma once
// The application object: the hidden window that carries the application title (so it is
// the text of the program's taskbar button) and owns every form, the taskbar button's
// progress and flash, the event loop, the request to end, and the screen-wide mouse pointer.
//
// Owning the forms by one hidden window keeps a single taskbar button, titled with the
// application title while the main window carries its own caption; minimising the main
// window minimises that owner, which hides and restores the forms together.

#include <windows.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ui/taskbar_button.h"
#include "update/messages.h"
#include "update/window.h"

namespace patu {

class Form;

// The program's icon: resource 1, its first icon group, the one Explorer shows.
inline constexpr int kIconId = 1;

class Application {
 public:
  // Creates the hidden owner window; the program's first step after the toolkit is ready.
  explicit Application(HINSTANCE instance);
  ~Application();
  Application(const Application&) = delete;
  Application& operator=(const Application&) = delete;

  HINSTANCE instance() const { return instance_; }
  // The owner of every form.
  HWND handle() const { return handle_; }
  const std::wstring& title() const { return title_; }
  // The program's icon at the sizes of the screen's title bars and taskbar (big) and of its
  // small icons; null when the module has none.
  HICON big_icon() const { return big_icon_; }
  HICON small_icon() const { return small_icon_; }
  // Gives `window` the program's icons (those of its class alone are not what WM_GETICON
  // answers, and Alt+Tab and the shutdown screen ask the window).
  void give_icons(HWND window) const;
  // The program's taskbar button, the owner's.
  TaskbarButton& taskbar() { return *taskbar_; }
  // The screen's pixels per inch, and design pixels (96 per inch) scaled to it.
  int dpi() const { return dpi_; }
  int scale(int design) const;

  // Shows `main` (its show and activation events run) and serves events until Terminate,
  // and a running job has ended. Returns the program's exit code.
  int Run(Form& main);
  // Waits for one message and handles it; a quit message counts as Terminate.
  void HandleMessage();
  // Handles every message already waiting, then returns. May re-enter any handler.
  void ProcessMessages();
  // The request to end: the event loop stops once the handler that asked has returned, and
  // a modal form that is open or opens afterwards closes at once with no answer.
  void Terminate();
  bool Terminated() const { return terminated_; }
  // A job runs on its own thread: the event loop outlasts Terminate until it has ended.
  void set_job_running(bool running) { job_running_ = running; }
  // Hides every form with the owner, leaving only the taskbar button.
  void Minimize();
  // For a window of the program that became active while disabled under a modal window (the
  // user came back through the taskbar or Alt+Tab): the window that takes input becomes the
  // active one, its focus on its first enabled button. The owner does it on its own activation.
  void pass_activation();

  // The screen-wide pointer: set at once, and kept over the program's windows.
  void set_cursor(Cursor cursor);
  Cursor cursor() const { return cursor_; }
  // For WM_SETCURSOR in the program's windows: true when it set the screen-wide pointer,
  // false when the window should show its own.
  bool apply_cursor() const;

  // A plain modal message box with an OK button, captioned with the application title.
  void message_box(HWND owner, std::string_view text, UINT icon = 0) const;

  // While held, the PC neither sleeps for idleness nor turns its screen off, and the end of
  // the session (shutdown, restart, log-off) is refused by the owner and by every titled form
  // that shows, each carrying the reason that Windows lists beside its title; releasing puts
  // back the thread's own setting and withdraws the reasons. Unheld, the end of the session
  // ends the program.
  void hold_pc(bool held);
  bool holds_pc() const { return held_; }
  // For WM_QUERYENDSESSION and WM_ENDSESSION in the program's top-level window `hwnd`.
  LRESULT end_session_message(HWND hwnd, UINT msg, WPARAM wp);

 private:
  static LRESULT CALLBACK window_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
  // Whether `hwnd` answers an end of the session with a refusal: only while held, and only a
  // window that Windows can list by its title (a hidden form would be listed without one).
  bool refuses_end(HWND hwnd) const;
  // Sets the reason on `hwnd`, which this thread created, and notes it when Windows took it.
  void give_reason(HWND hwnd);
  void activate_form();
  // Dialog keys for the program's forms: true when the message was consumed.
  bool translate(MSG& msg) const;
  void dispatch(MSG& msg);

  HINSTANCE instance_;
  HWND handle_ = nullptr;
  HWND main_ = nullptr;
  std::wstring title_;
  int dpi_ = 96;
  HICON big_icon_ = nullptr;
  HICON small_icon_ = nullptr;
  std::optional<TaskbarButton> taskbar_;  // made with the owner, released before it goes
  bool terminated_ = false;
  bool job_running_ = false;
  Cursor cursor_ = Cursor::normal;
  bool held_ = false;
  EXECUTION_STATE execution_state_ = 0;  // the thread's own before hold_pc
  std::vector<HWND> reasons_;            // the windows that carry the reason
};

}  // namespace patu
