#pragma once
// Drives the program's modal windows from inside their own modal loops, as a user would:
// a 10 ms timer of the test's thread runs the steps in order, each once its window shows.
// A message box that shows after the last step, or a wait of about 10 s for a step or
// after the last one, fails the test and closes what is open.

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace patu::testing {

class ModalDriver {
 public:
  using Find = std::function<HWND()>;
  using Act = std::function<void(HWND)>;

  ModalDriver();
  // Fails the test if steps were left undone, then lets the window system settle.
  ~ModalDriver();
  ModalDriver(const ModalDriver&) = delete;
  ModalDriver& operator=(const ModalDriver&) = delete;

  // Once `find` gives a window, `act` runs on it; the next step waits for a later tick.
  ModalDriver& then(Find find, Act act);
  bool done() const { return next_ == steps_.size(); }

 private:
  static void CALLBACK tick(HWND, UINT, UINT_PTR, DWORD);
  void run_step();
  void give_up();

  struct Step {
    Find find;
    Act act;
  };
  std::vector<Step> steps_;
  std::size_t next_ = 0;
  int idle_ticks_ = 0;
  UINT_PTR timer_ = 0;
};

// `window` when it is visible.
ModalDriver::Find shown(HWND window);
// The visible message box of this thread.
ModalDriver::Find message_box();

// What a message box shows.
std::string box_text(HWND box);
// The icon of a message box (nullptr without one).
HICON box_icon(HWND box);
// Presses an enabled button as a click would; fails the test when it is disabled.
void press(HWND button);
// The OK button of a message box.
void press_box_ok(HWND box);
// A key pressed and released on the window that has the focus, through the event loop.
void post_key(WPARAM key);
// A left click in the middle of `window`.
void click(HWND window);

// The lines of a multi-line edit, as split by its line breaks ("" gives none).
std::vector<std::string> edit_lines(HWND edit);
// The text of a window in UTF-8.
std::string text_of(HWND window);

}  // namespace patu::testing
