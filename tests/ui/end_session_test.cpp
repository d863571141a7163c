// The PC held during a job, as Windows would see it: the thread's execution state, and which
// windows refuse the end of the session with which reason. Wine's ShutdownBlockReasonCreate
// sets nothing and fails, so the two reason calls are caught where they leave the program:
// these definitions of their import slots take the place of user32's in this executable and
// do what Windows does, which only takes a reason from the thread that created the window.

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/support/import_slot.h"
#include "tests/ui/driver.h"
#include "tests/ui/program.h"
#include "ui/wide.h"
#include "update/messages.h"

namespace {

struct ReasonCall {
  HWND window;
  bool create;  // ShutdownBlockReasonCreate, else ShutdownBlockReasonDestroy
  bool taken;   // what the call answered
  std::wstring text;
};
std::vector<ReasonCall> g_reason_calls;

bool on_own_thread(HWND window) {
  return IsWindow(window) && GetWindowThreadProcessId(window, nullptr) == GetCurrentThreadId();
}

BOOL WINAPI recording_ShutdownBlockReasonCreate(HWND window, LPCWSTR reason) {
  const bool taken = on_own_thread(window) && reason != nullptr;
  g_reason_calls.push_back({window, true, taken, reason ? reason : L""});
  if (!taken) SetLastError(ERROR_ACCESS_DENIED);
  return taken;
}

BOOL WINAPI recording_ShutdownBlockReasonDestroy(HWND window) {
  const bool taken = on_own_thread(window);
  g_reason_calls.push_back({window, false, taken, {}});
  if (!taken) SetLastError(ERROR_ACCESS_DENIED);
  return taken;
}

}  // namespace
extern "C" {
BOOL(WINAPI* reason_create_slot)
(HWND, LPCWSTR) __asm__(PATU_IMPORT_SLOT(ShutdownBlockReasonCreate,
                                         8)) = recording_ShutdownBlockReasonCreate;
BOOL(WINAPI* reason_destroy_slot)
(HWND) __asm__(PATU_IMPORT_SLOT(ShutdownBlockReasonDestroy,
                                4)) = recording_ShutdownBlockReasonDestroy;
}

namespace patu::testing {
namespace {

// The thread's execution state. Asking for it sets it, so it is put back.
EXECUTION_STATE execution_state() {
  const EXECUTION_STATE state = SetThreadExecutionState(ES_CONTINUOUS);
  SetThreadExecutionState(state);
  return state;
}

BOOL CALLBACK collect(HWND hwnd, LPARAM windows) {
  reinterpret_cast<std::vector<HWND>*>(windows)->push_back(hwnd);
  return TRUE;
}

// Whether `window` carries the reason now: its last reason call set it, and was taken.
bool carries_reason(HWND window) {
  for (auto call = g_reason_calls.rbegin(); call != g_reason_calls.rend(); ++call) {
    if (call->window != window || !call->taken) continue;
    return call->create && call->text == widen(kEndSessionRefused);
  }
  return false;
}

// Asks every top-level window of the thread, as the system asks them all, and checks each
// refusal: a window that Windows can list by its title, carrying the reason as it answers.
// Returns the windows that refused.
std::vector<HWND> ask_to_end_session() {
  std::vector<HWND> windows;
  EnumThreadWindows(GetCurrentThreadId(), collect, reinterpret_cast<LPARAM>(&windows));
  std::vector<HWND> refused;
  for (HWND w : windows) {
    if (SendMessageW(w, WM_QUERYENDSESSION, 0, 0) != FALSE) continue;
    refused.push_back(w);
    EXPECT_FALSE(text_of(w).empty()) << "a window without a title refused";
    EXPECT_TRUE(carries_reason(w)) << "\"" << text_of(w) << "\" refused without the reason";
  }
  return refused;
}

// After a release: every window that was given the reason had it withdrawn, and no window
// carries it any longer.
void expect_reasons_withdrawn() {
  for (const ReasonCall& call : g_reason_calls) {
    EXPECT_FALSE(carries_reason(call.window)) << "\"" << text_of(call.window) << "\"";
  }
}

bool contains(const std::vector<HWND>& windows, HWND w) {
  return std::find(windows.begin(), windows.end(), w) != windows.end();
}

class EndOfSession : public ::testing::Test {
 protected:
  void SetUp() override {
    g_reason_calls.clear();
    SetThreadExecutionState(own_state);
  }

  static constexpr EXECUTION_STATE own_state = ES_CONTINUOUS | ES_AWAYMODE_REQUIRED;
};

TEST_F(EndOfSession, HeldThePcStaysAwakeWithItsScreenAndTheTitledWindowsRefuseWithTheReason) {
  Program p(sample_package());
  p.show();
  const HWND owner = p.app.handle();
  const HWND main = p.fmATU.handle();
  EXPECT_EQ(ask_to_end_session(), std::vector<HWND>{});
  EXPECT_TRUE(g_reason_calls.empty());

  p.fmATU.hold_pc(true);
  EXPECT_EQ(execution_state(), ES_CONTINUOUS | ES_SYSTEM_REQUIRED | ES_DISPLAY_REQUIRED);
  const std::vector<HWND> refused = ask_to_end_session();
  EXPECT_TRUE(contains(refused, owner)) << "the window of the taskbar button";
  EXPECT_TRUE(contains(refused, main));
  EXPECT_FALSE(contains(refused, p.fmMSG.handle())) << "hidden, it would be listed untitled";
  // The end refused, the system tells every window that the session goes on.
  for (HWND w : refused) SendMessageW(w, WM_ENDSESSION, FALSE, 0);
  EXPECT_FALSE(p.app.Terminated());

  p.fmATU.hold_pc(false);
  EXPECT_EQ(execution_state(), own_state);
  expect_reasons_withdrawn();
  EXPECT_EQ(ask_to_end_session(), std::vector<HWND>{});
  SendMessageW(main, WM_ENDSESSION, TRUE, 0);
  EXPECT_TRUE(p.app.Terminated());
}

TEST_F(EndOfSession, MinimisedTheOwnerRefusesAndTheMainWindowGetsTheReasonWhenItShowsAgain) {
  Program p(sample_package());
  p.show();
  ShowWindow(p.app.handle(), SW_SHOWNA);
  p.app.Minimize();
  // Windows hides the owned windows of a minimised owner; Wine without a window manager
  // leaves them shown.
  ShowWindow(p.fmATU.handle(), SW_HIDE);
  p.app.ProcessMessages();
  p.fmATU.hold_pc(true);
  const std::vector<HWND> minimised = ask_to_end_session();
  EXPECT_TRUE(contains(minimised, p.app.handle()));
  EXPECT_FALSE(contains(minimised, p.fmATU.handle()));

  ShowWindow(p.app.handle(), SW_RESTORE);
  ShowWindow(p.fmATU.handle(), SW_SHOWNA);
  p.app.ProcessMessages();
  ASSERT_TRUE(IsWindowVisible(p.fmATU.handle()));
  const std::vector<HWND> restored = ask_to_end_session();
  EXPECT_TRUE(contains(restored, p.app.handle()));
  EXPECT_TRUE(contains(restored, p.fmATU.handle()));

  p.fmATU.hold_pc(false);
  expect_reasons_withdrawn();
  EXPECT_EQ(ask_to_end_session(), std::vector<HWND>{});
}

TEST_F(EndOfSession, ADialogOpenDuringTheHoldRefusesWithTheReasonToo) {
  Program p(sample_package());
  p.show();
  p.fmATU.hold_pc(true);
  std::vector<HWND> refused;
  {
    ModalDriver driver;
    driver.then(shown(p.fmMSG.handle()), [&](HWND) {
      refused = ask_to_end_session();
      press(p.fmMSG.Button1);
    });
    p.fmATU.SHOW_MSG(kMsgDone);
  }
  EXPECT_TRUE(contains(refused, p.fmMSG.handle()));
  EXPECT_TRUE(contains(refused, p.app.handle()));
  p.fmATU.hold_pc(false);
  expect_reasons_withdrawn();
  EXPECT_EQ(execution_state(), own_state);
}

// Ended while a report is on screen, unheld: the report closes unanswered and the program
// ends once the job has returned.
TEST_F(EndOfSession, AReportOnScreenEndsWithTheSession) {
  Program p(sample_package());
  p.show();
  std::vector<HWND> refused{nullptr};
  ModalDriver driver;
  driver.then(shown(p.fmMSG.handle()), [&](HWND) { press(p.fmMSG.Button1); })
      .then(shown(p.fmMSG.handle()), [&](HWND dialog) {
        refused = ask_to_end_session();
        SendMessageW(dialog, WM_ENDSESSION, TRUE, 0);
      });
  p.press();  // message 1: the port does not open
  EXPECT_EQ(refused, std::vector<HWND>{});
  EXPECT_TRUE(p.app.Terminated());
  EXPECT_FALSE(IsWindowVisible(p.fmMSG.handle()));
}

// A message box on screen (the failure box, say) closes too when the session ends.
TEST_F(EndOfSession, AMessageBoxOnScreenClosesWithTheSession) {
  Program p(sample_package());
  p.show();
  std::vector<HWND> refused{nullptr};
  {
    ModalDriver driver;
    driver.then(message_box(), [&](HWND) {
      refused = ask_to_end_session();
      SendMessageW(p.fmATU.handle(), WM_ENDSESSION, TRUE, 0);
    });
    p.fmATU.message_box(kBoxFailed, Box::failure);
  }
  EXPECT_EQ(refused, std::vector<HWND>{});
  EXPECT_TRUE(p.app.Terminated());
  EXPECT_EQ(message_box()(), nullptr);
}

}  // namespace
}  // namespace patu::testing
