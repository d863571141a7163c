// A message that opens while the user works in another program: when the user comes back to
// the program (its taskbar button, Alt+Tab, a click on the main window), the dialog becomes
// the active window with its enabled button focused, and a key answers it.

#include <gtest/gtest.h>
#include <windows.h>

#include "tests/ui/driver.h"
#include "tests/ui/other_program.h"
#include "tests/ui/program.h"
#include "update/window.h"

namespace patu::testing {
namespace {

// The dialog is the foreground window and its enabled button has the focus.
ModalDriver::Find dialog_takes_the_keyboard(const Program& p, HWND button) {
  return [&p, button]() -> HWND {
    const HWND dialog = p.fmMSG.handle();
    return GetForegroundWindow() == dialog && GetActiveWindow() == dialog && GetFocus() == button
               ? dialog
               : nullptr;
  };
}

TEST(Activation, MessageSevenOpenedBehindAnotherProgramTakesTheKeyboardWhenTheUserComesBack) {
  Program p(sample_package());
  p.show();
  OtherProgram other;
  bool other_had_foreground = false;
  bool main_disabled = false;
  ModalDriver driver;
  driver
      .then(shown(p.fmMSG.handle()),
            [&](HWND) {
              // Windows leaves the foreground with the other program.
              other.take_foreground();
              other_had_foreground = GetForegroundWindow() == other.window();
              main_disabled = !IsWindowEnabled(p.fmATU.handle());
              // The user clicks pATU's taskbar button: the owner's window comes forward.
              SetForegroundWindow(p.app.handle());
            })
      .then(dialog_takes_the_keyboard(p, p.fmMSG.Button1), [](HWND) { post_key(VK_SPACE); });
  EXPECT_TRUE(p.fmATU.SHOW_MSG(kMsgDone)) << "the key pressed OK";
  EXPECT_TRUE(other_had_foreground);
  EXPECT_TRUE(main_disabled);
}

TEST(Activation, TheMainWindowActivatedUnderADialogHandsTheActivationToIt) {
  Program p(sample_package());
  p.show();
  OtherProgram other;
  ModalDriver driver;
  driver
      .then(shown(p.fmMSG.handle()),
            [&](HWND) {
              other.take_foreground();
              // Alt+Tab or a click brings the main window forward, disabled as it is.
              SetForegroundWindow(p.fmATU.handle());
            })
      .then(dialog_takes_the_keyboard(p, p.fmMSG.Button2), [](HWND) { post_key(VK_RETURN); });
  EXPECT_FALSE(p.fmATU.SHOW_MSG(kMsgIncompatible)) << "the key pressed Cancelar";
}

}  // namespace
}  // namespace patu::testing
