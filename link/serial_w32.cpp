#include "link/serial_w32.h"

#include <algorithm>
#include <string>

namespace patu {

namespace {

// How long a request may run past its own time-out before it counts as hung: far beyond
// any lateness of a sound driver's timer, short enough that a technician sees a message.
constexpr DWORD kRequestMarginMs = 2000;

DWORD request_bound_ms(bool is_write, std::uint32_t count) {
  const std::uint64_t own = is_write ? 5000ull * count + 5000 : 100ull * count;
  return static_cast<DWORD>(std::min<std::uint64_t>(own + kRequestMarginMs, INFINITE - 1));
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

  SetupComm(handle, 256, 256);
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
  close_steps(PORTA_SERIAL);
  release_port_lock(port_lock_);
  port_lock_ = nullptr;
  open_ = false;
}

bool overlapped_transfer(HANDLE handle, bool is_write, void* bytes, std::uint32_t count,
                         std::uint32_t& transferred) {
  transferred = 0;
  OVERLAPPED request{};
  request.hEvent = CreateEventA(nullptr, TRUE, TRUE, nullptr);
  if (request.hEvent == nullptr) return false;

  DWORD ignored = 0;
  const BOOL done_at_once = is_write ? WriteFile(handle, bytes, count, &ignored, &request)
                                     : ReadFile(handle, bytes, count, &ignored, &request);
  bool result = false;
  if (done_at_once || GetLastError() == ERROR_IO_PENDING) {
    DWORD count_done = 0;
    if (WaitForSingleObject(request.hEvent, request_bound_ms(is_write, count)) == WAIT_OBJECT_0) {
      if (!GetOverlappedResult(handle, &request, &count_done, FALSE)) count_done = 0;
    } else {
      // A driver that never ends the request (a hung adapter). The request must not
      // outlive the OVERLAPPED on this stack, so the cancel is waited for.
      CancelIo(handle);
      GetOverlappedResult(handle, &request, &count_done, TRUE);
      count_done = 0;
    }
    transferred = count_done;
    result = count_done == count;
  }
  CloseHandle(request.hEvent);
  return result;
}

bool Win32SerialPort::ESCREVE_PORTA(const std::uint8_t* bytes, std::uint32_t count,
                                    std::uint32_t& written) {
  written = 0;
  if (!open_) return false;
  // WriteFile only reads the bytes; the cast serves the shared read/write path.
  return overlapped_transfer(PORTA_SERIAL, true, const_cast<std::uint8_t*>(bytes), count, written);
}

bool Win32SerialPort::LE_PORTA(std::uint32_t count, std::uint8_t* buffer, std::uint32_t& read) {
  read = 0;
  if (!open_) return false;
  return overlapped_transfer(PORTA_SERIAL, false, buffer, count, read);
}

void Win32SerialPort::purge(Purge queue) {
  if (open_) PurgeComm(PORTA_SERIAL, static_cast<DWORD>(queue));
}

}  // namespace patu
