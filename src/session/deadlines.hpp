// The one timer behind every policy's deadline (resize, the clipboard list time-out): the main
// thread's event loop waits no longer than the earliest, and runs what is due after each wake.
#pragma once

#include <cstdint>

#include <winpr/wtypes.h>

namespace korvane {

// Main thread, the event loop: an auto-reset event to wait on beside the library's handles,
// the wait's time-out in milliseconds, and what to run after every wake.
HANDLE deadlines_event();
uint32_t deadlines_wait_ms();
void deadlines_run();

// Any thread: a policy's next deadline may have moved earlier, so the loop's wait is cut short.
void deadlines_changed();

}  // namespace korvane
