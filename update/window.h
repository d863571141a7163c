#pragma once
// What the update job needs of the main window. The Win32 window implements it, its calls
// carried from the job's thread to the window's; tests implement it with a recorder.

#include <string_view>

namespace patu {

// Codes of the message dialog.
enum MessageCode : int {
  kMsgPrompt = 0,        // put the device in update mode and press OK
  kMsgPortError = 1,     // the serial port cannot be opened
  kMsgNoDevice = 3,      // no communication with the device
  kMsgIncompatible = 4,  // incompatible versions
  kMsgDone = 7,          // the update has run
};

enum class Cursor { normal, hourglass };

// What a plain message box reports: the failure box says that the update failed once writing
// had begun; any other box is a notice.
enum class Box { notice, failure };

class JobWindow {
 public:
  virtual ~JobWindow() = default;
  // The serial port chosen in the window (1 to 256), read when the port is opened.
  virtual int PORTA_COM() const = 0;
  // Shows message `code` modally; true when the user closed it with "OK".
  virtual bool SHOW_MSG(int code) = 0;
  // The status line lbGG.
  virtual void set_status(std::string_view text) = 0;
  // Moves the progress bar by `delta`, kept within its range (PBM_DELTAPOS).
  virtual void step_progress(int delta) = 0;
  virtual int progress_max() const = 0;
  // A plain modal message box with one text and an OK button, captioned with the
  // application title.
  virtual void message_box(std::string_view text, Box box) = 0;
  // The screen-wide mouse pointer.
  virtual void set_cursor(Cursor cursor) = 0;
  // Asks the application to end once the running handler has returned.
  virtual void request_end() = 0;
  // Held (true) from the port's opening until the outcome is decided (the update's last
  // command, or identification's failure): meanwhile the PC must neither sleep for idleness
  // nor end the session (shutdown, restart, log-off), which would cut the device off. Released
  // (false) before any report is shown: a report may stay on screen all night.
  virtual void hold_pc(bool held) = 0;
};

}  // namespace patu
