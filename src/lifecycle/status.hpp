// Progress and typed endings for hosts that asked for them (EXT_STATUS): how far the connection
// got, and why a session ended or failed, beside the base protocol's EVT_ERROR text.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <freerdp/freerdp.h>

#include "host_link/session_extensions.hpp"

namespace korvane {

// Sends EVT_PROGRESS when the host asked for it. The connection steps go out once each, in
// order; the graphics-pipeline steps whenever the pipeline opens or closes.
void status_progress(uint8_t step, uint32_t a = 0, uint32_t b = 0);

// Sends the connection steps the library's state has reached (any thread, while connecting).
void status_poll_connection(rdpContext* context);

// What the library and korvane's own checks know of how the connection ended; the caller adds
// its own part (host_requested, timed_out, security_up).
EndFacts end_facts(rdpContext* context);

// Sends EVT_END_REASON when the host asked for it, from what the library and korvane know.
void status_end(rdpContext* context, bool host_requested, bool timed_out);

// The end of a session refused for the host's own request, found after the grant was sent (a
// profile the library will not take). Main thread, before connecting.
void status_bad_request();

// Aborts a connection that takes longer than the limit (a server that accepts and says nothing
// would keep the library waiting for ever), and meanwhile reports the connection's progress.
// Joined by its destructor; timed_out() tells whether it fired. A limit of zero: neither.
class ConnectWatchdog {
 public:
  ConnectWatchdog(rdpContext* context, std::chrono::milliseconds limit);
  ~ConnectWatchdog();
  ConnectWatchdog(const ConnectWatchdog&) = delete;
  ConnectWatchdog& operator=(const ConnectWatchdog&) = delete;
  bool timed_out();

 private:
  // Guarded by lock_: set by the main thread (done_) and the watchdog thread (fired_).
  std::mutex lock_;
  std::condition_variable wake_;
  bool done_ = false;
  bool fired_ = false;
  std::thread thread_;
};

}  // namespace korvane
