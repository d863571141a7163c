#pragma once
// The program's taskbar button, which belongs to the application's hidden owner window: the
// progress of an update on it (Windows 7 and later, ITaskbarList3), its error state, and a
// flash that calls the technician back to a report opened while another program was in front.
//
// The taskbar interface is made only once the taskbar says the button exists (its registered
// message "TaskbarButtonCreated" reaching the owner), and made again, with the state shown
// anew, whenever the message comes back (the taskbar made anew, as when Explorer restarts). Without
// a taskbar or the interface (no such message, COM or the interface failing) the state is kept and
// shown nowhere, and the program works as without it.

#include <windows.h>

struct ITaskbarList3;

namespace patu {

class TaskbarButton {
 public:
  // For the button of `owner`, which must be a window of the calling thread: its window
  // procedure hands every message to on_message.
  explicit TaskbarButton(HWND owner);
  ~TaskbarButton();
  TaskbarButton(const TaskbarButton&) = delete;
  TaskbarButton& operator=(const TaskbarButton&) = delete;

  // For the owner's window procedure: true when the message was the taskbar's and is handled.
  // Also notes the program coming forward (WM_ACTIVATEAPP), which ends a flash; that message
  // goes on to the window's own handling (false).
  bool on_message(UINT msg, WPARAM wp);

  // The button shows `position` of `maximum`; a position of 0 or less shows no progress.
  void progress(int position, int maximum);
  // The progress shown so far turns to the error state.
  void error();
  // No progress, no error.
  void clear();
  // While another program has the foreground, flashes the button until the program comes
  // forward; with the program in front, does nothing.
  void call_attention();

 private:
  enum class State { none, normal, error };
  // Brings what the button shows in line with what it should show, calling the interface
  // only for what changed.
  void show();
  void make_interface();

  HWND owner_;
  UINT created_message_;
  bool com_ = false;  // COM initialised here, to be uninitialised
  ITaskbarList3* list_ = nullptr;
  bool flashing_ = false;
  // What the button should show, and what it shows.
  State state_ = State::none;
  int position_ = 0;
  int maximum_ = 0;
  State shown_state_ = State::none;
  int shown_position_ = 0;
  int shown_maximum_ = 0;
};

}  // namespace patu
