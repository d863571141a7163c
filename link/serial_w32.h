#pragma once
// The serial port through the Windows communications API: "\\.\COM<n>", exclusive,
// overlapped, with the read and write time-outs of link/serial.h installed in the driver.
// Every read or write builds its own request (a zeroed OVERLAPPED with a fresh manual-reset
// event) and waits for it before returning, so at most one request is ever outstanding.

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
  bool transfer(bool is_write, void* bytes, std::uint32_t count, std::uint32_t& transferred);

  HANDLE PORTA_SERIAL = nullptr;
  bool open_ = false;
  OpenCode open_code_ = OpenCode::ok;
};

}  // namespace patu
