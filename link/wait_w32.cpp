#include "link/wait_w32.h"

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

// Waits on `count` (0 or 1) objects until the counter reaches `end`, waking for messages.
bool wait_waking(DWORD count, HANDLE object, std::int64_t end, WindowTurns& window) {
  const std::int64_t rate = counter_rate();
  for (;;) {
    const std::int64_t left = end - counter_now();
    if (left <= 0) return false;
    // Rounded up: a wait of the whole milliseconds left could end before `end`.
    const auto left_ms = static_cast<DWORD>((left * 1000 + rate - 1) / rate);
    const DWORD woke =
        MsgWaitForMultipleObjectsEx(count, &object, left_ms, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    if (woke == WAIT_OBJECT_0 + count) {
      window.take_turn();
    } else if (count == 1 && woke == WAIT_OBJECT_0) {
      return true;
    } else if (woke != WAIT_TIMEOUT) {
      return false;
    }
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
