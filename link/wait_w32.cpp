#include "link/wait_w32.h"

#include <algorithm>
#include <cstdint>

namespace patu {
namespace {

std::int64_t counter_now() {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return now.QuadPart;
}

std::int64_t counter_rate() {
  static const std::int64_t rate = [] {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return frequency.QuadPart;
  }();
  return rate;
}

// Counter ticks to whole milliseconds, rounded up: a wait of the whole milliseconds in them
// could end before them.
DWORD to_ms(std::int64_t ticks) {
  const std::int64_t rate = counter_rate();
  return static_cast<DWORD>((ticks * 1000 + rate - 1) / rate);
}

// Turns come no closer together than this: a window that gets a message every few ms (under
// Wine a themed button under the mouse pointer has a 10 ms timer) would otherwise take a turn
// for each, at the cost of the line's pace.
constexpr DWORD kTurnSpacingMs = 50;
// The counter before which this thread's waits take no turn.
thread_local std::int64_t next_turn = 0;

// Waits on `count` (0 or 1) objects until the counter reaches `end`, waking for messages.
bool wait_waking(DWORD count, HANDLE object, std::int64_t end, WindowTurns& window) {
  for (;;) {
    const std::int64_t now = counter_now();
    if (now >= end) return false;
    DWORD woke = WAIT_TIMEOUT;
    if (now < next_turn) {
      // Too soon for another turn: the object alone until one is due.
      const DWORD ms = to_ms(std::min(end, next_turn) - now);
      if (count == 0) {
        Sleep(ms);
      } else {
        woke = WaitForSingleObject(object, ms);
      }
    } else {
      woke = MsgWaitForMultipleObjectsEx(count, &object, to_ms(end - now), QS_ALLINPUT,
                                         MWMO_INPUTAVAILABLE);
      if (woke == WAIT_OBJECT_0 + count) {
        window.take_turn();
        next_turn = counter_now() + kTurnSpacingMs * counter_rate() / 1000;
        continue;
      }
    }
    if (count == 1 && woke == WAIT_OBJECT_0) return true;
    if (woke != WAIT_TIMEOUT) return false;
  }
}

std::int64_t counter_after(DWORD ms) { return counter_now() + ms * counter_rate() / 1000 + 1; }

}  // namespace

bool wait_for_object(HANDLE object, DWORD ms, WindowTurns& window) {
  if (&window == &no_window()) return WaitForSingleObject(object, ms) == WAIT_OBJECT_0;
  return wait_waking(1, object, counter_after(ms), window);
}

void pause_waking_for_messages(DWORD ms, WindowTurns& window) {
  if (&window == &no_window()) {
    Sleep(ms);
    return;
  }
  wait_waking(0, nullptr, counter_after(ms), window);
}

}  // namespace patu
