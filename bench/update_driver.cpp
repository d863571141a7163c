// patu-bench-update: the native core's full update of the shipped package at the machine's
// own pace (the system clock, every mandated pause paid), through the POSIX serial backend.
//   patu-bench-update DEVICE_PATH
// DEVICE_PATH (a serial line, or the emulator's link) serves as port 1; the window answers
// "OK" to every question. Prints key=value lines, times measured from the prompt's "OK" to
// the completion message:
//   messages=0,7  status=<status line>  job_ms=<wall>  cpu_ms=<user+system>
//   cpu_user_ms=...  cpu_sys_ms=...  vmhwm_kb=<peak resident memory of the whole run>
// Exit status 0 when the update ended with message 7 and "Atualização concluída!".

#include <sys/resource.h>

#include <chrono>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "link/clock.h"
#include "link/protocol.h"
#include "link/serial_posix.h"
#include "package/lines.h"
#include "package/loader.h"
#include "update/job.h"
#include "update/window.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Cpu {
  double user_ms = 0;
  double sys_ms = 0;
};

Cpu cpu_now() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto ms = [](const timeval& t) { return t.tv_sec * 1e3 + t.tv_usec / 1e3; };
  return {ms(usage.ru_utime), ms(usage.ru_stime)};
}

std::string vmhwm_kb() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmHWM:", 0) == 0) return std::to_string(std::stol(line.substr(6)));
  }
  return "-";
}

// The user who presses "OK" at once, and the clock that times the job between the two.
class TimingWindow final : public patu::JobWindow {
 public:
  explicit TimingWindow(int progress_max) : max_(progress_max) {}

  std::vector<int> messages;
  std::string status;
  Clock::time_point confirmed, reported;
  Cpu cpu_confirmed, cpu_reported;

  int PORTA_COM() const override { return 1; }
  bool SHOW_MSG(int code) override {
    messages.push_back(code);
    if (code == patu::kMsgPrompt) {
      cpu_confirmed = cpu_now();
      confirmed = Clock::now();
    }
    if (code == patu::kMsgDone) {
      reported = Clock::now();
      cpu_reported = cpu_now();
    }
    return code == patu::kMsgPrompt || code == patu::kMsgDone;
  }
  void set_status(std::string_view text) override { status = text; }
  void step_progress(int) override {}
  int progress_max() const override { return max_; }
  void message_box(std::string_view text, patu::Box) override {
    std::cerr << "message box: " << text << "\n";
  }
  void set_cursor(patu::Cursor) override {}
  void request_end() override {}
  void hold_pc(bool) override {}

 private:
  int max_;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: patu-bench-update DEVICE_PATH\n";
    return 2;
  }
  const std::string device = argv[1];
  patu::PosixSerialPort port([&](int) { return device; });
  patu::Protocol link(port, patu::system_clock());
  patu::PackageState package;
  const patu::PackageLines& lines = patu::shipped_package();
  const patu::LoadResult loaded = patu::load_package(lines, package);
  if (!loaded.ok) {
    std::cerr << "patu-bench-update: the shipped package does not load: " << loaded.error << "\n";
    return 1;
  }
  TimingWindow window(*loaded.pbAND_max);
  patu::UpdateJob job(port, link, lines, package, window);
  job.btATUALIZAClick();

  const bool done = window.messages == std::vector<int>{patu::kMsgPrompt, patu::kMsgDone} &&
                    window.status == patu::kStatusDone;
  std::string codes;
  for (int code : window.messages) {
    if (!codes.empty()) codes += ',';
    codes += std::to_string(code);
  }
  std::cout << "messages=" << codes << "\nstatus=" << window.status << "\n";
  if (done) {
    const auto job_ms =
        std::chrono::duration<double, std::milli>(window.reported - window.confirmed).count();
    const double user = window.cpu_reported.user_ms - window.cpu_confirmed.user_ms;
    const double sys = window.cpu_reported.sys_ms - window.cpu_confirmed.sys_ms;
    std::cout << "job_ms=" << job_ms << "\ncpu_ms=" << user + sys << "\ncpu_user_ms=" << user
              << "\ncpu_sys_ms=" << sys << "\n";
  }
  std::cout << "vmhwm_kb=" << vmhwm_kb() << "\n";
  return done ? 0 : 1;
}
