#include "input/input_thread.hpp"

#include <freerdp/input.h>
#include <winpr/synch.h>

#include "clipboard/clipboard.hpp"
#include "display/cursor.hpp"
#include "display/resize.hpp"
#include "host_link/extensions.hpp"
#include "host_link/protocol.hpp"
#include "host_link/session_extensions.hpp"
#include "host_link/transport.hpp"
#include "input/input_map.hpp"
#include "session/certificate.hpp"
#include "session/session.hpp"

#include <mutex>
#include <vector>


namespace korvane {

namespace {

struct PendingInput {
  bool keyboard;
  uint16_t flags;
  uint16_t x;  // the scan code for keyboard events
  uint16_t y;
};

// Input that arrived before the connection was up. Guarded by pending_lock, taken by the input
// thread for every event and by the main thread once, when the connection is up; nothing else
// is locked while it is held. Bounded: a host that sends without pause while the connection
// takes long loses its oldest events, never memory.
std::mutex pending_lock;
std::vector<PendingInput> pending;
bool connection_up = false;
constexpr size_t kMaxPendingInput = 4096;

void send_input(rdpInput* input, const PendingInput& e) {
  if (e.keyboard)
    freerdp_input_send_keyboard_event(input, e.flags, static_cast<uint8_t>(e.x));
  else
    freerdp_input_send_mouse_event(input, e.flags, e.x, e.y);
}

void forward_input(const PendingInput& e) {
  rdpInput* input = session.input.load();
  if (!input) return;
  {
    std::lock_guard<std::mutex> lock(pending_lock);
    if (!connection_up) {
      if (pending.size() == kMaxPendingInput) pending.erase(pending.begin());
      pending.push_back(e);
      return;
    }
  }
  send_input(input, e);
}

}  // namespace

void input_connection_up() {
  rdpInput* input = session.input.load();
  std::lock_guard<std::mutex> lock(pending_lock);
  if (input)
    for (const auto& e : pending) send_input(input, e);
  pending = {};
  connection_up = true;
}

bool handle_host_command(uint8_t type, std::span<const uint8_t> payload) {
  if (type == CMD_CERT_VERDICT) {
    const auto cert_min = min_session_command_payload(type, session.grant.mask);
    if (cert_min && payload.size() >= *cert_min) certificate_verdict(payload);
    return true;
  }
  if (const auto ext_min = min_extension_command_payload(type, session.grant.mask)) {
    if (payload.size() < *ext_min) return true;
    if (type == CMD_RESIZE) resize_request(get_u32(payload.data()), get_u32(payload.data() + 4));
    if (type == CMD_CURSOR_STATE) cursor_resend();
    return true;
  }
  const auto min = min_command_payload(type);
  if (!min || payload.size() < *min) return true;  // dropped without a reply
  const uint8_t* p = payload.data();
  switch (type) {
    case CMD_MOUSE_MOVE:
      forward_input({false, kPtrFlagsMove, coordinate(get_u32(p)), coordinate(get_u32(p + 4))});
      break;
    case CMD_MOUSE_BUTTON:
      forward_input({false, mouse_button_flags(p[8], p[9] != 0), coordinate(get_u32(p)),
                     coordinate(get_u32(p + 4))});
      break;
    case CMD_MOUSE_WHEEL:
      forward_input({false, mouse_wheel_flags(static_cast<int32_t>(get_u32(p + 8)), p[12] != 0),
                     coordinate(get_u32(p)), coordinate(get_u32(p + 4))});
      break;
    case CMD_KEY:
      forward_input({true, key_flags(p[1] != 0, p[2] != 0), p[0], 0});
      break;
    case CMD_DISCONNECT:
      session.stop_flag.store(1);
      if (session.stop_event) SetEvent(session.stop_event);
      return false;
    case CMD_CLIP_FORMATS: clip_host_formats(payload); break;
    case CMD_CLIP_DATA: clip_host_data(payload); break;
    case CMD_CLIP_REQUEST: clip_host_request(payload); break;
    default: break;
  }
  return true;
}

int input_thread_main() {
  while (!session.stop_flag.load()) {
    std::optional<Frame> frame = read_frame();
    if (!frame) break;
    if (!handle_host_command(frame->type, frame->payload)) break;
  }
  certificate_host_gone();
  return 0;
}

}  // namespace korvane
