#include "display/resize.hpp"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "host_link/extensions.hpp"
#include "host_link/protocol.hpp"
#include "host_link/transport.hpp"
#include "session/diag.hpp"

namespace korvane {

namespace {

using Clock = std::chrono::steady_clock;

// A window being dragged sends a request per pixel; the server gets the size it settles on.
constexpr auto kQuiet = std::chrono::milliseconds(200);
// How long after the connection is up a request waits for the channel before the host is told
// the server has none: the dynamic channels open shortly after activation.
constexpr auto kChannelGrace = std::chrono::seconds(3);
// How long an attached channel may stay silent about its limits before the defaults are used.
constexpr auto kCapsGrace = std::chrono::seconds(1);

// Everything below is guarded by lock: written by the input thread (requests), the main thread
// (connection, desktop size) and the channel-event and channel threads (attach, detach, caps);
// read by the worker thread, which holds the lock while it writes to the channel so the channel
// cannot be detached under it. Frames to the host go out without it.
std::mutex lock;
std::condition_variable wake;
std::thread worker;
bool running = false;
bool stopping = false;
bool pending = false;
uint32_t want_width = 0, want_height = 0;
Clock::time_point last_request;
bool connection_up = false;
Clock::time_point up_since;
uint32_t desktop_width = 0, desktop_height = 0;
DispClientContext* disp = nullptr;
Clock::time_point attached_since;
bool caps_known = false;
DisplayLimits limits;

UINT on_caps(DispClientContext*, UINT32 max_monitors, UINT32 factor_a, UINT32 factor_b) {
  std::lock_guard<std::mutex> guard(lock);
  caps_known = true;
  limits = DisplayLimits{};
  if (max_monitors && factor_a && factor_b)
    limits.max_area = uint64_t{factor_a} * factor_b;
  diag("display control: at most %u monitors, area factors %u x %u", max_monitors, factor_a,
       factor_b);
  wake.notify_all();
  return CHANNEL_RC_OK;
}

void send_refused(uint32_t width, uint32_t height, uint8_t reason) {
  send_frame(EVT_RESIZE_REFUSED, encode_resize_refused({width, height, reason}));
}

void run_worker() {
  std::unique_lock<std::mutex> guard(lock);
  while (!stopping) {
    if (!pending) {
      wake.wait(guard);
      continue;
    }
    const auto now = Clock::now();
    if (now < last_request + kQuiet) {
      wake.wait_until(guard, last_request + kQuiet);
      continue;
    }
    if (!connection_up) {
      wake.wait(guard);
      continue;
    }
    if (!disp) {
      if (now < up_since + kChannelGrace) {
        wake.wait_until(guard, up_since + kChannelGrace);
        continue;
      }
      pending = false;
      const uint32_t w = want_width, h = want_height;
      diag("resize to %ux%u refused: the server offers no display control channel", w, h);
      // Not under the lock: a host slow to read must not hold up its own next request.
      guard.unlock();
      send_refused(w, h, RESIZE_REFUSED_NO_CHANNEL);
      guard.lock();
      continue;
    }
    if (!caps_known && now < attached_since + kCapsGrace) {
      wake.wait_until(guard, attached_since + kCapsGrace);
      continue;
    }
    pending = false;
    const auto [w, h] = clamp_display_size(want_width, want_height, limits);
    if (w == desktop_width && h == desktop_height) continue;
    DISPLAY_CONTROL_MONITOR_LAYOUT layout{};
    layout.Flags = DISPLAY_CONTROL_MONITOR_PRIMARY;
    layout.Width = w;
    layout.Height = h;
    layout.Orientation = ORIENTATION_LANDSCAPE;
    layout.DesktopScaleFactor = 100;
    layout.DeviceScaleFactor = 100;
    diag("display control: asking for %ux%u (host asked %ux%u)", w, h, want_width, want_height);
    const UINT rc = disp->SendMonitorLayout ? disp->SendMonitorLayout(disp, 1, &layout)
                                            : ERROR_INTERNAL_ERROR;
    if (rc != CHANNEL_RC_OK) diag("Warning: the monitor layout could not be sent (0x%08X)", rc);
  }
}

}  // namespace

void resize_start() {
  std::lock_guard<std::mutex> guard(lock);
  if (running) return;
  stopping = false;
  try {
    worker = std::thread(run_worker);
    running = true;
  } catch (const std::system_error&) {
    diag("Warning: could not start the resize thread; resize requests will be ignored");
  }
}

void resize_stop() {
  {
    std::lock_guard<std::mutex> guard(lock);
    if (!running) return;
    stopping = true;
    wake.notify_all();
  }
  worker.join();
  std::lock_guard<std::mutex> guard(lock);
  running = false;
  pending = false;
  connection_up = false;
  disp = nullptr;
  caps_known = false;
}

void resize_request(uint32_t width, uint32_t height) {
  std::lock_guard<std::mutex> guard(lock);
  if (!running) return;
  pending = true;
  want_width = width;
  want_height = height;
  last_request = Clock::now();
  wake.notify_all();
}

void resize_connection_up() {
  std::lock_guard<std::mutex> guard(lock);
  connection_up = true;
  up_since = Clock::now();
  wake.notify_all();
}

void resize_note_desktop(uint32_t width, uint32_t height) {
  std::lock_guard<std::mutex> guard(lock);
  desktop_width = width;
  desktop_height = height;
}

void disp_attach(DispClientContext* context) {
  if (!context) return;
  context->DisplayControlCaps = on_caps;
  std::lock_guard<std::mutex> guard(lock);
  disp = context;
  attached_since = Clock::now();
  caps_known = false;
  limits = DisplayLimits{};
  wake.notify_all();
}

void disp_detach() {
  std::lock_guard<std::mutex> guard(lock);
  disp = nullptr;
  caps_known = false;
  // Servers that reactivate after a resize may close the channel and open it again: a request
  // meanwhile waits for the new one as long as for the first.
  up_since = Clock::now();
}

}  // namespace korvane
