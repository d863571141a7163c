#pragma once
// Hand-made frames and a host that feeds a Device byte by byte, for the emulator's tests.

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "link/protocol.h"
#include "tools/emulator/device.h"
#include "tools/emulator/fault.h"

namespace patu::emu::testing {

using Bytes = std::vector<std::uint8_t>;

inline Bytes frame_e(std::uint16_t address) {
  return {4, 'E', std::uint8_t(address >> 8), std::uint8_t(address)};
}
inline Bytes frame_d(std::uint16_t address) {
  return {4, 'D', std::uint8_t(address >> 8), std::uint8_t(address)};
}
inline Bytes frame_g() { return {2, 'G'}; }

// 128 plain bytes, encoded on the way.
inline Bytes frame_w(std::uint16_t address, const Block& data) {
  Bytes f{133, 'W', 8, std::uint8_t(address >> 8), std::uint8_t(address)};
  for (std::uint8_t b : data) f.push_back(CODIFICA_BYTE(b));
  return f;
}
inline Bytes frame_f(std::uint16_t page, std::uint8_t offset, const Block& half) {
  Bytes f{133, 'F', std::uint8_t(page >> 8), std::uint8_t(page), offset};
  for (std::uint8_t b : half) f.push_back(CODIFICA_BYTE(b));
  return f;
}

// A device that suffers these faults (text form KIND@TRIGGER).
inline DeviceConfig with_faults(std::initializer_list<const char*> faults) {
  DeviceConfig config;
  for (const char* text : faults) {
    std::string error;
    const auto fault = parse_fault(text, &error);
    EXPECT_TRUE(fault.has_value()) << text << ": " << error;
    if (fault) config.faults.push_back(*fault);
  }
  return config;
}

// 128 varied bytes, none of them 0xFF.
inline Block pattern(std::uint8_t seed) {
  Block b{};
  for (std::size_t i = 0; i < b.size(); ++i) b[i] = std::uint8_t(seed + 3 * i) & 0x7F;
  return b;
}

inline Block filled(std::uint8_t value) {
  Block b;
  b.fill(value);
  return b;
}

// Sends bytes at a time it keeps, and takes the device's output.
class Host {
 public:
  explicit Host(Device& device) : device_(device) {}

  Micros now = 0;

  void send(const Bytes& bytes) {
    for (std::uint8_t b : bytes) device_.receive(b, now);
  }
  // Everything the device has sent so far.
  Bytes take() {
    Bytes out;
    for (const Emission* e = device_.next_output(); e != nullptr; e = device_.next_output()) {
      out.push_back(e->byte);
      device_.pop_output();
    }
    return out;
  }
  // Sync byte, complement expected (after any noise), frame; returns the reply.
  Bytes command(const Bytes& frame, std::uint8_t sync = 0x86) {
    send({sync});
    const Bytes answer = take();
    EXPECT_TRUE(!answer.empty() && answer.back() == std::uint8_t(~sync));
    send(frame);
    return take();
  }

 private:
  Device& device_;
};

}  // namespace patu::emu::testing
