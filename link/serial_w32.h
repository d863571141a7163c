#pragma once
// The serial port through the Windows communications API: "\\.\COM<n>", exclusive,
// overlapped, with the read and write time-outs of link/serial.h installed in the driver.
// Every read or write builds its own request (a zeroed OVERLAPPED with a fresh manual-reset
// event) and waits for it before returning, so at most one request is ever outstanding.
//
// While a port is open this process also holds the mutex Global\pATU-COM<n>, which every pATU
// takes before opening port n; one left abandoned by a pATU that ended without letting
// go is taken over. Its owner is a thread: open and close on the same one.

#include <windows.h>

#include "link/serial.h"

namespace patu {

class Win32SerialPort final : public SerialPort {
 public:
  Win32SerialPort() = default;
  // Closes the port if it is still open.
  ~Win32SerialPort() override;
  Win32SerialPort(const Win32SerialPort&) = delete;
  Win32SerialPort& operator=(const Win32SerialPort&) = delete;

  bool ABRE_PORTA(int port_number) override;
  void FECHA_PORTA() override;
  bool ESCREVE_PORTA(const std::uint8_t* bytes, std::uint32_t count,
                     std::uint32_t& written) override;
  bool LE_PORTA(std::uint32_t count, std::uint8_t* buffer, std::uint32_t& read) override;
  void purge(Purge queue) override;
  bool PORTA_ABERTA() const override { return open_; }

  // Result of the open steps the last time ABRE_PORTA ran them (ok before any).
  OpenCode last_open_code() const { return open_code_; }
  // The open port's handle, for inspection only (tests read the driver's settings back);
  // meaningful while PORTA_ABERTA() is true.
  HANDLE handle() const { return PORTA_SERIAL; }

 private:
  OpenCode CONFIGURA_PORTA(int port_number, HANDLE& handle);
  static void close_steps(HANDLE handle);

  HANDLE PORTA_SERIAL = nullptr;
  HANDLE port_lock_ = nullptr;
  bool open_ = false;
  OpenCode open_code_ = OpenCode::ok;
};

// One overlapped read or write on `handle`, as the port makes them: waited for within its
// own time-out (reads 100 ms a byte, writes 5000 ms a byte plus 5000 ms) plus a margin, then
// cancelled, the cancel waited for, and counted as failed with count 0. `transferred` gets
// the count the request reports; true when it equals `count`. Tests give it other handles.
bool overlapped_transfer(HANDLE handle, bool is_write, void* bytes, std::uint32_t count,
                         std::uint32_t& transferred);

}  // namespace patu
