// The Win32 backend as the driver sees it, under Wine against the device emulator on a
// pseudo-terminal plugged in as COM1; COM2 has nothing behind it, so under Wine its open
// fails with code 2 (the port opens, its time-outs cannot be set).
//
// Settings: the port's state read back with GetCommState and GetCommTimeouts after
// ABRE_PORTA, over settings another program left behind. Handles: the process's handle count
// before and after 10,000 reads and writes of every kind (run with the emulator's
// --probe-answer 545454 --fault hangup@D, so that the line can lose its other end).

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include <winternl.h>

#include "link/serial_w32.h"
#include "tests/support/import_slot.h"

// The device control block of the last SetCommState call. A pseudo-terminal reports 8 data
// bits and no parity whatever it was given, so what ABRE_PORTA asks for is also caught where it
// leaves the program: this definition of the import slot of SetCommState takes the place of
// kernel32's in this executable and passes each call on.
namespace {
DCB g_dcb_set{};
int g_set_calls = 0;

BOOL WINAPI recording_SetCommState(HANDLE handle, LPDCB dcb) {
  using SetCommStateFn = BOOL(WINAPI*)(HANDLE, LPDCB);
  static const auto real = reinterpret_cast<SetCommStateFn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetCommState")));
  g_dcb_set = *dcb;
  ++g_set_calls;
  return real(handle, dcb);
}
}  // namespace
extern "C" {
BOOL(WINAPI* set_comm_state_slot)
(HANDLE, LPDCB) __asm__(PATU_IMPORT_SLOT(SetCommState, 8)) = recording_SetCommState;
}

namespace patu {
namespace {

constexpr int kDevicePort = 1;
constexpr int kAbsentPort = 2;

// What another program may leave on a port: every setting that ABRE_PORTA forces is off
// its value, and two stop bits and RTS/CTS flow control are set. Returns the state that the
// driver then holds (a pseudo-terminal keeps 8 data bits and no parity whatever it is asked).
DCB leave_settings_behind(int port_number) {
  const std::string path = "\\\\.\\COM" + std::to_string(port_number);
  const HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  EXPECT_NE(handle, INVALID_HANDLE_VALUE) << "is the emulator up?";
  if (handle == INVALID_HANDLE_VALUE) return dcb;
  EXPECT_TRUE(GetCommState(handle, &dcb));
  dcb.BaudRate = 2400;
  dcb.ByteSize = 7;
  dcb.Parity = EVENPARITY;
  dcb.StopBits = TWOSTOPBITS;
  dcb.fOutxCtsFlow = TRUE;
  dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
  EXPECT_TRUE(SetCommState(handle, &dcb));
  DCB held{};
  held.DCBlength = sizeof held;
  EXPECT_TRUE(GetCommState(handle, &held));
  CloseHandle(handle);
  EXPECT_EQ(held.StopBits, TWOSTOPBITS);
  EXPECT_TRUE(held.fOutxCtsFlow);
  return held;
}

void expect_same_dcb(const DCB& actual, const DCB& expected) {
#define PATU_SAME(field) EXPECT_EQ(actual.field, expected.field) << #field
  PATU_SAME(DCBlength);
  PATU_SAME(BaudRate);
  PATU_SAME(fBinary);
  PATU_SAME(fParity);
  PATU_SAME(fOutxCtsFlow);
  PATU_SAME(fOutxDsrFlow);
  PATU_SAME(fDtrControl);
  PATU_SAME(fDsrSensitivity);
  PATU_SAME(fTXContinueOnXoff);
  PATU_SAME(fOutX);
  PATU_SAME(fInX);
  PATU_SAME(fErrorChar);
  PATU_SAME(fNull);
  PATU_SAME(fRtsControl);
  PATU_SAME(fAbortOnError);
  PATU_SAME(fDummy2);
  PATU_SAME(wReserved);
  PATU_SAME(XonLim);
  PATU_SAME(XoffLim);
  PATU_SAME(ByteSize);
  PATU_SAME(Parity);
  PATU_SAME(StopBits);
  PATU_SAME(XonChar);
  PATU_SAME(XoffChar);
  PATU_SAME(ErrorChar);
  PATU_SAME(EofChar);
  PATU_SAME(EvtChar);
  PATU_SAME(wReserved1);
#undef PATU_SAME
}

void expect_forced_settings(const DCB& dcb, DCB left_behind) {
  EXPECT_EQ(dcb.BaudRate, 9600u);
  EXPECT_EQ(dcb.ByteSize, 8);
  EXPECT_EQ(dcb.Parity, 0);
  left_behind.BaudRate = 9600;
  left_behind.ByteSize = 8;
  left_behind.Parity = NOPARITY;
  expect_same_dcb(dcb, left_behind);
}

// Opens the device port over another program's leftovers and reads its state back: speed,
// byte size and parity forced, the five time-outs installed, every other field as left.
void open_and_check_settings(Win32SerialPort& port) {
  const DCB left_behind = leave_settings_behind(kDevicePort);
  const int calls_before = g_set_calls;
  ASSERT_TRUE(port.ABRE_PORTA(kDevicePort));
  ASSERT_EQ(port.last_open_code(), OpenCode::ok);
  ASSERT_EQ(g_set_calls, calls_before + 1);
  {
    SCOPED_TRACE("the block given to SetCommState");
    expect_forced_settings(g_dcb_set, left_behind);
  }

  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  ASSERT_TRUE(GetCommState(port.handle(), &dcb));
  {
    SCOPED_TRACE("the block read back with GetCommState");
    expect_forced_settings(dcb, left_behind);
  }

  COMMTIMEOUTS timeouts{};
  ASSERT_TRUE(GetCommTimeouts(port.handle(), &timeouts));
  EXPECT_EQ(timeouts.ReadIntervalTimeout, 100u);
  EXPECT_EQ(timeouts.ReadTotalTimeoutMultiplier, 100u);
  EXPECT_EQ(timeouts.ReadTotalTimeoutConstant, 0u);
  EXPECT_EQ(timeouts.WriteTotalTimeoutMultiplier, 5000u);
  EXPECT_EQ(timeouts.WriteTotalTimeoutConstant, 5000u);
}

// Closes the port; its handle must be gone with it.
void close_and_check_released(Win32SerialPort& port) {
  const HANDLE handle = port.handle();
  port.FECHA_PORTA();
  EXPECT_FALSE(port.PORTA_ABERTA());
  DWORD flags = 0;
  EXPECT_FALSE(GetHandleInformation(handle, &flags)) << "the port's handle is still open";
}

TEST(SerialW32Settings, ReadBackAfterEachOpenAndAfterAFailedOne) {
  Win32SerialPort port;
  for (int round = 1; round <= 2; ++round) {
    SCOPED_TRACE("open " + std::to_string(round));
    open_and_check_settings(port);
    close_and_check_released(port);
  }

  EXPECT_FALSE(port.ABRE_PORTA(kAbsentPort));
  EXPECT_EQ(port.last_open_code(), OpenCode::timeouts_failed);
  EXPECT_FALSE(port.PORTA_ABERTA());

  SCOPED_TRACE("open after the failed one");
  open_and_check_settings(port);
  close_and_check_released(port);
}

// This process's entries in the system's handle table.
DWORD table_count() {
  std::vector<unsigned char> buffer(1 << 16);
  ULONG needed = 0;
  NTSTATUS status;
  while ((status = NtQuerySystemInformation(SystemHandleInformation, buffer.data(),
                                            static_cast<ULONG>(buffer.size()), &needed)) ==
         static_cast<NTSTATUS>(0xC0000004L)) {  // STATUS_INFO_LENGTH_MISMATCH
    buffer.resize(buffer.size() * 2);
  }
  EXPECT_EQ(status, 0);
  const auto* table = reinterpret_cast<const SYSTEM_HANDLE_INFORMATION*>(buffer.data());
  DWORD count = 0;
  // The table keeps 16 bits of the process id.
  for (ULONG i = 0; i < table->Count; ++i) {
    if ((table->Handle[i].OwnerPid & 0xFFFF) == (GetCurrentProcessId() & 0xFFFF)) ++count;
  }
  return count;
}

DWORD process_count() {
  DWORD count = 0;
  EXPECT_TRUE(GetProcessHandleCount(GetCurrentProcess(), &count));
  return count;
}

// The process's handle count: GetProcessHandleCount where it counts. Wine 8 answers 0
// whatever the process holds; there the process's entries in the system's handle table are
// counted instead.
using Counter = DWORD (*)();
Counter handle_counter(const char*& name) {
  const DWORD before = process_count();
  const HANDLE event = CreateEventA(nullptr, TRUE, TRUE, nullptr);
  const bool counts = process_count() == before + 1;
  CloseHandle(event);
  name = counts ? "GetProcessHandleCount" : "the system's handle table";
  return counts ? process_count : table_count;
}

constexpr std::uint8_t kProbe = 0xAB;  // answered by 54 54 54
constexpr std::uint8_t kIgnored = 0x00;

// Reads and writes on `port`, each counted under its kind.
class Batch {
 public:
  explicit Batch(Win32SerialPort& port) : port_(port) {}

  void write(const char* kind, const std::uint8_t* bytes, std::uint32_t count, bool expected) {
    std::uint32_t written = 99;
    EXPECT_EQ(port_.ESCREVE_PORTA(bytes, count, written), expected) << kind;
    EXPECT_EQ(written, expected ? count : 0u) << kind;
    add(kind);
  }
  // Returns the count read; `expected_count` -1 takes any.
  std::uint32_t read(const char* kind, std::uint32_t count, int expected_count) {
    std::uint32_t got = 99;
    const bool result = port_.LE_PORTA(count, buffer_, got);
    EXPECT_EQ(result, got == count) << kind;
    if (expected_count >= 0) {
      EXPECT_EQ(got, static_cast<std::uint32_t>(expected_count)) << kind;
    }
    add(kind);
    return got;
  }
  void probe_answered() {
    write("write", &kProbe, 1, true);
    read("read", 3, 3);
  }
  void closed_port_calls() {
    write("write on a closed port", &kProbe, 1, false);
    read("read on a closed port", 1, 0);
  }

  int total() const { return total_; }
  std::string summary() const {
    std::string text;
    for (const auto& [kind, n] : calls_) text += "  " + std::to_string(n) + " " + kind + "\n";
    return text;
  }

 private:
  void add(const char* kind) {
    ++calls_[kind];
    ++total_;
  }

  Win32SerialPort& port_;
  std::uint8_t buffer_[16] = {};
  std::map<std::string, int> calls_;
  int total_ = 0;
};

// The kinds that cost a time-out, with a failed open and calls on a port never opened.
void slow_kinds(Batch& live, Batch& never_opened, Win32SerialPort& absent) {
  live.read("read that times out", 1, 0);
  live.write("write", &kProbe, 1, true);
  live.read("read that gets part of its bytes", 10, 3);
  live.read("zero-byte read", 0, 0);
  live.write("write", &kIgnored, 1, true);
  never_opened.closed_port_calls();
  EXPECT_FALSE(absent.ABRE_PORTA(kAbsentPort));
  EXPECT_EQ(absent.last_open_code(), OpenCode::timeouts_failed);
}

TEST(SerialW32Handles, CountUnchangedOverTenThousandCallsOfEveryKind) {
  const char* counter_name = nullptr;
  const Counter handle_count = handle_counter(counter_name);
  // The counter counts: an event left open shows, and so does its closing.
  const DWORD at_start = handle_count();
  const HANDLE event = CreateEventA(nullptr, TRUE, TRUE, nullptr);
  ASSERT_NE(event, nullptr);
  ASSERT_EQ(handle_count(), at_start + 1) << counter_name;
  CloseHandle(event);
  ASSERT_EQ(handle_count(), at_start) << counter_name;

  Win32SerialPort port;
  Win32SerialPort absent;
  ASSERT_TRUE(port.ABRE_PORTA(kDevicePort));
  {
    // One of each first: what Wine sets up once, on first use, is not a leak.
    Batch live(port);
    Batch never_opened(absent);
    live.probe_answered();
    slow_kinds(live, never_opened, absent);
  }
  const DWORD before = handle_count();

  constexpr int kCalls = 10000;
  constexpr int kRounds = 40;
  constexpr int kProbesPerRound = 50;
  Batch live(port);
  Batch never_opened(absent);
  const auto calls = [&] { return live.total() + never_opened.total(); };
  for (int round = 0; round < kRounds; ++round) {
    for (int i = 0; i < kProbesPerRound; ++i) live.probe_answered();
    slow_kinds(live, never_opened, absent);
    if (round == kRounds / 2) {
      port.FECHA_PORTA();
      live.closed_port_calls();
      ASSERT_TRUE(port.ABRE_PORTA(kDevicePort));
    }
  }

  // The device leaves the line once a 'D' frame is in: sync byte, complement, frame. Every
  // call after it fails.
  const std::uint8_t sync = 0x86;
  const std::uint8_t frame[] = {4, 'D', 0x80, 0x00};
  live.write("write", &sync, 1, true);
  ASSERT_EQ(live.read("read", 1, 1), 1u);
  live.write("write", frame, sizeof frame, true);
  while (calls() < kCalls) {
    if (calls() % 2 == 0) {
      live.write("write on a line whose other end has gone", &kProbe, 1, false);
    } else {
      live.read("read on a line whose other end has gone", 1, 0);
    }
  }
  ASSERT_EQ(calls(), kCalls);

  const DWORD after = handle_count();
  port.FECHA_PORTA();
  const DWORD closed = handle_count();
  std::printf(
      "handles, counted by %s: %lu before %d calls, %lu after them, %lu once the port"
      " is closed\n%s%s  (and %d failed opens with code 2)\n",
      counter_name, before, kCalls, after, closed, live.summary().c_str(),
      never_opened.summary().c_str(), kRounds);
  EXPECT_EQ(after, before);
  EXPECT_EQ(closed, before - 1);
}

}  // namespace
}  // namespace patu
