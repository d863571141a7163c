// The Win32 backend as the driver sees it, under Wine against the device emulator on a
// pseudo-terminal plugged in as COM1 (or the port PATU_DEVICE_PORT names); COM2 has nothing
// behind it, so under Wine its open fails with code 3 (the port opens, its settings cannot be
// read).
//
// Settings: the port's state read back with GetCommState and GetCommTimeouts after
// ABRE_PORTA, over settings another program left behind. Lock: the port's mutex held, left
// abandoned and let go. Requests: a read that the driver never ends. Handles: the process's
// handle count before and after 10,000 reads and writes of every kind (run with the
// emulator's --probe-answer 545454 --fault hangup@D, so that the line can lose its other end).

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "link/serial_w32.h"
#include "tests/support/handle_count_w32.h"
#include "tests/support/import_slot.h"

// The port's calls caught where they leave the program: these definitions of kernel32's
// import slots take the place of kernel32's in this executable and pass each call on.
// A pseudo-terminal reports 8 data bits and no parity whatever it was given; Wine drops the
// flags with which a driver discards, stops or replaces received data and DSR flow control,
// reads DTR and RTS back as enabled whatever their mode, and refuses RTS toggling. The driver
// played here keeps all of those, as Windows' drivers do, and can fail to read or write its
// block.
namespace {
struct Driver {
  DCB last_set{};  // the block of the last SetCommState call
  int set_calls = 0;
  bool get_fails = false;
  bool set_fails = false;
  bool timeouts_fail = false;
  int com_opens = 0;               // CreateFileA calls on a COM port
  std::string com_path;            // the path of the last one
  std::vector<std::string> calls;  // the port's configuration calls, in order
  HANDLE cleared = nullptr;        // the handle of the last ClearCommError call
};
Driver g_driver;

template <typename Fn>
Fn kernel32(const char* name) {
  return reinterpret_cast<Fn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), name)));
}

BOOL WINAPI driver_GetCommState(HANDLE handle, LPDCB dcb) {
  static const auto real = kernel32<BOOL(WINAPI*)(HANDLE, LPDCB)>("GetCommState");
  g_driver.calls.push_back("GetCommState");
  if (g_driver.get_fails) {
    SetLastError(ERROR_GEN_FAILURE);
    return FALSE;
  }
  if (!real(handle, dcb)) return FALSE;
  if (g_driver.set_calls > 0) {
    dcb->fBinary = g_driver.last_set.fBinary;
    dcb->fNull = g_driver.last_set.fNull;
    dcb->fAbortOnError = g_driver.last_set.fAbortOnError;
    dcb->fDsrSensitivity = g_driver.last_set.fDsrSensitivity;
    dcb->fErrorChar = g_driver.last_set.fErrorChar;
    dcb->fOutxDsrFlow = g_driver.last_set.fOutxDsrFlow;
    dcb->fDtrControl = g_driver.last_set.fDtrControl;
    dcb->fRtsControl = g_driver.last_set.fRtsControl;
  }
  return TRUE;
}

BOOL WINAPI driver_SetCommState(HANDLE handle, LPDCB dcb) {
  static const auto real = kernel32<BOOL(WINAPI*)(HANDLE, LPDCB)>("SetCommState");
  g_driver.calls.push_back("SetCommState");
  if (g_driver.set_fails) {
    SetLastError(ERROR_GEN_FAILURE);
    return FALSE;
  }
  g_driver.last_set = *dcb;
  ++g_driver.set_calls;
  DCB for_wine = *dcb;
  if (for_wine.fRtsControl == RTS_CONTROL_TOGGLE) for_wine.fRtsControl = RTS_CONTROL_ENABLE;
  return real(handle, &for_wine);
}

BOOL WINAPI driver_ClearCommError(HANDLE handle, LPDWORD errors, LPCOMSTAT stat) {
  static const auto real = kernel32<BOOL(WINAPI*)(HANDLE, LPDWORD, LPCOMSTAT)>("ClearCommError");
  g_driver.calls.push_back("ClearCommError");
  g_driver.cleared = handle;
  return real(handle, errors, stat);
}

BOOL WINAPI driver_SetCommTimeouts(HANDLE handle, LPCOMMTIMEOUTS timeouts) {
  static const auto real = kernel32<BOOL(WINAPI*)(HANDLE, LPCOMMTIMEOUTS)>("SetCommTimeouts");
  if (g_driver.timeouts_fail) {
    SetLastError(ERROR_GEN_FAILURE);
    return FALSE;
  }
  return real(handle, timeouts);
}

HANDLE WINAPI driver_CreateFileA(LPCSTR path, DWORD access, DWORD share,
                                 LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                                 HANDLE model) {
  static const auto real =
      kernel32<HANDLE(WINAPI*)(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE)>(
          "CreateFileA");
  if (std::strncmp(path, "\\\\.\\COM", 7) == 0) {
    ++g_driver.com_opens;
    g_driver.com_path = path;
  }
  return real(path, access, share, security, disposition, flags, model);
}
}  // namespace
extern "C" {
BOOL(WINAPI* get_comm_state_slot)
(HANDLE, LPDCB) __asm__(PATU_IMPORT_SLOT(GetCommState, 8)) = driver_GetCommState;
BOOL(WINAPI* set_comm_state_slot)
(HANDLE, LPDCB) __asm__(PATU_IMPORT_SLOT(SetCommState, 8)) = driver_SetCommState;
BOOL(WINAPI* clear_comm_error_slot)
(HANDLE, LPDWORD, LPCOMSTAT) __asm__(PATU_IMPORT_SLOT(ClearCommError, 12)) = driver_ClearCommError;
BOOL(WINAPI* set_comm_timeouts_slot)
(HANDLE, LPCOMMTIMEOUTS) __asm__(PATU_IMPORT_SLOT(SetCommTimeouts, 8)) = driver_SetCommTimeouts;
HANDLE(WINAPI* create_file_a_slot)
(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD,
 HANDLE) __asm__(PATU_IMPORT_SLOT(CreateFileA, 28)) = driver_CreateFileA;
}

namespace patu {
namespace {

// COM 1 unless PATU_DEVICE_PORT names another (10 to 256 take the same path).
const int kDevicePort =
    std::getenv("PATU_DEVICE_PORT") ? std::atoi(std::getenv("PATU_DEVICE_PORT")) : 1;
constexpr int kAbsentPort = 2;

using testing::Counter;
using testing::handle_counter;

// How another program may leave DTR and RTS, and how ABRE_PORTA must hand them on: a
// handshake or toggle mode becomes a plain "enable", a plain level stays.
struct ModemLines {
  const char* name;
  DWORD dtr_left, rts_left;
  DWORD dtr_expected, rts_expected;
};
constexpr ModemLines kModemLines[] = {
    {"DTR and RTS handshakes", DTR_CONTROL_HANDSHAKE, RTS_CONTROL_HANDSHAKE, DTR_CONTROL_ENABLE,
     RTS_CONTROL_ENABLE},
    {"DTR low, RTS toggling", DTR_CONTROL_DISABLE, RTS_CONTROL_TOGGLE, DTR_CONTROL_DISABLE,
     RTS_CONTROL_ENABLE},
    {"both low", DTR_CONTROL_DISABLE, RTS_CONTROL_DISABLE, DTR_CONTROL_DISABLE,
     RTS_CONTROL_DISABLE},
    {"both high", DTR_CONTROL_ENABLE, RTS_CONTROL_ENABLE, DTR_CONTROL_ENABLE, RTS_CONTROL_ENABLE},
};

// What another program may leave on a port: every setting that ABRE_PORTA forces is off
// its value: speed, byte size and parity; two stop bits, XON/XOFF both ways, CTS and DSR
// output flow control, DTR and RTS as `lines` says, the flags that drop, stop or replace
// received data, other XON/XOFF characters and limits beyond the queue. Returns the state that the
// driver then holds.
DCB leave_settings_behind(int port_number, const ModemLines& lines) {
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
  dcb.fOutX = TRUE;
  dcb.fInX = TRUE;
  dcb.fOutxCtsFlow = TRUE;
  dcb.fOutxDsrFlow = TRUE;
  dcb.fDtrControl = lines.dtr_left;
  dcb.fRtsControl = lines.rts_left;
  dcb.fBinary = FALSE;
  dcb.fNull = TRUE;
  dcb.fAbortOnError = TRUE;
  dcb.fDsrSensitivity = TRUE;
  dcb.fErrorChar = TRUE;
  dcb.XonChar = 0x05;
  dcb.XoffChar = 0x06;
  dcb.XonLim = 2048;
  dcb.XoffLim = 2048;
  EXPECT_TRUE(SetCommState(handle, &dcb));
  DCB held{};
  held.DCBlength = sizeof held;
  EXPECT_TRUE(GetCommState(handle, &held));
  CloseHandle(handle);
  EXPECT_EQ(held.StopBits, TWOSTOPBITS);
  EXPECT_TRUE(held.fOutX && held.fInX && held.fOutxCtsFlow && held.fOutxDsrFlow);
  EXPECT_EQ(held.fDtrControl, lines.dtr_left);
  EXPECT_EQ(held.fRtsControl, lines.rts_left);
  EXPECT_TRUE(held.fNull && held.fAbortOnError && held.fDsrSensitivity && held.fErrorChar);
  EXPECT_FALSE(held.fBinary);
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

// 9600 8N1, no flow control of either kind, DTR and RTS as `lines` expects, the four flags
// off, binary mode on and the XON/XOFF characters and limits usable; every other field as
// left behind.
void expect_forced_settings(const DCB& dcb, DCB left_behind, const ModemLines& lines) {
  EXPECT_EQ(dcb.BaudRate, 9600u);
  EXPECT_EQ(dcb.ByteSize, 8);
  EXPECT_EQ(dcb.Parity, 0);
  left_behind.BaudRate = 9600;
  left_behind.ByteSize = 8;
  left_behind.Parity = NOPARITY;
  left_behind.StopBits = ONESTOPBIT;
  left_behind.fOutX = FALSE;
  left_behind.fInX = FALSE;
  left_behind.fOutxCtsFlow = FALSE;
  left_behind.fOutxDsrFlow = FALSE;
  left_behind.fDtrControl = lines.dtr_expected;
  left_behind.fRtsControl = lines.rts_expected;
  left_behind.fBinary = TRUE;
  left_behind.fNull = FALSE;
  left_behind.fAbortOnError = FALSE;
  left_behind.fDsrSensitivity = FALSE;
  left_behind.fErrorChar = FALSE;
  // Whatever was left (a driver may report 0 and 0), the flow-control characters are set to
  // distinct ones and the limits inside the 256-byte queue: SetCommState refuses the rest.
  left_behind.XonChar = 0x11;
  left_behind.XoffChar = 0x13;
  left_behind.XonLim = 64;
  left_behind.XoffLim = 64;
  expect_same_dcb(dcb, left_behind);
}

// Opens the device port over another program's leftovers and reads its state back: the
// settings forced, the errors cleared once the block is written, the five time-outs
// installed.
void open_and_check_settings(Win32SerialPort& port, const ModemLines& lines) {
  SCOPED_TRACE(lines.name);
  const DCB left_behind = leave_settings_behind(kDevicePort, lines);
  const int sets_before = g_driver.set_calls;
  g_driver.calls.clear();
  ASSERT_TRUE(port.ABRE_PORTA(kDevicePort));
  ASSERT_EQ(port.last_open_code(), OpenCode::ok);
  ASSERT_EQ(g_driver.set_calls, sets_before + 1);
  {
    SCOPED_TRACE("the block given to SetCommState");
    expect_forced_settings(g_driver.last_set, left_behind, lines);
  }
  EXPECT_EQ(g_driver.calls,
            (std::vector<std::string>{"GetCommState", "SetCommState", "ClearCommError"}));
  EXPECT_EQ(g_driver.cleared, port.handle());

  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  ASSERT_TRUE(GetCommState(port.handle(), &dcb));
  {
    SCOPED_TRACE("the block read back with GetCommState");
    // Wine keeps no limits: it reports 10 and 10 whatever was set.
    DCB limits_as_set = dcb;
    limits_as_set.XonLim = 64;
    limits_as_set.XoffLim = 64;
    expect_forced_settings(limits_as_set, left_behind, lines);
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

// How another thread fares with port n's lock, as another pATU would: WAIT_OBJECT_0 or
// WAIT_ABANDONED when it could take it (it lets go at once), WAIT_TIMEOUT when it is held.
DWORD try_lock_elsewhere(int port_number) {
  DWORD result = WAIT_FAILED;
  std::thread([&] {
    const std::wstring name = L"Global\\pATU-COM" + std::to_wstring(port_number);
    const HANDLE lock = CreateMutexW(nullptr, FALSE, name.c_str());
    if (lock == nullptr) return;
    result = WaitForSingleObject(lock, 0);
    if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED) ReleaseMutex(lock);
    CloseHandle(lock);
  }).join();
  return result;
}

TEST(SerialW32Settings, ReadBackAfterEachOpenAndAfterAFailedOne) {
  Win32SerialPort port;
  for (const ModemLines& lines : kModemLines) {
    open_and_check_settings(port, lines);
    close_and_check_released(port);
  }

  EXPECT_FALSE(port.ABRE_PORTA(kAbsentPort));
  EXPECT_EQ(port.last_open_code(), OpenCode::settings_failed);
  EXPECT_FALSE(port.PORTA_ABERTA());
  EXPECT_EQ(try_lock_elsewhere(kAbsentPort), WAIT_OBJECT_0) << "the failed open kept its lock";

  SCOPED_TRACE("open after the failed one");
  open_and_check_settings(port, kModemLines[0]);
  close_and_check_released(port);
}

// A block that cannot be read or written leaves the line at an unknown speed: the port
// counts as one that cannot be opened, as when its time-outs cannot be set, and nothing of
// it is left.
TEST(SerialW32Settings, PortWhoseSettingsCannotBeSetIsNotOpened) {
  const char* counter_name = nullptr;
  const Counter handle_count = handle_counter(counter_name);
  Win32SerialPort port;
  {
    // What Wine sets up on a first open is not a leak.
    ASSERT_TRUE(port.ABRE_PORTA(kDevicePort));
    port.FECHA_PORTA();
  }
  const struct {
    const char* what;
    bool* failing;
    OpenCode code;
  } cases[] = {{"GetCommState fails", &g_driver.get_fails, OpenCode::settings_failed},
               {"SetCommState fails", &g_driver.set_fails, OpenCode::settings_failed},
               {"SetCommTimeouts fails", &g_driver.timeouts_fail, OpenCode::timeouts_failed}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const DWORD before = handle_count();
    *c.failing = true;
    EXPECT_FALSE(port.ABRE_PORTA(kDevicePort));
    *c.failing = false;
    EXPECT_EQ(port.last_open_code(), c.code);
    EXPECT_FALSE(port.PORTA_ABERTA());
    EXPECT_EQ(handle_count(), before) << counter_name;
    EXPECT_EQ(try_lock_elsewhere(kDevicePort), WAIT_OBJECT_0) << "the failed open kept its lock";
    EXPECT_TRUE(port.ABRE_PORTA(kDevicePort));
    port.FECHA_PORTA();
  }
}

// Another pATU's hold on a port's lock, played by a thread of this process (a mutex's owner
// is a thread). It takes the lock, and lets go of it, or ends without letting go, when told.
class OtherPatu {
 public:
  enum class End { let_go, abandon };

  OtherPatu(int port_number, End end)
      : go_(CreateEventA(nullptr, TRUE, FALSE, nullptr)),
        taken_(CreateEventA(nullptr, TRUE, FALSE, nullptr)),
        thread_([this, port_number, end] {
          const std::wstring name = L"Global\\pATU-COM" + std::to_wstring(port_number);
          lock_ = CreateMutexW(nullptr, FALSE, name.c_str());
          took_ = lock_ != nullptr && WaitForSingleObject(lock_, 0) == WAIT_OBJECT_0;
          SetEvent(taken_);
          WaitForSingleObject(go_, INFINITE);
          if (end == End::let_go && took_) ReleaseMutex(lock_);
        }) {
    WaitForSingleObject(taken_, INFINITE);
  }
  ~OtherPatu() {
    end();
    if (lock_ != nullptr) CloseHandle(lock_);
    CloseHandle(go_);
    CloseHandle(taken_);
  }
  bool took() const { return took_; }
  // Lets go or abandons; the lock's handle stays open, so the mutex outlives the thread.
  void end() {
    if (!thread_.joinable()) return;
    SetEvent(go_);
    thread_.join();
  }

 private:
  HANDLE go_;
  HANDLE taken_;
  HANDLE lock_ = nullptr;
  bool took_ = false;
  std::thread thread_;
};

TEST(SerialW32Lock, HeldByAnotherPatuThePortIsNotTouched) {
  OtherPatu other(kDevicePort, OtherPatu::End::let_go);
  ASSERT_TRUE(other.took());
  Win32SerialPort port;
  const int opens_before = g_driver.com_opens;
  EXPECT_FALSE(port.ABRE_PORTA(kDevicePort));
  EXPECT_EQ(port.last_open_code(), OpenCode::not_opened);
  EXPECT_FALSE(port.PORTA_ABERTA());
  EXPECT_EQ(g_driver.com_opens, opens_before) << "the port was opened";

  other.end();
  ASSERT_TRUE(port.ABRE_PORTA(kDevicePort));
  EXPECT_EQ(g_driver.com_opens, opens_before + 1);
  EXPECT_EQ(g_driver.com_path, "\\\\.\\COM" + std::to_string(kDevicePort));
  EXPECT_EQ(try_lock_elsewhere(kDevicePort), static_cast<DWORD>(WAIT_TIMEOUT))
      << "an open port must hold its lock";
  port.FECHA_PORTA();
  EXPECT_EQ(try_lock_elsewhere(kDevicePort), WAIT_OBJECT_0) << "a closed port must let go";
}

TEST(SerialW32Lock, LeftAbandonedItIsTakenOver) {
  OtherPatu killed(kDevicePort, OtherPatu::End::abandon);
  ASSERT_TRUE(killed.took());
  killed.end();
  Win32SerialPort port;
  ASSERT_TRUE(port.ABRE_PORTA(kDevicePort));
  EXPECT_EQ(port.last_open_code(), OpenCode::ok);
  EXPECT_EQ(try_lock_elsewhere(kDevicePort), static_cast<DWORD>(WAIT_TIMEOUT))
      << "the port is open without its lock";
  port.FECHA_PORTA();
  EXPECT_EQ(try_lock_elsewhere(kDevicePort), WAIT_OBJECT_0);
}

// A request that its driver never ends: an overlapped read on a pipe nobody writes to. The
// read of one byte gives up after its time-out, 100 ms, plus the margin.
TEST(SerialW32Request, ReadThatNeverEndsIsCancelledAfterItsBound) {
  const std::wstring name = L"\\\\.\\pipe\\patu-request-" + std::to_wstring(GetCurrentProcessId());
  const HANDLE pipe =
      CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                       PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 16, 16, 0, nullptr);
  ASSERT_NE(pipe, INVALID_HANDLE_VALUE);
  const HANDLE writer = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);

  const char* counter_name = nullptr;
  const Counter handle_count = handle_counter(counter_name);
  std::uint8_t byte = 0xEE;
  // Once, for what Wine sets up on first use.
  EXPECT_FALSE(read_request(pipe, &byte, 1).completed);
  const DWORD before = handle_count();
  const auto start = std::chrono::steady_clock::now();
  const RequestEnd end = read_request(pipe, &byte, 1);
  const double ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  std::printf("a one-byte read that never ends returned after %.0f ms\n", ms);
  EXPECT_FALSE(end.completed);
  EXPECT_FALSE(end.left_pending) << "the pipe ends a cancelled read";
  EXPECT_EQ(end.count, 0u);
  EXPECT_EQ(byte, 0xEE);
  EXPECT_GE(ms, 2100 - 20);
  EXPECT_LT(ms, 2100 + 3000);
  EXPECT_EQ(handle_count(), before) << counter_name;

  // The cancelled reads are over: a byte written now goes to the next read.
  DWORD sent = 0;
  ASSERT_TRUE(WriteFile(writer, "Z", 1, &sent, nullptr));
  const RequestEnd next = read_request(pipe, &byte, 1);
  EXPECT_TRUE(next.completed);
  EXPECT_EQ(next.count, 1u);
  EXPECT_EQ(byte, 'Z');
  CloseHandle(writer);
  CloseHandle(pipe);
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
  EXPECT_EQ(absent.last_open_code(), OpenCode::settings_failed);
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
      " is closed\n%s%s  (and %d failed opens with code 3)\n",
      counter_name, before, kCalls, after, closed, live.summary().c_str(),
      never_opened.summary().c_str(), kRounds);
  EXPECT_EQ(after, before);
  EXPECT_EQ(closed, before - 2) << "the port's handle and its lock's";
}

}  // namespace
}  // namespace patu
