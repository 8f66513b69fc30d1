#include "resize/resize.hpp"

#include <algorithm>
#include <mutex>
#include <vector>

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
bool report_layouts = false;  // the host was granted monitors
bool connected = false;       // EVT_CONNECTED is out: what the host is told may follow it
ResizePolicy policy;
LayoutReport report;
DispClientContext* disp = nullptr;

UINT on_caps(DispClientContext*, UINT32 max_monitors, UINT32 factor_a, UINT32 factor_b) {
  {
    std::lock_guard<std::mutex> guard(lock);
    DisplayLimits limits;
    if (max_monitors && factor_a && factor_b) limits.max_area = uint64_t{factor_a} * factor_b;
    limits.max_monitors = max_monitors;
    policy.caps(limits);
  }
  diag("display control: at most %u monitors, area factors %u x %u", max_monitors, factor_a,
       factor_b);
  deadlines_changed();
  return CHANNEL_RC_OK;
}

void send_refused(const ResizeAction& a) {
  if (a.monitors.empty())
    send_frame(EVT_RESIZE_REFUSED, encode_resize_refused({a.width, a.height, a.reason}));
  else
    send_frame(EVT_MONITORS_REFUSED, encode_monitors_refused({a.reason, 0xFF}));
}

// Called with the lock held; the frame goes out after it is released.
std::optional<std::vector<uint8_t>> layout_news() {
  if (!report_layouts || !connected) return std::nullopt;
  auto now = report.news();
  if (!now) return std::nullopt;
  return encode_layout(*now);
}

void send_news(std::optional<std::vector<uint8_t>> news) {
  if (news) send_frame(EVT_MONITORS, *news);
}

}  // namespace

void resize_start(bool monitors, const Scale& scale, const MonitorLayout& layout) {
  std::lock_guard<std::mutex> guard(lock);
  running = true;
  report_layouts = monitors;
  MonitorLayout framed = in_desktop_frame(layout);
  policy.started_with(scale, framed);
  report.asked(std::move(framed));
}

void resize_stop() {
  std::lock_guard<std::mutex> guard(lock);
  running = false;
  report_layouts = connected = false;
  policy = ResizePolicy{};
  report = LayoutReport{};
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
    diag("resize to %ux%u refused: %s", a.width, a.height, monitors_reason_text(a.reason));
    // Not under the lock: a host slow to read must not hold up its own next request.
    guard.unlock();
    send_refused(a);
    return;
  }
  if (a.kind != ResizeAction::layout || !disp) return;
  MonitorLayout asked = a.monitors;
  if (asked.empty())
    asked.push_back({0, 0, a.width, a.height, true, 0, 0, 0, a.scale.desktop, a.scale.device});
  // The channel wants the primary at 0,0 and the others around it.
  const Monitor& primary = *std::ranges::find_if(asked, &Monitor::primary);
  std::vector<DISPLAY_CONTROL_MONITOR_LAYOUT> layout;
  for (const Monitor& m : asked) {
    layout.push_back({m.primary ? DISPLAY_CONTROL_MONITOR_PRIMARY : 0u, m.left - primary.left,
                      m.top - primary.top, m.width, m.height, m.physical_width, m.physical_height,
                      m.orientation, m.desktop_scale, m.device_scale});
  }
  diag("display control: asking for %u monitor(s), %ux%u in all (host asked %ux%u)",
       static_cast<unsigned>(layout.size()), a.width, a.height, asked_w, asked_h);
  report.asked(std::move(asked));
  const UINT rc =
      disp->SendMonitorLayout
          ? disp->SendMonitorLayout(disp, static_cast<UINT32>(layout.size()), layout.data())
          : ERROR_INTERNAL_ERROR;
  if (rc != CHANNEL_RC_OK) diag("Warning: the monitor layout could not be sent (0x%08X)", rc);
}

void resize_request(uint32_t width, uint32_t height, const Scale& scale) {
  std::lock_guard<std::mutex> guard(lock);
  if (!running) return;
  policy.request(width, height, Clock::now(), scale);
  deadlines_changed();
}

void monitors_request(MonitorLayout layout) {
  std::lock_guard<std::mutex> guard(lock);
  if (!running) return;
  policy.request_layout(std::move(layout), Clock::now());
  deadlines_changed();
}

void monitors_connected(uint32_t width, uint32_t height) {
  {
    std::lock_guard<std::mutex> guard(lock);
    connected = running;
  }
  resize_note_desktop(width, height);
}

void monitors_server_said(uint32_t count, const MONITOR_DEF* defs) {
  if (!defs || count == 0 || count > kMaxMonitors) return;
  MonitorLayout layout;
  for (uint32_t i = 0; i < count; ++i) {
    const MONITOR_DEF& d = defs[i];
    // Edges are inclusive; a monitor turned inside out is no monitor, and the word is dropped.
    const int64_t w = int64_t{d.right} - d.left + 1, h = int64_t{d.bottom} - d.top + 1;
    if (w <= 0 || h <= 0 || w > kMaxDesktopSide || h > kMaxDesktopSide) return;
    layout.push_back({d.left, d.top, static_cast<uint32_t>(w), static_cast<uint32_t>(h),
                      (d.flags & MONITOR_PRIMARY) != 0});
  }
  std::optional<std::vector<uint8_t>> news;
  {
    std::lock_guard<std::mutex> guard(lock);
    report.server_said(in_desktop_frame(layout));
    news = layout_news();
  }
  send_news(std::move(news));
}

void resize_connection_up() {
  {
    std::lock_guard<std::mutex> guard(lock);
    policy.connection_up(Clock::now());
  }
  deadlines_changed();
}

void resize_note_desktop(uint32_t width, uint32_t height) {
  std::optional<std::vector<uint8_t>> news;
  {
    std::lock_guard<std::mutex> guard(lock);
    policy.desktop(width, height);
    report.desktop(width, height);
    news = layout_news();
  }
  send_news(std::move(news));
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
