// The carrier of the job's calls: a job on its worker thread reaches the window only on the
// window's thread, in order, with the window's answers, and its end comes back there too.

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "tests/ui/driver.h"
#include "ui/job_thread.h"

namespace patu::testing {
namespace {

// Notes each call, and each made on a thread other than the one that made this window.
class ThreadWindow final : public JobWindow {
 public:
  const DWORD thread = GetCurrentThreadId();
  mutable std::vector<std::string> calls;
  mutable int elsewhere = 0;

  int PORTA_COM() const override { return note("port"), 5; }
  bool SHOW_MSG(int code) override { return note("msg " + std::to_string(code)), code == 0; }
  void set_status(std::string_view text) override { note("status " + std::string(text)); }
  void step_progress(int delta) override { note("step " + std::to_string(delta)); }
  int progress_max() const override { return note("max"), 596; }
  void message_box(std::string_view text, Box) override { note("box " + std::string(text)); }
  void set_cursor(Cursor) override { note("cursor"); }
  void request_end() override { note("end"); }
  void hold_pc(bool held) override { note(held ? "hold" : "release"); }

 private:
  void note(const std::string& call) const {
    calls.push_back(call);
    elsewhere += GetCurrentThreadId() != thread ? 1 : 0;
  }
};

// The job's end reaches the window's thread while that thread runs a modal loop of its own
// (a message box, answered only once the end is in); the calls came before it, in order.
TEST(JobThread, CallsRunOnTheWindowsThreadInOrderWithTheirAnswersAndTheEndComesBack) {
  ThreadWindow window;
  std::vector<DWORD> ends;  // the thread of each end
  JobThread jobs(window, [&] { ends.push_back(GetCurrentThreadId()); });
  std::vector<int> answers;
  ASSERT_TRUE(jobs.start([&] {
    JobWindow& w = jobs;
    w.hold_pc(true);
    w.set_cursor(Cursor::hourglass);
    answers = {w.PORTA_COM(), w.SHOW_MSG(0), w.SHOW_MSG(3), w.progress_max()};
    w.set_status("a");
    w.step_progress(3);
    w.message_box("b", Box::failure);
    w.hold_pc(false);
    w.request_end();
  }));
  EXPECT_FALSE(jobs.start([] { ADD_FAILURE() << "a second job ran"; }));
  {
    ModalDriver driver;
    driver.then([&]() -> HWND { return jobs.running() ? nullptr : message_box()(); }, press_box_ok);
    MessageBoxW(nullptr, L"aberta", L"pATU", MB_OK);
  }
  EXPECT_EQ(window.elsewhere, 0) << "calls ran on the job's thread";
  EXPECT_EQ(answers, (std::vector<int>{5, 1, 0, 596}));
  EXPECT_EQ(window.calls,
            (std::vector<std::string>{"hold", "cursor", "port", "msg 0", "msg 3", "max", "status a",
                                      "step 3", "box b", "release", "end"}));
  EXPECT_EQ(ends, std::vector<DWORD>{window.thread});
  EXPECT_TRUE(jobs.start([] {})) << "the next job after the end";
  jobs.wait();
  EXPECT_EQ(ends.size(), 2u);
}

}  // namespace
}  // namespace patu::testing
