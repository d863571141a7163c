#include <windows.h>

#include "link/clock.h"

namespace patu {
namespace {

class TickClock final : public Clock {
 public:
  std::uint32_t tick_ms() override { return GetTickCount(); }
  void sleep_ms(std::uint32_t ms) override { Sleep(ms); }
};

}  // namespace

Clock& system_clock() {
  static TickClock clock;
  return clock;
}

}  // namespace patu
