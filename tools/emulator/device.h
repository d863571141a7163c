#pragma once
// The key-programming device in update mode, as a byte-driven state machine: bytes from the
// host go in with the time they reached the line, bytes for the host come out with the time
// they reach the host. No I/O, no threads, no clock of its own: the pty program and
// EmulatedPort drive it.
//
// Idle, it answers the probe 0xAB and its one accepted sync byte (0x86, or 0x85 for a
// device of another version) with the complement; then it takes a frame (length byte first,
// counting itself) and replies: length byte counting itself, status (0xAA acknowledges),
// data. Other bytes while idle are ignored. A frame that falls silent for more than a second
// is abandoned. Its memory (flash.h) holds the info block at 0x8000.

#include <array>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

#include "link/protocol.h"
#include "tools/emulator/chaos.h"
#include "tools/emulator/dump.h"
#include "tools/emulator/fault.h"
#include "tools/emulator/flash.h"

namespace patu::emu {

// Microseconds on the driver's clock.
using Micros = std::uint64_t;

inline constexpr std::array<std::uint8_t, 3> kDefaultSerial{0x0A, 0x1B, 0xFF};
inline constexpr std::uint16_t kDefaultModuleArea = 0xAA00;
// Bytes sent before the complement under a noise fault.
inline constexpr std::array<std::uint8_t, 5> kNoise{0x00, 0x86, 0xFF, 0x85, 0x55};
inline constexpr Micros kFrameSilenceUs = 1'000'000;

// The info block of a device that was never given one: `serial` in bytes 0-2, and byte i
// holds i in every other position, so that no device byte reads 0xFF.
Block default_info(const std::array<std::uint8_t, 3>& serial = kDefaultSerial);

struct DeviceConfig {
  Block info = default_info();
  std::uint16_t module_area = kDefaultModuleArea;
  bool sync85_only = false;  // play a device of another version: only 0x85 is answered
  std::vector<std::uint8_t> probe_answer{0x54};  // empty: the probe gets no answer
  bool silent_after_probe = false;               // no sync byte is ever answered
  std::vector<Fault> faults;                     // the first one that matches hits
  // Bytes already in the line for the host before it opens the port (the device switched on
  // with the cable attached, an adapter's buffer): the first output, at time 0.
  std::vector<std::uint8_t> waiting;
  std::uint32_t baud = 0;  // 8N1 wire time for every byte in and out; 0: none
  // Random misbehaviour (chaos.h) wherever no fault above hits.
  std::optional<Chaos> chaos;
};

// One byte for the host, and the time it has reached the host.
struct Emission {
  std::uint8_t byte;
  Micros at;
};

class Device {
 public:
  explicit Device(DeviceConfig config = {});

  // A byte from the host that reached the device's side of the line at `at`. Calls come in
  // time order. Not heard once the device has hung up; only logged once it has lost power.
  void receive(std::uint8_t byte, Micros at);

  // The output not yet taken, oldest first; times never decrease.
  const Emission* next_output() const { return out_.empty() ? nullptr : &out_.front(); }
  void pop_output() { out_.pop_front(); }

  bool hung_up() const { return state_.hung_up; }
  // Answers nothing any more: it left the line (hangup) or lost power (poweroff).
  bool dead() const { return phase_ == Phase::gone; }
  // Memory, violations and command log, as the dump shows them.
  const Dump& state() const { return state_; }
  Block block(std::uint16_t address) const { return stored_block(state_, address); }
  Page page(std::uint16_t number) const { return stored_page(state_, number); }

 private:
  enum class Phase : std::uint8_t { idle, frame, gone };

  void idle_byte(std::uint8_t byte, Micros at);
  // Logs a byte the device does not act on.
  void ignore(std::uint8_t byte, Micros at);
  void frame_complete(Micros at);
  // The device answers nothing from `at` on; `line_dropped`: it left the line as well.
  void go_dead(Micros at, bool line_dropped);
  // The reply to the frame in frame_, for a valid frame: effects on memory included.
  std::vector<std::uint8_t> execute(int letter, std::uint32_t argument, bool act) {
    return flash_.execute(state_, current().number, letter, argument, &frame_[5], act);
  }
  const Fault* matching_fault(bool handshake, int letter, std::uint32_t argument) const;
  Micros emit(std::uint8_t byte, Micros ready);
  void violation(Violation::Kind kind, int letter, std::uint32_t argument);
  Exchange& current() { return state_.log[current_]; }

  DeviceConfig config_;
  Dump state_;
  Micros byte_us_ = 0;  // whole microseconds are exact enough at 9600 baud
  Phase phase_ = Phase::idle;
  std::array<std::uint8_t, 256> frame_{};
  std::size_t got_ = 0;
  std::size_t current_ = 0;   // log entry of the command under way
  Micros last_activity_ = 0;  // of the command under way, for the frame silence
  Micros rx_free_ = 0;        // the line from the host is busy until then
  Micros tx_free_ = 0;        // the line to the host is busy until then
  std::uint32_t commands_ = 0;
  std::array<std::uint32_t, 256> letter_counts_{};
  Flash flash_;
  std::deque<Emission> out_;
  std::optional<ChaosSource> chaos_;
};

}  // namespace patu::emu
