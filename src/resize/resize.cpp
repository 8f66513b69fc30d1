#include "resize/resize.hpp"

#include <mutex>

#include "host_link/extensions.hpp"
#include "host_link/protocol.hpp"
#include "host_link/transport.hpp"
#include "resize/resize_policy.hpp"
#include "state/control.hpp"
#include "platform/diag.hpp"

namespace korvane {

namespace {

using Clock = std::chrono::steady_clock;

// Guarded by lock: the policy is fed by the input thread (requests), the main thread
// (connection, desktop size, and resize_tick on the event loop) and the channel-event and
// channel threads (attach, detach, caps). The main thread holds the lock while it writes the
// layout to the channel, so the channel cannot be detached under it. Frames to the host go out
// without it.
std::mutex lock;
bool running = false;
ResizePolicy policy;
DispClientContext* disp = nullptr;

UINT on_caps(DispClientContext*, UINT32 max_monitors, UINT32 factor_a, UINT32 factor_b) {
  {
    std::lock_guard<std::mutex> guard(lock);
    DisplayLimits limits;
    if (max_monitors && factor_a && factor_b) limits.max_area = uint64_t{factor_a} * factor_b;
    policy.caps(limits);
  }
  diag("display control: at most %u monitors, area factors %u x %u", max_monitors, factor_a,
       factor_b);
  deadlines_changed();
  return CHANNEL_RC_OK;
}

void send_refused(uint32_t width, uint32_t height, uint8_t reason) {
  send_frame(EVT_RESIZE_REFUSED, encode_resize_refused({width, height, reason}));
}

}  // namespace

void resize_start() {
  std::lock_guard<std::mutex> guard(lock);
  running = true;
}

void resize_stop() {
  std::lock_guard<std::mutex> guard(lock);
  running = false;
  policy = ResizePolicy{};
  disp = nullptr;
}

std::optional<Clock::time_point> resize_deadline() {
  std::lock_guard<std::mutex> guard(lock);
  return policy.deadline();
}

void resize_tick() {
  std::unique_lock<std::mutex> guard(lock);
  const ResizeAction a = policy.act(Clock::now());
  const uint32_t asked_w = policy.wanted_width(), asked_h = policy.wanted_height();
  if (a.kind == ResizeAction::refuse) {
    diag("resize to %ux%u refused: the server offers no display control channel", a.width,
         a.height);
    // Not under the lock: a host slow to read must not hold up its own next request.
    guard.unlock();
    send_refused(a.width, a.height, RESIZE_REFUSED_NO_CHANNEL);
    return;
  }
  if (a.kind != ResizeAction::layout || !disp) return;
  DISPLAY_CONTROL_MONITOR_LAYOUT layout{};
  layout.Flags = DISPLAY_CONTROL_MONITOR_PRIMARY;
  layout.Width = a.width;
  layout.Height = a.height;
  layout.Orientation = ORIENTATION_LANDSCAPE;
  layout.DesktopScaleFactor = 100;
  layout.DeviceScaleFactor = 100;
  diag("display control: asking for %ux%u (host asked %ux%u)", a.width, a.height, asked_w, asked_h);
  const UINT rc =
      disp->SendMonitorLayout ? disp->SendMonitorLayout(disp, 1, &layout) : ERROR_INTERNAL_ERROR;
  if (rc != CHANNEL_RC_OK) diag("Warning: the monitor layout could not be sent (0x%08X)", rc);
}

void resize_request(uint32_t width, uint32_t height) {
  std::lock_guard<std::mutex> guard(lock);
  if (!running) return;
  policy.request(width, height, Clock::now());
  deadlines_changed();
}

void resize_connection_up() {
  {
    std::lock_guard<std::mutex> guard(lock);
    policy.connection_up(Clock::now());
  }
  deadlines_changed();
}

void resize_note_desktop(uint32_t width, uint32_t height) {
  std::lock_guard<std::mutex> guard(lock);
  policy.desktop(width, height);
}

void disp_attach(DispClientContext* context) {
  if (!context) return;
  context->DisplayControlCaps = on_caps;
  {
    std::lock_guard<std::mutex> guard(lock);
    disp = context;
    policy.channel_attached(Clock::now());
  }
  deadlines_changed();
}

void disp_detach() {
  std::lock_guard<std::mutex> guard(lock);
  disp = nullptr;
  policy.channel_detached(Clock::now());
}

}  // namespace korvane
