#pragma once
// The serial port on a POSIX terminal device (a real serial line or a pseudo-terminal):
// raw 9600 baud 8N1 without flow control, the modem lines and their hang-up on close as found,
// exclusive, with the read and write time-outs of link/serial.h kept by the backend itself. Waits
// sleep in poll(); nothing spins, not even on a hung-up line.

#include <chrono>
#include <functional>
#include <string>

#include "link/serial.h"

namespace patu {

class PosixSerialPort final : public SerialPort {
 public:
  // Maps a port number to the device path to open.
  using PathMap = std::function<std::string(int port_number)>;

  // "/dev/ttyS" followed by port_number - 1.
  static std::string default_path(int port_number);

  explicit PosixSerialPort(PathMap map = default_path);
  // Closes the port if it is still open.
  ~PosixSerialPort() override;
  PosixSerialPort(const PosixSerialPort&) = delete;
  PosixSerialPort& operator=(const PosixSerialPort&) = delete;

  // Exclusive twice over: TIOCEXCL keeps other openers out, and an flock keeps out even
  // those that TIOCEXCL lets through (root). Open code 1 when the device cannot be opened or
  // locked, 2 when the line cannot be set up.
  bool ABRE_PORTA(int port_number) override;
  void FECHA_PORTA() override;
  // A hung-up line fails the write at once.
  bool ESCREVE_PORTA(const std::uint8_t* bytes, std::uint32_t count,
                     std::uint32_t& written) override;
  // A hung-up line reads as silence: the read waits out its time-out.
  bool LE_PORTA(std::uint32_t count, std::uint8_t* buffer, std::uint32_t& read) override;
  void purge(Purge queue) override;
  bool PORTA_ABERTA() const override { return open_; }

  // Result of the open steps the last time ABRE_PORTA ran them (ok before any).
  OpenCode last_open_code() const { return open_code_; }

 private:
  using Steady = std::chrono::steady_clock;

  OpenCode CONFIGURA_PORTA(int port_number, int& fd);
  static void close_steps(int fd);
  // Waits until `fd` is ready for `events` or `deadline` passes: the poll events, 0 on
  // time-out.
  short wait_for(short events, Steady::time_point deadline);

  PathMap map_;
  int PORTA_SERIAL = -1;
  bool open_ = false;
  OpenCode open_code_ = OpenCode::ok;
};

}  // namespace patu
