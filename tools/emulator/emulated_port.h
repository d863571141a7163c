#pragma once
// The serial port with the emulated device at the other end, in-process and on virtual time:
// writes reach the Device at the clock's time; reads take its output under the read
// time-outs of the port contract and move the clock on by exactly the time they waited.
// Deterministic and thread-free, for engine tests, fault matrices and soaks.
//
// Bytes already on their way when a purge runs (a late reply, say) still arrive afterwards,
// as they would on a real line. Once the device has hung up, writes fail with count 0 and
// reads wait out their time-outs.

#include <cstdint>
#include <set>

#include "link/clock.h"
#include "link/serial.h"
#include "tools/emulator/device.h"

namespace patu::emu {

class EmulatedPort final : public SerialPort {
 public:
  // The device sits on port `device_port`; `clock` is the time the host sees, and every
  // wait of a read advances it. Times on the device start at 0 here.
  EmulatedPort(Device& device, ManualClock& clock, int device_port = 1);

  // The port numbers that can be opened (the device's own by default). One that exists
  // without the device is a silent line: writes go nowhere, reads time out.
  void set_present_ports(std::set<int> ports) { present_ = std::move(ports); }

  bool ABRE_PORTA(int porta) override;
  void FECHA_PORTA() override;
  bool ESCREVE_PORTA(const std::uint8_t* bytes, std::uint32_t count,
                     std::uint32_t& written) override;
  bool LE_PORTA(std::uint32_t count, std::uint8_t* buffer, std::uint32_t& read) override;
  void purge(Purge queue) override;
  bool PORTA_ABERTA() const override { return open_ != 0; }

  // The device's time now, in microseconds.
  Micros now();

 private:
  bool device_attached() const { return open_ == device_port_; }
  // Waits until the device's time `t`.
  void advance_to(Micros t);

  Device& device_;
  ManualClock& clock_;
  int device_port_;
  std::set<int> present_;
  int open_ = 0;  // the open port's number, 0 when none
  std::uint32_t last_tick_;
  Micros now_us_ = 0;
};

}  // namespace patu::emu
