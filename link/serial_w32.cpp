#include "link/serial_w32.h"

#include <string>

namespace patu {

Win32SerialPort::~Win32SerialPort() { FECHA_PORTA(); }

OpenCode Win32SerialPort::CONFIGURA_PORTA(int port_number, HANDLE& handle) {
  const std::string path = "\\\\.\\COM" + std::to_string(port_number);
  handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OVERLAPPED, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return OpenCode::not_opened;

  SetupComm(handle, 256, 256);
  // Only speed, byte size and parity are ours; stop bits and flow control stay as the driver
  // had them.
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  GetCommState(handle, &dcb);
  dcb.BaudRate = 9600;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  SetCommState(handle, &dcb);

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
  HANDLE handle = nullptr;
  open_code_ = CONFIGURA_PORTA(port_number, handle);
  switch (open_code_) {
    case OpenCode::ok:
      PORTA_SERIAL = handle;
      open_ = true;
      return true;
    case OpenCode::timeouts_failed:
      close_steps(handle);
      return false;
    case OpenCode::not_opened:
      break;
  }
  return false;
}

void Win32SerialPort::FECHA_PORTA() {
  if (!open_) return;
  close_steps(PORTA_SERIAL);
  open_ = false;
}

bool Win32SerialPort::transfer(bool is_write, void* bytes, std::uint32_t count,
                               std::uint32_t& transferred) {
  transferred = 0;
  if (!open_) return false;

  OVERLAPPED request{};
  request.hEvent = CreateEventA(nullptr, TRUE, TRUE, nullptr);
  if (request.hEvent == nullptr) return false;

  DWORD ignored = 0;
  const BOOL done_at_once = is_write ? WriteFile(PORTA_SERIAL, bytes, count, &ignored, &request)
                                     : ReadFile(PORTA_SERIAL, bytes, count, &ignored, &request);
  bool result = false;
  if (done_at_once || GetLastError() == ERROR_IO_PENDING) {
    DWORD count_done = 0;
    if (WaitForSingleObject(request.hEvent, INFINITE) == WAIT_OBJECT_0) {
      if (!GetOverlappedResult(PORTA_SERIAL, &request, &count_done, FALSE)) count_done = 0;
    } else {
      // The request must not outlive the OVERLAPPED on this stack.
      CancelIo(PORTA_SERIAL);
      GetOverlappedResult(PORTA_SERIAL, &request, &count_done, TRUE);
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
  // WriteFile only reads the bytes; the cast serves the shared read/write path.
  return transfer(true, const_cast<std::uint8_t*>(bytes), count, written);
}

bool Win32SerialPort::LE_PORTA(std::uint32_t count, std::uint8_t* buffer, std::uint32_t& read) {
  return transfer(false, buffer, count, read);
}

void Win32SerialPort::purge(Purge queue) {
  if (open_) PurgeComm(PORTA_SERIAL, static_cast<DWORD>(queue));
}

}  // namespace patu
