#pragma once
// The Win32 waits of the link that also wake for the window's messages: the thread that
// waits is the window's, so a message that arrives meanwhile is handed to the window at
// once, and the wait goes on for what is left of it.

#include <windows.h>

#include "link/window_turns.h"

namespace patu {

// Waits until `object` is signalled or `ms` have passed, whichever comes first; true when
// `object` was signalled. With a window, whenever messages arrive for this thread the window
// takes its turn, though no sooner than 50 ms after its last one; time is then measured by
// the performance counter, so that turns never shorten the wait. With no_window(), a plain
// wait.
bool wait_for_object(HANDLE object, DWORD ms, WindowTurns& window);

// A pause of at least `ms`, during which the window takes its turns as above.
void pause_waking_for_messages(DWORD ms, WindowTurns& window);

}  // namespace patu
