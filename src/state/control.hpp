// How a session is asked to end, from any thread, and how the threads that wait learn of it.
#pragma once

#include <cstdint>

#include <winpr/wtypes.h>

namespace korvane {

// Asks the session to end: sets the stop flag and signals the stop event, if one is open. The
// one way to stop, from any thread: the input thread on CMD_DISCONNECT, whichever thread finds
// the host's output closed, the main thread at teardown.
void request_stop();
// Whether a stop was requested. Read by the event loop after every wake, by the input thread
// before every frame, and by the waits a stop cuts short.
bool stop_requested();
// Forgets a stop request. Main thread, before any other thread of a session starts (the unit
// tests run several sessions in one process).
void reset_stop();
// Waits ms, or less when a stop is requested meanwhile; false when a stop was requested. Main
// thread (it owns the stop event, which cannot close under the wait).
bool wait_unless_stopped(uint32_t ms);

// The host can no longer read: set once by whichever thread found its output closed (see
// transport.hpp), read by the main thread for the exit code.
void note_host_gone();
bool host_gone();

// The one timer's wake-up (see session/deadlines.hpp): a manual-reset event the main thread's
// event loop waits on beside the library's handles, and resets when the wait reports it.
// deadlines_changed() is called from any thread when a policy's next deadline may have moved
// earlier, so the loop's wait is cut short.
HANDLE deadlines_event();
void deadlines_changed();

// The stop request as a manual-reset WinPR event, for the waits on handles (the library's and
// this one). One at a time, owned by the main thread: made before the input thread starts and
// destroyed after that thread has ended (never, when it is stuck and the process ends without
// teardown). A stop requested before it was made signals it at once.
class StopEvent {
 public:
  StopEvent();
  ~StopEvent();
  StopEvent(const StopEvent&) = delete;
  StopEvent& operator=(const StopEvent&) = delete;
  // Null when the event could not be made: the stop flag then ends the waits at their next tick.
  HANDLE handle() const { return handle_; }

 private:
  HANDLE handle_ = nullptr;
};

}  // namespace korvane
