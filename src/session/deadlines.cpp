#include "session/deadlines.hpp"

#include <algorithm>
#include <chrono>
#include <optional>

#include <winpr/synch.h>

#include "audio/microphone.hpp"
#include "clipboard/clipboard.hpp"
#include "resize/resize.hpp"

namespace korvane {

namespace {

using Clock = std::chrono::steady_clock;

// A bound on the wait even with no deadline, so that a missed wake costs a second at most.
constexpr std::chrono::milliseconds kLongestWait{1000};

}  // namespace

uint32_t deadlines_wait_ms() {
  const auto now = Clock::now();
  auto until = now + kLongestWait;
  for (const std::optional<Clock::time_point> d :
       {resize_deadline(), clipboard_deadline(), microphone_deadline()})
    if (d) until = std::min(until, *d);
  if (until <= now) return 0;
  // Rounded up: a wake a little early would find nothing due and wait again.
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(until - now);
  return static_cast<uint32_t>(ms.count());
}

void deadlines_run() {
  clipboard_tick();
  resize_tick();
  microphone_tick();
}

}  // namespace korvane
