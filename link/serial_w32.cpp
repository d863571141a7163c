#include "link/serial_w32.h"

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace patu {

namespace {

// How long a request may run past its own time-out before it counts as hung: far beyond
// any lateness of a sound driver's timer, short enough that a technician sees a message.
constexpr DWORD kRequestMarginMs = 2000;
// How long a cancelled request may take to end: a driver that honours the cancel ends it at
// once, and one that has not ended it by then never will.
constexpr DWORD kCancelBoundMs = 1000;

// The read time-outs installed in the driver, which LE_PORTA also keeps by its own count.
constexpr DWORD kReadIntervalMs = 100;
constexpr DWORD kReadPerByteMs = 100;
// A driver that keeps the time-outs ends a short read no sooner than the interval after a
// byte, or the total of 100 ms a byte: at least 100 ms after it was asked, which a tick count
// moving in steps of 10 to 16 ms reads as 84 ms at least. One that ends reads early does so
// as soon as it has a byte, or at once with none, which reads as 16 ms at most. Half the
// interval tells the two apart with room on both sides.
constexpr DWORD kEarlyBelowMs = 50;
// The driver's queues, each way.
constexpr DWORD kQueueBytes = 256;
// Between two reads that a driver ended at once with nothing: no spinning on such a driver.
constexpr DWORD kEarlyRetryMs = 10;

DWORD request_bound_ms(bool is_write, std::uint32_t count) {
  const std::uint64_t own = is_write ? 5000ull * count + 5000 : 100ull * count;
  return static_cast<DWORD>(std::min<std::uint64_t>(own + kRequestMarginMs, INFINITE - 1));
}

// One request and all that its driver may write into while it runs, off the stack: a request
// that its driver never ends is left to it, whole, for good.
struct Request {
  OVERLAPPED overlapped{};
  std::vector<std::uint8_t> buffer;
};

// Starts `request` and waits for its end; `request` is released, and left to the driver, when
// the request outlives its bound and its cancel, or a wait for it fails.
RequestEnd run_request(HANDLE handle, bool is_write, std::unique_ptr<Request>& request) {
  RequestEnd end;
  OVERLAPPED& overlapped = request->overlapped;
  overlapped.hEvent = CreateEventA(nullptr, TRUE, TRUE, nullptr);
  if (overlapped.hEvent == nullptr) return end;

  const auto count = static_cast<DWORD>(request->buffer.size());
  // A zero-byte request still hands the driver a buffer.
  if (request->buffer.empty()) request->buffer.resize(1);
  DWORD ignored = 0;
  const BOOL done_at_once =
      is_write ? WriteFile(handle, request->buffer.data(), count, &ignored, &overlapped)
               : ReadFile(handle, request->buffer.data(), count, &ignored, &overlapped);
  if (done_at_once || GetLastError() == ERROR_IO_PENDING) {
    // A request that the driver ended at once leaves nothing to wait for.
    DWORD woke = done_at_once
                     ? WAIT_OBJECT_0
                     : WaitForSingleObject(overlapped.hEvent, request_bound_ms(is_write, count));
    if (woke == WAIT_TIMEOUT) {
      // A driver that does not end the request (a hung adapter): only this one is cancelled,
      // and a driver may not end the cancel either.
      CancelIoEx(handle, &overlapped);
      woke = WaitForSingleObject(overlapped.hEvent, kCancelBoundMs);
    }
    if (woke != WAIT_OBJECT_0) {
      // Still running, or a failed wait that cannot tell: the driver may still write into it.
      request.release();  // deliberately never freed, nor its event closed
      end.left_pending = true;
      return end;
    }
    // A request that completed just as it was cancelled keeps what it transferred.
    DWORD count_done = 0;
    end.completed = GetOverlappedResult(handle, &overlapped, &count_done, FALSE) != 0;
    end.count = end.completed ? std::min<DWORD>(count_done, count) : 0;
  }
  CloseHandle(overlapped.hEvent);
  return end;
}

// Null when another pATU holds the port's lock, or an object of that name exists that this
// user may not open (another user's pATU holding it).
HANDLE take_port_lock(int port_number) {
  const std::wstring name = L"Global\\pATU-COM" + std::to_wstring(port_number);
  const HANDLE lock = CreateMutexW(nullptr, FALSE, name.c_str());
  if (lock == nullptr) return nullptr;
  switch (WaitForSingleObject(lock, 0)) {
    case WAIT_OBJECT_0:
    case WAIT_ABANDONED:  // its holder ended without letting go: ours now
      return lock;
    default:
      CloseHandle(lock);
      return nullptr;
  }
}

void release_port_lock(HANDLE lock) {
  ReleaseMutex(lock);
  CloseHandle(lock);
}

}  // namespace

Win32SerialPort::~Win32SerialPort() { FECHA_PORTA(); }

OpenCode Win32SerialPort::CONFIGURA_PORTA(int port_number, HANDLE& handle) {
  const std::string path = "\\\\.\\COM" + std::to_string(port_number);
  handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OVERLAPPED, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return OpenCode::not_opened;

  SetupComm(handle, kQueueBytes, kQueueBytes);
  // Windows opens a port with the settings of its last open, whoever made them, so the whole
  // line is set here. Left as found, XON/XOFF (a terminal program's default) would take the
  // device's 0x13 and 0x11, the wire form of data bytes 0xCE and 0xEE, as flow control, and
  // hardware flow control on a three-wire cable would time every write out; so would the
  // flags with which a driver drops received 0x00 bytes (every erased byte of a reply), stops
  // all traffic after one framing error, discards input while DSR is low or replaces bytes.
  // DTR and RTS at a plain level stay as found: a device or cable may draw on them.
  // A block that cannot be read or written leaves the line at an unknown speed.
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(handle, &dcb)) return OpenCode::settings_failed;
  dcb.BaudRate = 9600;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fOutX = FALSE;
  dcb.fInX = FALSE;
  // Unused with XON/XOFF off, yet SetCommState refuses equal characters (a driver may report
  // 0 and 0) and limits beyond the queue.
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  dcb.XonLim = kQueueBytes / 4;
  dcb.XoffLim = kQueueBytes / 4;
  dcb.fOutxCtsFlow = FALSE;
  dcb.fOutxDsrFlow = FALSE;
  if (dcb.fDtrControl == DTR_CONTROL_HANDSHAKE) dcb.fDtrControl = DTR_CONTROL_ENABLE;
  if (dcb.fRtsControl == RTS_CONTROL_HANDSHAKE || dcb.fRtsControl == RTS_CONTROL_TOGGLE) {
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
  }
  dcb.fBinary = TRUE;
  dcb.fNull = FALSE;
  dcb.fAbortOnError = FALSE;
  dcb.fDsrSensitivity = FALSE;
  dcb.fErrorChar = FALSE;
  if (!SetCommState(handle, &dcb)) return OpenCode::settings_failed;
  // An error left pending from before (a framing error as the device was switched on) would
  // still fail reads and writes if the driver had been aborting on errors.
  ClearCommError(handle, nullptr, nullptr);

  COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = 100;
  timeouts.ReadTotalTimeoutMultiplier = 100;
  timeouts.ReadTotalTimeoutConstant = 0;
  timeouts.WriteTotalTimeoutMultiplier = 5000;
  timeouts.WriteTotalTimeoutConstant = 5000;
  if (!SetCommTimeouts(handle, &timeouts)) return OpenCode::timeouts_failed;
  return OpenCode::ok;
}

void Win32SerialPort::close_steps(HANDLE handle) {
  PurgeComm(handle, PURGE_RXCLEAR);
  PurgeComm(handle, PURGE_TXCLEAR);
  CloseHandle(handle);
}

bool Win32SerialPort::ABRE_PORTA(int port_number) {
  // The held port stays open and in use: dropping its mark would leak the handle.
  if (open_) return false;
  // Windows' drivers refuse a second open of a port, Wine's do not: without a lock of our
  // own a second pATU would write into a running update.
  const HANDLE lock = take_port_lock(port_number);
  if (lock == nullptr) {
    open_code_ = OpenCode::not_opened;
    return false;
  }
  HANDLE handle = nullptr;
  open_code_ = CONFIGURA_PORTA(port_number, handle);
  switch (open_code_) {
    case OpenCode::ok:
      PORTA_SERIAL = handle;
      port_lock_ = lock;
      open_ = true;
      return true;
    case OpenCode::settings_failed:
    case OpenCode::timeouts_failed:
      close_steps(handle);
      break;
    case OpenCode::not_opened:
      break;
  }
  release_port_lock(lock);
  return false;
}

void Win32SerialPort::FECHA_PORTA() {
  if (!open_) return;
  // A driver that left a request pending may leave a purge pending too, and PurgeComm would
  // wait for it: the handle is only closed.
  if (dead_) {
    CloseHandle(PORTA_SERIAL);
  } else {
    close_steps(PORTA_SERIAL);
  }
  dead_ = false;
  release_port_lock(port_lock_);
  port_lock_ = nullptr;
  open_ = false;
}

RequestEnd read_request(HANDLE handle, std::uint8_t* bytes, std::uint32_t count) {
  auto request = std::make_unique<Request>();
  request->buffer.resize(count);
  const RequestEnd end = run_request(handle, false, request);
  if (end.count > 0) std::copy_n(request->buffer.begin(), end.count, bytes);
  return end;
}

RequestEnd write_request(HANDLE handle, const std::uint8_t* bytes, std::uint32_t count) {
  auto request = std::make_unique<Request>();
  request->buffer.assign(bytes, bytes + count);
  return run_request(handle, true, request);
}

bool Win32SerialPort::ESCREVE_PORTA(const std::uint8_t* bytes, std::uint32_t count,
                                    std::uint32_t& written) {
  written = 0;
  if (!open_ || dead_) return false;
  const RequestEnd end = write_request(PORTA_SERIAL, bytes, count);
  dead_ = end.left_pending;
  written = end.count;
  return end.completed && written == count;
}

bool Win32SerialPort::LE_PORTA(std::uint32_t count, std::uint8_t* buffer, std::uint32_t& read) {
  read = 0;
  if (!open_ || dead_) return false;
  const DWORD start = GetTickCount();
  // Before the first byte only the total applies. The bytes of a read came in before it
  // ended, so the silence since then is at least the time since.
  DWORD last_bytes_by = start;
  for (;;) {
    const DWORD asked = GetTickCount();
    const RequestEnd end = read_request(PORTA_SERIAL, buffer + read, count - read);
    const DWORD now = GetTickCount();
    dead_ = end.left_pending;
    read += end.count;
    if (end.completed && read == count) return true;
    // Failed, given up, or ended by the driver's own time-outs.
    if (!end.completed || now - asked >= kEarlyBelowMs) return false;
    // Ended early: the rest is asked for again, until the time-outs have passed here.
    if (now - start >= kReadPerByteMs * count) return false;
    if (end.count > 0) {
      last_bytes_by = now;
      continue;
    }
    if (read > 0 && now - last_bytes_by > kReadIntervalMs) return false;
    const DWORD total_left = kReadPerByteMs * count - (now - start);
    Sleep(std::min(kEarlyRetryMs, total_left));
  }
}

void Win32SerialPort::purge(Purge queue) {
  if (open_ && !dead_) PurgeComm(PORTA_SERIAL, static_cast<DWORD>(queue));
}

}  // namespace patu
