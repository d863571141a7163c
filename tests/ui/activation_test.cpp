// A message that opens while the user works in another program: when the user comes back to
// the program (its taskbar button, Alt+Tab, a click on the main window), the dialog becomes
// the active window with its enabled button focused, and a key answers it.

#include <gtest/gtest.h>
#include <windows.h>

#include "tests/ui/driver.h"
#include "tests/ui/program.h"
#include "update/window.h"

namespace patu::testing {
namespace {

constexpr UINT kTakeForeground = WM_APP + 7;

// Another program's window, on a thread of its own (its own input, as another process has),
// that takes the foreground when it opens and whenever it is told to.
class OtherProgram {
 public:
  OtherProgram() {
    ready_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    thread_ = CreateThread(nullptr, 0, run, this, 0, &thread_id_);
    WaitForSingleObject(ready_, 10000);
  }
  ~OtherProgram() {
    PostThreadMessageW(thread_id_, WM_QUIT, 0, 0);
    WaitForSingleObject(thread_, 10000);
    CloseHandle(thread_);
    CloseHandle(ready_);
  }
  HWND window() const { return window_; }
  void take_foreground() const { SendMessageW(window_, kTakeForeground, 0, 0); }

 private:
  static LRESULT CALLBACK proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == kTakeForeground) {
      SetForegroundWindow(hwnd);
      return 0;
    }
    return DefWindowProcW(hwnd, msg, wp, lp);
  }
  static DWORD WINAPI run(void* self_pointer) {
    auto* self = static_cast<OtherProgram*>(self_pointer);
    WNDCLASSW wc{};
    wc.lpfnWndProc = proc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"pATU.Test.OtherProgram";
    RegisterClassW(&wc);
    self->window_ =
        CreateWindowExW(0, wc.lpszClassName, L"Outro programa", WS_OVERLAPPEDWINDOW | WS_VISIBLE,
                        10, 10, 300, 200, nullptr, nullptr, wc.hInstance, nullptr);
    SetForegroundWindow(self->window_);
    SetEvent(self->ready_);
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
    DestroyWindow(self->window_);
    return 0;
  }

  HANDLE ready_ = nullptr;
  HANDLE thread_ = nullptr;
  DWORD thread_id_ = 0;
  HWND window_ = nullptr;
};

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
