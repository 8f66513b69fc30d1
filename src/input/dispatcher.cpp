#include "input/dispatcher.hpp"

#include <freerdp/input.h>

#include "audio/microphone.hpp"
#include "certificate/certificate.hpp"
#include "gateway/gateway.hpp"
#include "clipboard/clipboard.hpp"
#include "cursor/cursor.hpp"
#include "display/paint.hpp"
#include "resize/resize.hpp"
#include "host_link/extensions.hpp"
#include "host_link/protocol.hpp"
#include "host_link/registry.hpp"
#include "host_link/session_extensions.hpp"
#include "host_link/transport.hpp"
#include "input/input_map.hpp"
#include "input/pending_input.hpp"
#include "state/control.hpp"
#include "state/record.hpp"

#include <atomic>
#include <mutex>
#include <vector>

namespace korvane {

namespace {

// Input that arrived before the connection was up: mouse, key, Unicode and lock-sync events.
// Guarded by pending_lock, taken by the input thread for every event (and held while the event
// goes to the library, so that a reconnection cannot take the connection away under it) and by
// the main thread when the connection comes up or goes down for a reconnection. Only a refresh
// takes other locks under it (the paint lock, then the changed-tiles lock; neither is ever held
// while this one is taken); refusals are sent after it is released.
std::mutex pending_lock;
PendingInputQueue pending;
// Set when the connection comes up (same lock, same writer): whether the server's input
// capability offers Unicode events.
bool server_unicode = false;
// CMD_REFRESH arrived while the connection was not up (same lock): asked when it comes up.
bool refresh_pending = false;

// The library's input, published by the main thread before the input thread starts and taken
// back after it ended; read by the input thread and by the main thread.
std::atomic<rdpInput*> library_input{nullptr};

// The input capability set's type and its Unicode flag, from the RDP core protocol: the library
// does not export them.
constexpr size_t kCapsetTypeInput = 0x000D;
constexpr uint16_t kInputFlagUnicode = 0x0010;

// Whether the server's input capability offers Unicode keyboard events. Read from the capability
// set as received: the library leaves its own Unicode setting on whatever the server said, and
// would send events the server never offered to take. Main thread only, while nothing re-reads
// the capabilities.
bool server_offers_unicode(rdpContext* context) {
  if (!context || !freerdp_settings_get_bool(context->settings, FreeRDP_UnicodeInput)) return false;
  const rdpSettings* s = context->settings;
  const auto* received =
      static_cast<const BYTE*>(freerdp_settings_get_pointer(s, FreeRDP_ReceivedCapabilities));
  const auto* data =
      static_cast<BYTE* const*>(freerdp_settings_get_pointer(s, FreeRDP_ReceivedCapabilityData));
  const auto* sizes = static_cast<const UINT32*>(
      freerdp_settings_get_pointer(s, FreeRDP_ReceivedCapabilityDataSizes));
  const UINT32 count = freerdp_settings_get_uint32(s, FreeRDP_ReceivedCapabilitiesSize);
  if (!received || !data || !sizes || count <= kCapsetTypeInput || !received[kCapsetTypeInput] ||
      !data[kCapsetTypeInput] || sizes[kCapsetTypeInput] < 2)
    return false;
  const BYTE* flags = data[kCapsetTypeInput];
  return (static_cast<uint16_t>(flags[0] | flags[1] << 8) & kInputFlagUnicode) != 0;
}

void send_refused_no_unicode(uint32_t code_point) {
  const auto refused = encode_refused(CMD_UNICODE, REFUSED_NO_UNICODE, code_point);
  send_frame(EVT_REFUSED, refused);
}

// Returns false for a Unicode event the server does not take (nothing is sent).
bool send_input(rdpInput* input, const PendingInput& e, bool unicode_ok) {
  switch (e.kind) {
    case InputKind::key:
      freerdp_input_send_keyboard_event(input, e.flags, static_cast<uint8_t>(e.x));
      break;
    case InputKind::mouse: freerdp_input_send_mouse_event(input, e.flags, e.x, e.y); break;
    case InputKind::unicode:
      if (!unicode_ok) return false;
      for (const uint16_t unit : utf16_units(e.value))
        freerdp_input_send_unicode_keyboard_event(input, e.flags, unit);
      break;
    case InputKind::sync: freerdp_input_send_synchronize_event(input, e.value); break;
  }
  return true;
}

void forward_input(const PendingInput& e) {
  rdpInput* input = library_input.load();
  if (!input) return;
  bool unicode_ok = false;
  {
    std::lock_guard<std::mutex> lock(pending_lock);
    if (!pending.offer(e)) return;
    unicode_ok = server_unicode;
    if (send_input(input, e, unicode_ok)) return;
  }
  send_refused_no_unicode(e.value);
}

void forward_unicode(uint32_t code_point, bool pressed) {
  // Checked at once, whether or not the connection is up: the answer does not depend on it.
  if (utf16_units(code_point).empty()) {
    const auto refused = encode_refused(CMD_UNICODE, REFUSED_NOT_A_CHARACTER, code_point);
    send_frame(EVT_REFUSED, refused);
    return;
  }
  forward_input({InputKind::unicode, static_cast<uint16_t>(pressed ? 0 : KBD_FLAGS_RELEASE), 0, 0,
                 code_point});
}

// The host lost its canvas, or a second viewer joined. Asked before the connection is up (the
// host may have seen EVT_CONNECTED already), it is asked once the connection is.
void refresh_picture() {
  rdpInput* input = library_input.load();
  if (!input) return;
  std::lock_guard<std::mutex> lock(pending_lock);
  if (pending.connected())
    display_refresh(input->context);
  else
    refresh_pending = true;
}

}  // namespace

void dispatcher_attach_input(rdpInput* input) { library_input.store(input); }

void input_connection_up(rdpContext* context) {
  rdpInput* input = library_input.load();
  std::vector<uint32_t> refused;
  {
    std::lock_guard<std::mutex> lock(pending_lock);
    server_unicode = server_offers_unicode(context);
    if (refresh_pending) display_refresh(context);
    refresh_pending = false;
    for (const auto& e : pending.connection_up())
      if (input && !send_input(input, e, server_unicode)) refused.push_back(e.value);
  }
  for (const uint32_t code_point : refused) send_refused_no_unicode(code_point);
}

void input_connection_down() {
  std::lock_guard<std::mutex> lock(pending_lock);
  pending.connection_down();
}

bool handle_host_command(uint8_t type, std::span<const uint8_t> payload) {
  if (!accepted_command(type, session.grant.mask, payload.size())) return true;
  switch (type) {
    case CMD_MOUSE_MOVE: {
      const auto m = parse_mouse_move(payload);
      forward_input({InputKind::mouse, kPtrFlagsMove, coordinate(m->x), coordinate(m->y)});
      break;
    }
    case CMD_MOUSE_BUTTON: {
      const auto b = parse_mouse_button(payload);
      forward_input({InputKind::mouse, mouse_button_flags(b->button, b->pressed), coordinate(b->x),
                     coordinate(b->y)});
      break;
    }
    case CMD_MOUSE_WHEEL: {
      const auto w = parse_mouse_wheel(payload);
      forward_input({InputKind::mouse, mouse_wheel_flags(w->delta, w->horizontal), coordinate(w->x),
                     coordinate(w->y)});
      break;
    }
    case CMD_KEY: {
      const auto k = parse_key(payload);
      forward_input({InputKind::key, key_flags(k->pressed, k->extended), k->scancode, 0});
      break;
    }
    case CMD_DISCONNECT: request_stop(); return false;
    case CMD_CLIP_FORMATS: clip_host_formats(payload); break;
    case CMD_CLIP_DATA: clip_host_data(payload); break;
    case CMD_CLIP_REQUEST: clip_host_request(payload); break;
    case CMD_CLIP_FILE_REQUEST: clip_host_file_request(payload); break;
    case CMD_CLIP_FILE_DATA: clip_host_file_data(payload); break;
    case CMD_CLIP_LOCK: clip_host_lock(payload); break;
    case CMD_RESIZE: {
      const auto r = parse_resize_request(payload);
      resize_request(r->size.width, r->size.height, clamp_scale(r->scale.value_or(Scale{})));
      break;
    }
    case CMD_AUDIO_IN: microphone_block(payload); break;
    case CMD_MONITORS: {
      auto layout = parse_layout(payload);
      // A layout the server could never take is refused before anything is sent to it.
      const LayoutProblem problem =
          layout ? monitors_problem(*layout) : LayoutProblem{MONITORS_REFUSED_MALFORMED};
      if (problem.reason) {
        send_frame(EVT_MONITORS_REFUSED, encode_monitors_refused(problem));
        break;
      }
      for (Monitor& m : *layout) m = clamp_monitor(m);
      monitors_request(std::move(*layout));
      break;
    }
    case CMD_CURSOR_STATE: cursor_resend(); break;
    case CMD_CERT_VERDICT: certificate_verdict(payload); break;
    case CMD_GATEWAY_VERDICT: gateway_verdict(payload); break;
    case CMD_UNICODE: {
      const auto u = parse_unicode(payload);
      forward_unicode(u->code_point, u->pressed);
      break;
    }
    case CMD_SYNC_LOCKS: {
      constexpr uint32_t kLocks = LOCK_SCROLL | LOCK_NUM | LOCK_CAPS | LOCK_KANA;
      forward_input({InputKind::sync, 0, 0, 0, *parse_sync_locks(payload) & kLocks});
      break;
    }
    case CMD_REFRESH: refresh_picture(); break;
    default: break;  // CMD_CONNECT again: only the first frame opens a session
  }
  return true;
}

int dispatcher_main() {
  while (!stop_requested()) {
    std::optional<Frame> frame = read_frame();
    if (!frame) break;
    if (!handle_host_command(frame->type, frame->payload)) break;
  }
  certificate_host_gone();
  gateway_host_gone();
  return 0;
}

}  // namespace korvane
