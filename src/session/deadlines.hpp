// The one timer behind every policy's deadline (resize, the clipboard list time-out, the
// microphone's silence): the main thread's event loop waits no longer than the earliest, and runs
// what is due after each wake.
#pragma once

#include <cstdint>

namespace korvane {

// Main thread, the event loop: the wait's time-out in milliseconds (it also waits on
// deadlines_event(), state/control.hpp), and what to run after every wake.
uint32_t deadlines_wait_ms();
void deadlines_run();

}  // namespace korvane
