#include "ui/job_thread.h"

#include <utility>

#include "ui/window_classes.h"

namespace patu {
namespace {

constexpr wchar_t kCarrierClass[] = L"pATU.JobCarrier";
constexpr UINT kEnded = WM_APP + 2;

HINSTANCE module() { return GetModuleHandleW(nullptr); }

}  // namespace

JobThread::JobThread(JobWindow& window, std::function<void()> on_end)
    : window_(window), on_end_(std::move(on_end)) {
  WNDCLASSEXW wc{};
  if (!GetClassInfoExW(module(), kCarrierClass, &wc)) {
    wc = WNDCLASSEXW{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = carrier_proc;
    wc.hInstance = module();
    wc.lpszClassName = kCarrierClass;
    RegisterClassExW(&wc);
  }
  carrier_ =
      CreateWindowExW(0, kCarrierClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, module(), this);
}

JobThread::~JobThread() {
  // The job still reaches its window through the carrier: it must end first.
  wait();
  DestroyWindow(carrier_);
}

bool JobThread::start(std::function<void()> job) {
  if (running_ || carrier_ == nullptr) return false;
  job_ = std::move(job);
  const HANDLE worker = CreateThread(nullptr, 0, entry, this, 0, nullptr);
  if (worker == nullptr) return false;
  // Its end comes as a message, not by its handle.
  running_ = true;
  CloseHandle(worker);
  return true;
}

void JobThread::wait() {
  bool quit = false;
  WPARAM quit_code = 0;
  while (running_) {
    MSG msg;
    if (!PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      MsgWaitForMultipleObjectsEx(0, nullptr, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
      continue;
    }
    if (msg.message == WM_QUIT) {
      quit = true;
      quit_code = msg.wParam;
      continue;
    }
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  if (quit) PostQuitMessage(static_cast<int>(quit_code));
}

DWORD WINAPI JobThread::entry(LPVOID self) {
  auto& jobs = *static_cast<JobThread*>(self);
  jobs.job_();
  // The window's thread may destroy this object as soon as it has the end: nothing of it is
  // touched after the post.
  PostMessageW(jobs.carrier_, kEnded, 0, 0);
  return 0;
}

LRESULT CALLBACK JobThread::carrier_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  auto* self = window_object<JobThread>(hwnd, msg, lp);
  switch (msg) {
    case kCall: {
      const auto& call = *reinterpret_cast<const Call*>(lp);
      call.run(call.call);
      return 0;
    }
    case kEnded:
      if (self && self->running_) {
        self->running_ = false;
        self->job_ = nullptr;
        if (self->on_end_) self->on_end_();
      }
      return 0;
    default:
      return DefWindowProcW(hwnd, msg, wp, lp);
  }
}

int JobThread::PORTA_COM() const {
  int port = 0;
  carry([&] { port = window_.PORTA_COM(); });
  return port;
}

bool JobThread::SHOW_MSG(int code) {
  bool ok = false;
  carry([&] { ok = window_.SHOW_MSG(code); });
  return ok;
}

void JobThread::set_status(std::string_view text) {
  carry([&] { window_.set_status(text); });
}

void JobThread::step_progress(int delta) {
  carry([&] { window_.step_progress(delta); });
}

int JobThread::progress_max() const {
  int max = 0;
  carry([&] { max = window_.progress_max(); });
  return max;
}

void JobThread::message_box(std::string_view text, Box box) {
  carry([&] { window_.message_box(text, box); });
}

void JobThread::set_cursor(Cursor cursor) {
  carry([&] { window_.set_cursor(cursor); });
}

void JobThread::request_end() {
  carry([&] { window_.request_end(); });
}

void JobThread::hold_pc(bool held) {
  carry([&] { window_.hold_pc(held); });
}

}  // namespace patu
