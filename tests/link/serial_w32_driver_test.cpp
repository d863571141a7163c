// The Win32 port over drivers that bend the rules, under Wine: ReadFile and the cancels are
// caught where they leave the program (these definitions of kernel32's import slots take
// the place of kernel32's in this executable), so that the driver played here keeps the
// time-outs, or ends every read at once with at most one byte, or leaves a read pending for
// ever and ignores its cancel. The job runs over it against the device emulator on a
// pseudo-terminal plugged in as COM1 (started with --module-area 4000, the small package's).
// Last, a wait for a request that fails.

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "link/clock.h"
#include "link/protocol.h"
#include "link/serial_w32.h"
#include "package/lines.h"
#include "package/loader.h"
#include "tests/support/handle_count_w32.h"
#include "tests/support/import_slot.h"
#include "tests/support/recording_window.h"
#include "tests/support/small_package.h"
#include "update/job.h"

namespace {

enum class Reads {
  keep_time_outs,  // as documented
  end_at_once,     // each read over at once, with one byte if one is there, else none
  never_end,       // pending for ever; a cancel is taken and ignored
  wait_fails,      // pending, its event gone: waiting for it fails
};

struct Driver {
  Reads reads = Reads::keep_time_outs;
  int read_calls = 0;
  int cancel_calls = 0;
  // The read left pending, and the buffer it was given.
  OVERLAPPED* pending = nullptr;
  void* pending_buffer = nullptr;
  DWORD pending_count = 0;
};
Driver g_driver;

constexpr DWORD kStatusPending = 0x103;

template <typename Fn>
Fn kernel32(const char* name) {
  return reinterpret_cast<Fn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), name)));
}

BOOL WINAPI driver_ReadFile(HANDLE handle, LPVOID buffer, DWORD count, LPDWORD read,
                            LPOVERLAPPED overlapped) {
  static const auto real =
      kernel32<BOOL(WINAPI*)(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED)>("ReadFile");
  static const auto clear_error =
      kernel32<BOOL(WINAPI*)(HANDLE, LPDWORD, LPCOMSTAT)>("ClearCommError");
  ++g_driver.read_calls;
  switch (g_driver.reads) {
    case Reads::keep_time_outs:
      break;
    case Reads::end_at_once: {
      DWORD errors = 0;
      COMSTAT status{};
      if (clear_error(handle, &errors, &status) && status.cbInQue > 0) {
        return real(handle, buffer, std::min<DWORD>(count, 1), read, overlapped);
      }
      overlapped->Internal = 0;  // STATUS_SUCCESS
      overlapped->InternalHigh = 0;
      SetEvent(overlapped->hEvent);
      if (read) *read = 0;
      return TRUE;
    }
    case Reads::never_end:
      ResetEvent(overlapped->hEvent);
      overlapped->Internal = kStatusPending;
      overlapped->InternalHigh = 0;
      g_driver.pending = overlapped;
      g_driver.pending_buffer = buffer;
      g_driver.pending_count = count;
      SetLastError(ERROR_IO_PENDING);
      return FALSE;
    case Reads::wait_fails:
      CloseHandle(overlapped->hEvent);
      SetLastError(ERROR_IO_PENDING);
      return FALSE;
  }
  return real(handle, buffer, count, read, overlapped);
}

BOOL WINAPI driver_CancelIoEx(HANDLE handle, LPOVERLAPPED overlapped) {
  static const auto real = kernel32<BOOL(WINAPI*)(HANDLE, LPOVERLAPPED)>("CancelIoEx");
  ++g_driver.cancel_calls;
  if (g_driver.reads == Reads::never_end) return TRUE;
  return real(handle, overlapped);
}

BOOL WINAPI driver_CancelIo(HANDLE handle) {
  static const auto real = kernel32<BOOL(WINAPI*)(HANDLE)>("CancelIo");
  ++g_driver.cancel_calls;
  if (g_driver.reads == Reads::never_end) return TRUE;
  return real(handle);
}

}  // namespace
extern "C" {
BOOL(WINAPI* read_file_slot)
(HANDLE, LPVOID, DWORD, LPDWORD,
 LPOVERLAPPED) __asm__(PATU_IMPORT_SLOT(ReadFile, 20)) = driver_ReadFile;
BOOL(WINAPI* cancel_io_ex_slot)
(HANDLE, LPOVERLAPPED) __asm__(PATU_IMPORT_SLOT(CancelIoEx, 8)) = driver_CancelIoEx;
BOOL(WINAPI* cancel_io_slot)(HANDLE) __asm__(PATU_IMPORT_SLOT(CancelIo, 4)) = driver_CancelIo;
}

namespace patu {
namespace {

using testing::RecordingWindow;
using Steady = std::chrono::steady_clock;

double ms_between(Steady::time_point from, Steady::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

// The port as the job uses it, each call timed and the driver's reads it made counted.
class TimedPort final : public SerialPort {
 public:
  struct Call {
    bool read;
    std::uint32_t asked;
    bool result;
    double ms;
    int driver_reads;
  };

  explicit TimedPort(SerialPort& port) : port_(port) {}

  std::vector<Call> calls;
  std::function<void()> before_read;  // runs before each LE_PORTA

  int reads() const {
    return static_cast<int>(
        std::count_if(calls.begin(), calls.end(), [](const Call& c) { return c.read; }));
  }

  bool ABRE_PORTA(int porta) override { return port_.ABRE_PORTA(porta); }
  void FECHA_PORTA() override { port_.FECHA_PORTA(); }
  bool ESCREVE_PORTA(const std::uint8_t* bytes, std::uint32_t count,
                     std::uint32_t& written) override {
    return timed(false, count, [&] { return port_.ESCREVE_PORTA(bytes, count, written); });
  }
  bool LE_PORTA(std::uint32_t count, std::uint8_t* buffer, std::uint32_t& read) override {
    if (before_read) before_read();
    return timed(true, count, [&] { return port_.LE_PORTA(count, buffer, read); });
  }
  void purge(Purge queue) override { port_.purge(queue); }
  bool PORTA_ABERTA() const override { return port_.PORTA_ABERTA(); }

 private:
  template <typename F>
  bool timed(bool read, std::uint32_t asked, F call) {
    const int driver_reads = g_driver.read_calls;
    const auto start = Steady::now();
    const bool result = call();
    calls.push_back({read, asked, result, ms_between(start, Steady::now()),
                     g_driver.read_calls - driver_reads});
    return result;
  }

  SerialPort& port_;
};

// The program's objects over the Win32 port on COM1, with the small package; the mandated
// pauses are skipped, the line sets the pace.
struct Rig {
  Rig() { window.porta = 1; }
  void press() {
    g_driver.read_calls = 0;
    g_driver.cancel_calls = 0;
    job.btATUALIZAClick();
  }
  bool done() const {
    return window.messages == std::vector<int>{kMsgPrompt, kMsgDone} && window.boxes.empty() &&
           window.status == kStatusDone && window.position == window.progress_max();
  }

  LineTable lines{testing::small_package({3, 2})};  // one firmware block at 0x0100, one at 0x0200
  PackageState state;
  LoadResult loaded = load_package(lines, state);
  RecordingWindow window{loaded.pbAND_max.value_or(0)};
  Win32SerialPort serial;
  TimedPort port{serial};
  SkippingClock clock;
  Protocol link{port, clock};
  UpdateJob job{port, link, lines, state, window};
};

// The block that package line `line` (a hex line) gives.
Block block_of(const std::string& line) {
  Block b{};
  for (std::size_t i = 0; i < b.size(); ++i) {
    b[i] = static_cast<std::uint8_t>(std::stoul(line.substr(2 * i, 2), nullptr, 16));
  }
  return b;
}

class Drivers : public ::testing::Test {
 protected:
  void TearDown() override { g_driver = Driver{}; }
};

TEST_F(Drivers, ReadsEndedAtOnceChangeNothing) {
  g_driver.reads = Reads::end_at_once;
  Rig rig;
  ASSERT_TRUE(rig.state.loaded) << rig.loaded.error;
  const auto start = Steady::now();
  rig.press();
  const double ms = ms_between(start, Steady::now());
  EXPECT_TRUE(rig.done()) << ::testing::PrintToString(rig.window.events);
  EXPECT_EQ(rig.job.NUM_SERIE, "330A1BFF");
  std::printf(
      "reads ended at once: identification and the update in %.0f ms, %d LE_PORTA calls "
      "taking %d requests of the driver\n",
      ms, rig.port.reads(), g_driver.read_calls);
  // Every reply came a byte a request: asked again, not cut short.
  EXPECT_GT(g_driver.read_calls, 2 * rig.port.reads());

  // What the device holds, read back over the same driver: the firmware blocks.
  ASSERT_TRUE(rig.port.ABRE_PORTA(1));
  rig.link.BYTE_SINC = 0x86;
  const std::vector<std::string> package = testing::small_package({3, 2});
  std::vector<std::string> firmware;  // the line after the second and the third marker
  for (std::size_t n = 0, markers = 0; n + 1 < package.size(); ++n) {
    if (package[n] == "*" && (++markers == 2 || markers == 3)) firmware.push_back(package[n + 1]);
  }
  ASSERT_EQ(firmware.size(), 2u);
  for (std::uint32_t i = 0; i < 2; ++i) {
    const std::uint32_t address = 0x0100 * (i + 1);
    Block held{};
    EXPECT_TRUE(rig.link.LE_BLOCO(address, held));
    EXPECT_EQ(held, block_of(firmware[i])) << "block " << address;
  }
  rig.port.FECHA_PORTA();
}

TEST_F(Drivers, ADriverThatKeepsTheTimeOutsSeesOneReadPerLE_PORTA) {
  Rig rig;
  rig.press();
  EXPECT_TRUE(rig.done()) << ::testing::PrintToString(rig.window.events);
  std::printf("time-outs kept: %d LE_PORTA calls, %d requests of the driver\n", rig.port.reads(),
              g_driver.read_calls);
  EXPECT_EQ(g_driver.read_calls, rig.port.reads());
  for (const TimedPort::Call& c : rig.port.calls) {
    EXPECT_EQ(c.driver_reads, c.read ? 1 : 0);
  }
}

// A read that the driver ends neither by its bound nor once cancelled, in the module pages:
// the call returns within the bound and the cancel's, the port is dead from then on, the
// job reports the failure, and of the requests only that one keeps its event.
TEST_F(Drivers, ACancelThatNeverEndsLeavesThePortDeadAndTheJobReports) {
  const char* counter_name = nullptr;
  const testing::Counter handle_count = testing::handle_counter(counter_name);
  Rig rig;
  {
    // What Wine sets up on a first open and first requests is not a leak.
    Rig warm_up;
    warm_up.press();
    ASSERT_TRUE(warm_up.done());
  }
  constexpr int kHungRead = 30;
  HANDLE port_handle = nullptr;
  bool dead_after = false;
  rig.port.before_read = [&] {
    const int n = rig.port.reads() + 1;
    if (n == kHungRead) {
      port_handle = rig.serial.handle();
      g_driver.reads = Reads::never_end;
    }
    if (n == kHungRead + 1) {
      g_driver.reads = Reads::keep_time_outs;
      dead_after = rig.serial.dead();
    }
  };
  const DWORD before = handle_count();
  rig.press();
  const DWORD after = handle_count();

  EXPECT_EQ(rig.window.messages, std::vector<int>{kMsgPrompt});
  EXPECT_EQ(rig.window.boxes, std::vector<std::string>{std::string(kBoxFailed)});
  EXPECT_EQ(rig.window.status, kStatusFailed);
  EXPECT_TRUE(dead_after);
  EXPECT_EQ(g_driver.cancel_calls, 1) << "that one request cancelled";
  EXPECT_EQ(after, before + 1) << counter_name << ": only the event of the request left pending";

  std::vector<const TimedPort::Call*> reads;
  for (const TimedPort::Call& c : rig.port.calls) {
    if (c.read) reads.push_back(&c);
  }
  ASSERT_GT(reads.size(), static_cast<std::size_t>(kHungRead));
  const TimedPort::Call& hung = *reads[kHungRead - 1];
  ASSERT_EQ(hung.asked, 1u);
  const double bound_ms = 100 + 2000 + 1000;  // its time-out, the margin, the cancel's bound
  std::printf(
      "a read whose driver ends neither it nor its cancel returned after %.0f ms "
      "(bound %.0f ms)\n",
      hung.ms, bound_ms);
  EXPECT_FALSE(hung.result);
  EXPECT_GE(hung.ms, bound_ms - 20);
  EXPECT_LT(hung.ms, bound_ms + 2000);
  double slowest_after = 0;
  std::size_t later = 0;
  for (auto c = rig.port.calls.begin() + (&hung - rig.port.calls.data()) + 1;
       c != rig.port.calls.end(); ++c, ++later) {
    EXPECT_FALSE(c->result);
    EXPECT_EQ(c->driver_reads, 0) << "a dead port asked its driver";
    slowest_after = std::max(slowest_after, c->ms);
  }
  std::printf("then %zu requests failed at once, the slowest in %.2f ms\n", later, slowest_after);
  EXPECT_GT(later, 0u);
  EXPECT_LT(slowest_after, 50);

  // The port is closed and its lock let go.
  DWORD flags = 0;
  EXPECT_FALSE(GetHandleInformation(port_handle, &flags)) << "the port's handle is still open";
  ASSERT_TRUE(rig.port.ABRE_PORTA(1)) << "the lock, or the port, is still held";
  rig.port.FECHA_PORTA();

  // The driver ends the request at last, long after: into the request's own buffer and with
  // its own event, none of them the caller's.
  ASSERT_NE(g_driver.pending, nullptr);
  const auto reply_before = rig.link.BUF_RESPOSTA;
  std::fill_n(static_cast<std::uint8_t*>(g_driver.pending_buffer), g_driver.pending_count, 0xEE);
  g_driver.pending->InternalHigh = g_driver.pending_count;
  g_driver.pending->Internal = 0;
  EXPECT_TRUE(SetEvent(g_driver.pending->hEvent)) << "the request's event was closed";
  EXPECT_EQ(rig.link.BUF_RESPOSTA, reply_before);
}

// A wait that fails cannot tell whether the driver still holds the request: the port is
// dead at once, not after a time-out, and no cancel is tried.
TEST_F(Drivers, AFailedWaitLeavesThePortDead) {
  Rig rig;
  ASSERT_TRUE(rig.serial.ABRE_PORTA(1));
  g_driver.reads = Reads::wait_fails;
  std::uint8_t byte = 0;
  std::uint32_t count = 0;
  const auto start = Steady::now();
  EXPECT_FALSE(rig.serial.LE_PORTA(1, &byte, count));
  const double ms = ms_between(start, Steady::now());
  EXPECT_TRUE(rig.serial.dead());
  EXPECT_EQ(g_driver.cancel_calls, 0);
  EXPECT_LT(ms, 50) << "taken for a time-out";
  g_driver.reads = Reads::keep_time_outs;
  EXPECT_FALSE(rig.serial.LE_PORTA(1, &byte, count));
  EXPECT_EQ(g_driver.read_calls, 1) << "a dead port asked its driver";
  rig.serial.FECHA_PORTA();
}

}  // namespace
}  // namespace patu
