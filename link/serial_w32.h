#pragma once
// The serial port through the Windows communications API: "\\.\COM<n>", exclusive,
// overlapped, with the read and write time-outs of link/serial.h installed in the driver.
// Every read or write builds its own request (a zeroed OVERLAPPED with a fresh manual-reset
// event and a buffer of its own) and waits for it before returning, so at most one request
// is ever outstanding. The waits are plain ones: the thread that runs the link runs nothing
// else meanwhile.
//
// A write is one request. A read is one request from a driver that keeps the time-outs; one
// that ends reads early (some USB adapters' drivers do) is asked again for the rest until
// the time-outs have passed by this port's own tick count: more than 100 ms without a byte,
// or 100 ms a byte in all.
//
// A request that its driver ends neither by its bound nor once cancelled, or whose wait
// fails, is left to the driver for good, with everything it may still write into; the port
// is then dead: every later read and write fails at once, and only FECHA_PORTA still acts.
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
  // A request was left pending for good since the port was opened.
  bool dead() const { return dead_; }

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
  bool dead_ = false;
  OpenCode open_code_ = OpenCode::ok;
};

// How one request ended.
struct RequestEnd {
  std::uint32_t count = 0;  // the bytes it reports transferred
  bool completed = false;   // its driver ended it without an error (short or not)
  // It outlived its bound and the bound of its cancel, or a wait for it failed: its
  // OVERLAPPED, event and buffer were left to the driver, never to be freed.
  bool left_pending = false;
};

// One overlapped read or write on `handle`, as the port makes them: the bytes of a write are
// copied into the request before it starts, those of a read out of it once it has ended.
// Waited for within its own time-out (reads 100 ms a byte,
// writes 5000 ms a byte plus 5000 ms) plus a margin; then that one request is cancelled, and
// its cancel waited for within a bound of its own. A request given up counts 0 bytes. Tests
// give them other handles.
RequestEnd read_request(HANDLE handle, std::uint8_t* bytes, std::uint32_t count);
RequestEnd write_request(HANDLE handle, const std::uint8_t* bytes, std::uint32_t count);

}  // namespace patu
