// The display control channel ("Microsoft::Windows::RDS::DisplayControl"), driven through
// FreeRDP's server-side context. `--disp none` (the default) never opens it, so a client sees no
// such channel; `--disp resize` and `--disp reactivate` open it once the dynamic channels are up
// and advertise one monitor of at most `--disp-max WxH` (default 8192x8192).
//
// Each monitor layout the client sends is logged as it arrives, then applied in order on a thread
// of this file: the session's desktop is resized to the primary monitor's size by a
// deactivation-reactivation (as the `resize` step does, so RESIZED follows and the picture is
// black), then the whole new desktop gets picture_pattern with seed (W << 16) | H through the
// classic path, so that the client's frame buffer is known. `reactivate` also closes the graphics
// pipeline before the deactivation and opens it again after the reactivation when gfx-open had
// opened it; the pattern is then left out (the picture stays black) since the script draws
// through the pipeline.
//
// Log lines:
//   DISP open max_monitors=1 max_width=W max_height=H   the client accepted the channel; the
//                                                       capabilities are sent
//   DISP refused status=S                               the client declined the channel
//   DISP layout count=N width=W height=H                each layout: N monitors, the primary's
//                                                       size (0 0 when N is 0)
//   DISP monitor i=I left=L top=T width=W height=H primary=P physical=PWxPH orientation=O
//                scale=DS/DV                            then each of its monitors as sent
//   DISP ignored width=W height=H reason=R              a layout not applied: no-monitors,
//                                                       over-max, unchanged (the desktop already
//                                                       has that size), no-desktop-resize
//   DISP painted width=W height=H seed=0xSSSSSSSS       the pattern after a layout's resize
// FreeRDP's parser rejects a malformed layout before it gets here (the reason goes to stderr) and
// stops reading the channel, so later layouts are not logged either.
//
// Step:
//   wait-layouts N [TIMEOUT_MS]   until N layouts arrived in all and every one that arrived is
//                                 applied (default 10000 ms). Layouts are applied beside the
//                                 script: steps that draw or resize meanwhile race them.
#include "gfx.hpp"
#include "peer.hpp"

#include <freerdp/channels/disp.h>
#include <freerdp/channels/wtsvc.h>
#include <freerdp/server/disp.h>

#include <cstdio>
#include <deque>
#include <thread>

namespace kts {
namespace {

constexpr std::chrono::milliseconds activation_timeout{10000};

struct Layout {
  std::uint32_t count = 0;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
};

// Guarded by Session::state_mutex (so that waits also end when the peer leaves).
struct DispState {
  DispServerContext* context = nullptr;  // owned; freed in on_close
  UINT32 channel_id = 0;
  bool channel_id_known = false;
  std::thread worker;
  bool stopping = false;
  std::deque<Layout> pending;
  std::uint64_t received = 0;
  std::uint64_t applied = 0;

  DispState() = default;
  DispState(const DispState&) = delete;
  DispState& operator=(const DispState&) = delete;
  ~DispState() {
    if (worker.joinable()) worker.join();
    if (context) disp_server_context_free(context);
  }
};

std::shared_ptr<DispState> disp_state(Session& s) { return session_slot<DispState>(s, "disp"); }

Session& session_of_disp(DispServerContext* context) {
  return *static_cast<Session*>(context->custom);
}

std::string size_text(std::uint32_t w, std::uint32_t h) {
  return "width=" + std::to_string(w) + " height=" + std::to_string(h);
}

void log_ignored(const Layout& l, const char* reason) {
  log_line("DISP ignored " + size_text(l.width, l.height) + " reason=" + reason);
}

// ---------------------------------------------------------------- the client's messages

// On the peer thread, while it handles the client's answer to the channel's creation.
BOOL on_creation_status(void* userdata, UINT32 channel_id, INT32 status) {
  Session& s = *static_cast<Session*>(userdata);
  auto st = disp_state(s);
  DispServerContext* context = nullptr;
  {
    std::scoped_lock lock(s.state_mutex);
    if (!st->channel_id_known || st->channel_id != channel_id)
      return TRUE;  // another channel's answer
    context = st->context;
  }
  if (status < 0) {
    log_line("DISP refused status=" + std::to_string(status));
    return TRUE;
  }
  // The capabilities go out only now: a client that declined the channel would have nowhere
  // to put them.
  if (!context || context->DisplayControlCaps(context) != CHANNEL_RC_OK) {
    log_error("DISP: sending the capabilities failed");
    return TRUE;
  }
  log_line("DISP open max_monitors=" + std::to_string(context->MaxNumMonitors) +
           " max_width=" + std::to_string(context->MaxMonitorAreaFactorA) +
           " max_height=" + std::to_string(context->MaxMonitorAreaFactorB));
  return TRUE;
}

BOOL on_channel_id(DispServerContext* context, UINT32 channel_id) {
  Session& s = session_of_disp(context);
  auto st = disp_state(s);
  std::scoped_lock lock(s.state_mutex);
  st->channel_id = channel_id;
  st->channel_id_known = true;
  return TRUE;
}

// On the context's own thread, which FreeRDP joins when the context closes: it must not wait
// for the peer, so the layout only goes to the worker.
UINT on_layout(DispServerContext* context, const DISPLAY_CONTROL_MONITOR_LAYOUT_PDU* pdu) {
  Session& s = session_of_disp(context);
  auto st = disp_state(s);
  Layout l;
  l.count = pdu->NumMonitors;
  const DISPLAY_CONTROL_MONITOR_LAYOUT* primary = nullptr;
  for (UINT32 i = 0; i < pdu->NumMonitors && pdu->Monitors; ++i) {
    if (pdu->Monitors[i].Flags & DISPLAY_CONTROL_MONITOR_PRIMARY) {
      primary = &pdu->Monitors[i];
      break;
    }
  }
  if (!primary && pdu->NumMonitors > 0 && pdu->Monitors) primary = &pdu->Monitors[0];
  if (primary) {
    l.width = primary->Width;
    l.height = primary->Height;
  }
  std::scoped_lock lock(s.state_mutex);
  // Logged under the lock so that the lines keep the order of `received`.
  log_line("DISP layout count=" + std::to_string(l.count) + " " + size_text(l.width, l.height));
  for (UINT32 i = 0; i < pdu->NumMonitors && pdu->Monitors; ++i) {
    const DISPLAY_CONTROL_MONITOR_LAYOUT& m = pdu->Monitors[i];
    char line[256];
    std::snprintf(line, sizeof line,
                  "DISP monitor i=%u left=%d top=%d width=%u height=%u primary=%d physical=%ux%u "
                  "orientation=%u scale=%u/%u",
                  i, m.Left, m.Top, m.Width, m.Height,
                  (m.Flags & DISPLAY_CONTROL_MONITOR_PRIMARY) ? 1 : 0, m.PhysicalWidth,
                  m.PhysicalHeight, m.Orientation, m.DesktopScaleFactor, m.DeviceScaleFactor);
    log_line(line);
  }
  st->pending.push_back(l);
  ++st->received;
  s.state_cv.notify_all();
  return CHANNEL_RC_OK;
}

// ---------------------------------------------------------------- applying a layout

// Deactivation-reactivation with the new size; true once the client is active again.
bool resize_desktop(Session& s, std::uint32_t w, std::uint32_t h) {
  std::uint64_t before = 0;
  {
    auto io = lock_io(s);
    rdpContext* context = s.peer->context;
    rdpSettings* settings = context->settings;
    {
      std::scoped_lock lock(s.state_mutex);
      if (s.gone) return false;
      before = s.activations;
      s.active = false;
    }
    if (!freerdp_settings_set_uint32(settings, FreeRDP_DesktopWidth, w) ||
        !freerdp_settings_set_uint32(settings, FreeRDP_DesktopHeight, h) ||
        !context->update->DesktopResize(context)) {
      log_error("DISP: deactivate-reactivate to " + std::to_string(w) + "x" + std::to_string(h) +
                " failed");
      return false;
    }
  }
  std::unique_lock lock(s.state_mutex);
  s.state_cv.wait_for(lock, activation_timeout,
                      [&] { return s.activations > before || s.gone || s.stop.load(); });
  if (s.activations > before) return true;
  if (!s.gone && !s.stop.load()) log_error("DISP: client was not reactivated within 10 s");
  return false;
}

void paint_pattern(Session& s) {
  Rect r;
  std::uint32_t seed = 0;
  {
    std::scoped_lock lock(s.picture_mutex);
    r = {0, 0, s.picture.width, s.picture.height};
    seed = r.w << 16 | r.h;
    picture_pattern(s.picture, r, seed);
    fit_picture_to_depth(s.picture, s.color_depth.load(), r);
  }
  std::string error;
  {
    auto io = lock_io(s);
    if (!begin_paint(s)) {
      error = "BeginPaint failed";
    } else {
      error = send_picture_area(s, &io, r);
      if (!end_paint(s) && error.empty()) error = "EndPaint failed";
    }
  }
  if (!error.empty()) {
    if (!session_stopping(s)) log_error("DISP: painting after the resize: " + error);
    return;
  }
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%08X", seed);
  log_line("DISP painted " + size_text(r.w, r.h) + " seed=" + hex);
}

void apply(Session& s, const Layout& l) {
  const Options& o = *s.options;
  if (l.count == 0) return log_ignored(l, "no-monitors");
  if (l.width > o.disp_max_width || l.height > o.disp_max_height) return log_ignored(l, "over-max");
  if (!wait_active(s, activation_timeout)) {
    if (!session_stopping(s)) log_error("DISP: peer not active for a layout");
    return;
  }
  {
    std::scoped_lock lock(s.picture_mutex);
    if (s.picture.width == l.width && s.picture.height == l.height)
      return log_ignored(l, "unchanged");
  }
  {
    auto io = lock_io(s);
    if (!freerdp_settings_get_bool(s.peer->context->settings, FreeRDP_DesktopResize))
      return log_ignored(l, "no-desktop-resize");
  }
  const bool cycle_gfx = o.disp == DispMode::reactivate && gfx_pipeline_open(s);
  if (cycle_gfx) {
    if (const std::string e = gfx_pipeline_close(s); !e.empty())
      return log_error("DISP: closing the graphics pipeline: " + e);
  }
  if (!resize_desktop(s, l.width, l.height)) return;
  if (cycle_gfx) {
    if (const std::string e = gfx_pipeline_reopen(s); !e.empty() && !session_stopping(s))
      log_error("DISP: reopening the graphics pipeline: " + e);
    return;
  }
  paint_pattern(s);
}

void run_worker(Session& s, std::shared_ptr<DispState> st) {
  while (true) {
    Layout l;
    {
      std::unique_lock lock(s.state_mutex);
      // Bounded so that a missed wake-up costs no more than a moment.
      s.state_cv.wait_for(lock, std::chrono::milliseconds(100), [&] {
        return !st->pending.empty() || st->stopping || s.gone || s.stop.load();
      });
      if (st->stopping || s.gone || s.stop.load()) return;
      if (st->pending.empty()) continue;
      l = st->pending.front();
    }
    apply(s, l);
    std::scoped_lock lock(s.state_mutex);
    st->pending.pop_front();
    ++st->applied;
    s.state_cv.notify_all();
  }
}

// ---------------------------------------------------------------- channel life

std::string on_dynamic_ready(Session& s) {
  const Options& o = *s.options;
  if (o.disp == DispMode::none) return {};
  auto st = disp_state(s);
  DispServerContext* context = disp_server_context_new(s.vcm);
  if (!context) return "disp_server_context_new failed";
  context->custom = &s;
  context->rdpcontext = s.peer->context;
  context->MaxNumMonitors = 1;
  // The largest area is MaxNumMonitors * A * B; with one monitor, A x B bounds it.
  context->MaxMonitorAreaFactorA = o.disp_max_width;
  context->MaxMonitorAreaFactorB = o.disp_max_height;
  context->DispMonitorLayout = on_layout;
  context->ChannelIdAssigned = on_channel_id;
  {
    std::scoped_lock lock(s.state_mutex);
    st->context = context;
  }
  // The manager has one such callback; no other channel file uses it.
  WTSVirtualChannelManagerSetDVCCreationCallback(s.vcm, on_creation_status, &s);
  if (context->Open(context) != CHANNEL_RC_OK) return "the display control channel did not open";
  st->worker = std::thread(run_worker, std::ref(s), st);
  return {};
}

void on_stop(Session& s) {
  auto st = disp_state(s);
  {
    std::scoped_lock lock(s.state_mutex);
    st->stopping = true;
    s.state_cv.notify_all();
  }
  if (st->worker.joinable()) st->worker.join();
}

void on_close(Session& s) {
  auto st = disp_state(s);
  DispServerContext* context = nullptr;
  {
    std::scoped_lock lock(s.state_mutex);
    context = st->context;
    st->context = nullptr;
  }
  if (!context) return;
  WTSVirtualChannelManagerSetDVCCreationCallback(s.vcm, nullptr, nullptr);
  // Joins the context's thread, whose callback takes state_mutex, so that is not held here.
  disp_server_context_free(context);
}

std::string run_wait_layouts(Session& s, const CountTimeout& args) {
  if (s.options->disp == DispMode::none) return "the display control channel is off (--disp)";
  const std::uint32_t n = args.count, timeout_ms = args.timeout_ms;
  auto st = disp_state(s);
  std::unique_lock lock(s.state_mutex);
  auto done = [&] { return st->received >= n && st->applied == st->received; };
  s.state_cv.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                      [&] { return done() || s.gone || s.stop.load(); });
  if (done()) return {};
  if (s.gone || s.stop.load()) return "session ended while waiting for layouts";
  return "wait-layouts timed out after " + std::to_string(timeout_ms) + " ms with " +
         std::to_string(st->received) + " of " + std::to_string(n) + " layouts, " +
         std::to_string(st->applied) + " applied";
}

[[maybe_unused]] const bool disp_registered = [] {
  register_step(parsed_step("wait-layouts", 1, 2, parse_count_timeout, run_wait_layouts));
  ChannelHook hook{"disp", {}, on_dynamic_ready, {}, on_close};
  hook.on_stop = on_stop;
  register_hook(std::move(hook));
  return true;
}();

}  // namespace
}  // namespace kts
