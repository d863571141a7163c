#include "tools/emulator/emulated_port.h"

#include <algorithm>

namespace patu::emu {
namespace {

// Read time-outs of the port contract, in microseconds.
constexpr Micros kPerByteUs = 100'000;
constexpr Micros kIntervalUs = 100'000;

}  // namespace

EmulatedPort::EmulatedPort(Device& device, ManualClock& clock, int device_port)
    : device_(device),
      clock_(clock),
      device_port_(device_port),
      present_{device_port},
      last_tick_(clock.tick_ms()) {}

Micros EmulatedPort::now() {
  // Whatever the host slept since is added; the sub-millisecond part of our own waits stays.
  const std::uint32_t tick = clock_.tick_ms();
  now_us_ += Micros{static_cast<std::uint32_t>(tick - last_tick_)} * 1000;
  last_tick_ = tick;
  return now_us_;
}

void EmulatedPort::advance_to(Micros t) {
  const Micros from = now();
  if (t <= from) return;
  const auto whole_ms = static_cast<std::uint32_t>(t / 1000 - from / 1000);
  clock_.advance(whole_ms);
  last_tick_ = clock_.tick_ms();
  now_us_ = t;
}

bool EmulatedPort::ABRE_PORTA(int porta) {
  if (open_ != 0 || present_.count(porta) == 0) return false;
  open_ = porta;
  return true;
}

void EmulatedPort::FECHA_PORTA() {
  if (open_ == 0) return;
  purge(Purge::rx);
  purge(Purge::tx);
  open_ = 0;
}

bool EmulatedPort::ESCREVE_PORTA(const std::uint8_t* bytes, std::uint32_t count,
                                 std::uint32_t& written) {
  written = 0;
  if (open_ == 0) return false;
  if (!device_attached()) {
    written = count;
    return true;
  }
  const Micros at = now();
  while (written < count && !device_.hung_up()) device_.receive(bytes[written++], at);
  return written == count;
}

bool EmulatedPort::LE_PORTA(std::uint32_t count, std::uint8_t* buffer, std::uint32_t& read) {
  read = 0;
  if (open_ == 0) return false;
  const Micros start = now();
  const Micros deadline = start + kPerByteUs * count;
  Micros last = start;
  while (read < count) {
    const Emission* next = device_attached() ? device_.next_output() : nullptr;
    // The first byte may take the whole read; each later one at most the interval.
    const Micros limit = read == 0 ? deadline : std::min(deadline, last + kIntervalUs);
    if (next == nullptr || next->at > limit) {
      advance_to(limit);
      return false;
    }
    last = std::max(next->at, start);
    buffer[read++] = next->byte;
    device_.pop_output();
  }
  advance_to(last);
  return true;
}

void EmulatedPort::purge(Purge queue) {
  if (queue != Purge::rx || !device_attached()) return;
  const Micros t = now();
  for (const Emission* next = device_.next_output(); next != nullptr && next->at <= t;
       next = device_.next_output()) {
    device_.pop_output();
  }
}

}  // namespace patu::emu
