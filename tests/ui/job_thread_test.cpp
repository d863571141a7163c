// The carrier of the job's calls: a job on its worker thread reaches the window only on the
// window's thread, in order, with the window's answers, and its end comes back there too.

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "tests/support/recording_window.h"
#include "tests/ui/driver.h"
#include "ui/job_thread.h"

namespace patu::testing {
namespace {

// Notes every call made on a thread other than the one that made it.
class ThreadWindow final : public RecordingWindow {
 public:
  const DWORD thread = GetCurrentThreadId();
  mutable int elsewhere = 0;

  int PORTA_COM() const override {
    note();
    return RecordingWindow::PORTA_COM();
  }
  bool SHOW_MSG(int code) override {
    note();
    return RecordingWindow::SHOW_MSG(code);
  }
  void set_status(std::string_view text) override {
    note();
    RecordingWindow::set_status(text);
  }
  void step_progress(int delta) override {
    note();
    RecordingWindow::step_progress(delta);
  }
  void message_box(std::string_view text, Box box) override {
    note();
    RecordingWindow::message_box(text, box);
  }
  void request_end() override {
    note();
    RecordingWindow::request_end();
  }
  void hold_pc(bool held) override {
    note();
    RecordingWindow::hold_pc(held);
  }

 private:
  void note() const { elsewhere += GetCurrentThreadId() != thread ? 1 : 0; }
};

TEST(JobThread, CallsRunOnTheWindowsThreadInOrderWithTheirAnswers) {
  ThreadWindow window;
  window.porta = 5;
  int ends = 0;
  DWORD end_thread = 0;
  JobThread jobs(window, [&] {
    ++ends;
    end_thread = GetCurrentThreadId();
  });
  DWORD job_thread = 0;
  std::vector<int> answers;
  const bool started = jobs.start([&] {
    job_thread = GetCurrentThreadId();
    JobWindow& w = jobs;
    w.hold_pc(true);
    answers.push_back(w.PORTA_COM());
    answers.push_back(w.SHOW_MSG(kMsgPrompt));
    answers.push_back(w.SHOW_MSG(kMsgNoDevice));
    w.set_status("a");
    w.step_progress(3);
    answers.push_back(w.progress_max());
    w.message_box("b", Box::failure);
    w.hold_pc(false);
    w.request_end();
  });
  ASSERT_TRUE(started);
  EXPECT_TRUE(jobs.running());
  EXPECT_FALSE(jobs.start([] { ADD_FAILURE() << "a second job ran"; }));
  jobs.wait();

  EXPECT_FALSE(jobs.running());
  EXPECT_NE(job_thread, window.thread);
  EXPECT_EQ(window.elsewhere, 0) << "calls run on the job's thread";
  EXPECT_EQ(answers, (std::vector<int>{5, 1, 0, 596}));
  EXPECT_EQ(window.events, (std::vector<std::string>{"hold", "msg 0", "msg 3", "status a", "box b",
                                                     "release", "end"}));
  EXPECT_EQ(window.position, 3);
  EXPECT_EQ(ends, 1);
  EXPECT_EQ(end_thread, window.thread);
  EXPECT_TRUE(jobs.start([] {})) << "the next job after the end";
  jobs.wait();
  EXPECT_EQ(ends, 2);
}

// The window's thread in a modal loop of its own (here a message box) still gets the job's
// calls and its end; the box stays until it is answered.
TEST(JobThread, TheEndArrivesWhileAMessageIsOnScreen) {
  ThreadWindow window;
  int ends = 0;
  JobThread jobs(window, [&] { ++ends; });
  ASSERT_TRUE(jobs.start([&] {
    Sleep(200);
    jobs.set_status("late");
  }));
  bool running_at_answer = true;
  {
    ModalDriver driver;
    driver.then([&]() -> HWND { return ends == 1 ? message_box()() : nullptr; },
                [&](HWND box) {
                  running_at_answer = jobs.running();
                  press_box_ok(box);
                });
    MessageBoxW(nullptr, L"aberta", L"pATU", MB_OK);
  }
  EXPECT_FALSE(running_at_answer);
  EXPECT_EQ(window.status, "late");
  EXPECT_EQ(window.elsewhere, 0);
}

}  // namespace
}  // namespace patu::testing
