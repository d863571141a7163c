#include <windows.h>

#include "link/clock.h"
#include "link/wait_w32.h"

namespace patu {
namespace {

class TickClock final : public Clock {
 public:
  std::uint32_t tick_ms() override { return GetTickCount(); }
  void sleep_ms(std::uint32_t ms) override { Sleep(ms); }
  void pause_ms(std::uint32_t ms, WindowTurns& window) override {
    pause_waking_for_messages(ms, window);
  }
};

}  // namespace

Clock& system_clock() {
  static TickClock clock;
  return clock;
}

}  // namespace patu
