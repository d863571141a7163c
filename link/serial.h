#pragma once
// The one serial port between the PC and the device: 9600 baud, 8 data bits, no parity, one
// stop bit, no flow control of either kind, exclusive access; whatever another program left
// on the line is replaced, but for DTR and RTS held at a plain level, which stay as found.
// Backends: serial_w32 (the product) and serial_posix (native runs).
//
// Read time-outs: a read of N bytes ends when all N arrived, after 100 * N ms in all, or as
// soon as more than 100 ms pass between two bytes; a read that ends early is short. A write
// of N bytes gives up after 5000 * N + 5000 ms.

#include <cstdint>

namespace patu {

// Which queue PurgeComm empties (the Win32 flag values).
enum class Purge : std::uint32_t { tx = 4, rx = 8 };

// Result of the open steps. not_opened: the port is absent or held by another program;
// timeouts_failed, settings_failed: it opened, and its time-outs or its speed, byte size and
// parity could not be set.
enum class OpenCode { ok = 0, not_opened = 1, timeouts_failed = 2, settings_failed = 3 };

class SerialPort {
 public:
  virtual ~SerialPort() = default;

  // Opens and configures port `porta` (1 to 256). False when it cannot be opened or
  // configured, and then nothing is left open. While a port is open: false, and the open
  // port stays open and in use.
  virtual bool ABRE_PORTA(int porta) = 0;
  // Empties both queues (input first) and closes the port; nothing when none is open.
  virtual void FECHA_PORTA() = 0;
  // Sends `count` bytes and waits until the write has finished. `written` gets the count
  // the driver reports sent (0 when the write did not start); true when it equals `count`.
  virtual bool ESCREVE_PORTA(const std::uint8_t* bytes, std::uint32_t count,
                             std::uint32_t& written) = 0;
  // Reads up to `count` bytes into the start of `buffer` under the read time-outs. `read`
  // gets the count that arrived, and those bytes are in `buffer` even when the call fails;
  // true when it equals `count` (so a zero-byte read is true with count 0).
  virtual bool LE_PORTA(std::uint32_t count, std::uint8_t* buffer, std::uint32_t& read) = 0;
  // Discards what waits in one queue of the open port; nothing when none is open.
  virtual void purge(Purge queue) = 0;
  virtual bool PORTA_ABERTA() const = 0;
};

}  // namespace patu
