#pragma once
// Time as the device link sees it: a millisecond tick count, and pauses that hand the window
// its turns.

#include <algorithm>
#include <cstdint>

#include "link/window_turns.h"

namespace patu {

class Clock {
 public:
  virtual ~Clock() = default;
  // Milliseconds since some start; wraps at 2^32, so take differences as unsigned 32-bit.
  virtual std::uint32_t tick_ms() = 0;
  virtual void sleep_ms(std::uint32_t ms) = 0;
  // A pause of at least `ms` by this clock, during which `window` takes its turns: here at
  // its start and then at least every 100 ms, a turn's own time counting as part of the
  // pause. The program's clock on Windows wakes for the window's messages instead.
  virtual void pause_ms(std::uint32_t ms, WindowTurns& window) {
    constexpr std::uint32_t kTurnEveryMs = 100;
    const std::uint32_t start = tick_ms();
    for (;;) {
      window.take_turn();
      const std::uint32_t gone = tick_ms() - start;
      if (gone >= ms) return;
      sleep_ms(std::min(ms - gone, kTurnEveryMs));
    }
  }
};

// The machine's clock: GetTickCount and Sleep on Windows (its pauses waking for the window's
// messages), the monotonic clock on POSIX.
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
