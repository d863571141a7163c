#pragma once
// The message dialog: one instance, created hidden and reused for every message. A message
// code selects its title, which of its two buttons can be pressed and the lines it shows.

#include <windows.h>

#include "ui/form.h"

namespace patu {

class TfmMSG final : public Form {
 public:
  // Creates the dialog, hidden.
  explicit TfmMSG(Application& app);
  ~TfmMSG() override;

  // Shows message `code` modally and answers true exactly when it was closed with "OK". A
  // code of the catalogue sets "OK"'s and "Cancelar"'s enabled states and the title, in
  // that order; any other code keeps the previous ones and shows no text.
  bool SHOW_MSG(int code);
  // Shows the dialog modally until a button or a close request ends it: the text of Tag,
  // centred, every other window of the program disabled, the arrow pointer over it, the focus
  // on its first enabled button. Returns 1 for "OK", 2 for any other ending; afterwards the
  // active window, its focus and the caller's pointer are as they were.
  int ShowModal();
  // Rebuilds Memo1 from Tag, once per showing: ShowModal runs it as the dialog shows, whether
  // or not the window system then activates the dialog.
  void FormActivate();

  int Tag = 0;             // the message code being shown
  HWND Button1 = nullptr;  // "OK"
  HWND Button2 = nullptr;  // "Cancelar"
  Panel Panel1;            // disabled: nothing in it takes the focus or a selection
  HWND Memo1 = nullptr;

 protected:
  LRESULT handle_message(UINT msg, WPARAM wp, LPARAM lp) override;

 private:
  int modal_result_ = 0;
};

}  // namespace patu
