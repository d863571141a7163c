#pragma once
// Time as the device link sees it: a millisecond tick count and pauses.

#include <cstdint>

namespace patu {

class Clock {
 public:
  virtual ~Clock() = default;
  // Milliseconds since some start; wraps at 2^32, so take differences as unsigned 32-bit.
  virtual std::uint32_t tick_ms() = 0;
  // A pause of at least `ms` by this clock.
  virtual void sleep_ms(std::uint32_t ms) = 0;
};

// The machine's clock: GetTickCount and Sleep on Windows, the monotonic clock on POSIX.
Clock& system_clock();

// Time that only moves when told to: tests and the in-process device stand-in decide how
// long every wait takes, and no pause is paid.
class ManualClock final : public Clock {
 public:
  explicit ManualClock(std::uint32_t start_ms = 0) : now_(start_ms) {}
  std::uint32_t tick_ms() override { return now_; }
  void sleep_ms(std::uint32_t ms) override { advance(ms); }
  void advance(std::uint32_t ms) { now_ += ms; }

 private:
  std::uint32_t now_;
};

// The machine's clock without its pauses: time runs as it does on the machine, plus every
// pause that was skipped. Used where a real serial line sets the pace but the mandated
// pauses must not be paid.
class SkippingClock final : public Clock {
 public:
  std::uint32_t tick_ms() override { return system_clock().tick_ms() + skipped_; }
  void sleep_ms(std::uint32_t ms) override { skipped_ += ms; }

 private:
  std::uint32_t skipped_ = 0;
};

}  // namespace patu
