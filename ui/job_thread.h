#pragma once
// The update job on a worker thread of its own, and the carrier of its calls to the window.
// Each JobWindow call the job makes is sent to a message-only window of the window's thread,
// which runs it there (a modal message too, served by that thread's loops) and hands the
// answer back; the job waits meanwhile, as it would for the technician. The job's end is
// posted back. The window's thread never waits on the worker but with its messages served.

#include <windows.h>

#include <functional>
#include <string_view>

#include "update/window.h"

namespace patu {

class JobThread final : public JobWindow {
 public:
  // `window` is the window's side; its calls run on the thread that makes this object.
  // `on_end` runs there once a job has ended.
  JobThread(JobWindow& window, std::function<void()> on_end);
  // Waits, serving messages, for a job still running.
  ~JobThread() override;
  JobThread(const JobThread&) = delete;
  JobThread& operator=(const JobThread&) = delete;

  // Starts `job` on a new worker thread. False, and nothing started, while a job runs or when
  // no thread can be made.
  bool start(std::function<void()> job);
  // A job was started and its end has not yet reached the window's thread.
  bool running() const { return running_; }
  // Serves this thread's messages until the job has ended; a quit message that arrives
  // meanwhile is posted again afterwards.
  void wait();
  // Runs `call` on the window's thread and returns once it has run; from any thread.
  template <typename F>
  void carry(F call) const {
    Call c{[](void* f) { (*static_cast<F*>(f))(); }, &call};
    SendMessageW(carrier_, kCall, 0, reinterpret_cast<LPARAM>(&c));
  }

  // JobWindow, each call carried to the window's thread.
  int PORTA_COM() const override;
  bool SHOW_MSG(int code) override;
  void set_status(std::string_view text) override;
  void step_progress(int delta) override;
  int progress_max() const override;
  void message_box(std::string_view text, Box box) override;
  void set_cursor(Cursor cursor) override;
  void request_end() override;
  void hold_pc(bool held) override;

 private:
  // The message that runs a Call on the window's thread.
  static constexpr UINT kCall = WM_APP + 1;
  struct Call {
    void (*run)(void* call);
    void* call;
  };
  static DWORD WINAPI entry(LPVOID self);
  static LRESULT CALLBACK carrier_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);

  JobWindow& window_;
  std::function<void()> on_end_;
  std::function<void()> job_;
  HWND carrier_ = nullptr;
  bool running_ = false;
};

}  // namespace patu
