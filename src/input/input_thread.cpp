#include "input/input_thread.hpp"

#include <freerdp/input.h>
#include <winpr/synch.h>

#include "clipboard/clipboard.hpp"
#include "host_link/protocol.hpp"
#include "host_link/transport.hpp"
#include "input/input_map.hpp"
#include "session/session.hpp"

namespace korvane {

bool handle_host_command(uint8_t type, std::span<const uint8_t> payload) {
  const auto min = min_command_payload(type);
  if (!min || payload.size() < *min) return true;  // dropped without a reply
  const uint8_t* p = payload.data();
  rdpInput* input = session.input.load();
  switch (type) {
    case CMD_MOUSE_MOVE:
      if (input)
        freerdp_input_send_mouse_event(input, kPtrFlagsMove, coordinate(get_u32(p)),
                                       coordinate(get_u32(p + 4)));
      break;
    case CMD_MOUSE_BUTTON:
      if (input)
        freerdp_input_send_mouse_event(input, mouse_button_flags(p[8], p[9] != 0),
                                       coordinate(get_u32(p)), coordinate(get_u32(p + 4)));
      break;
    case CMD_MOUSE_WHEEL:
      if (input)
        freerdp_input_send_mouse_event(
            input, mouse_wheel_flags(static_cast<int32_t>(get_u32(p + 8)), p[12] != 0),
            coordinate(get_u32(p)), coordinate(get_u32(p + 4)));
      break;
    case CMD_KEY:
      if (input) freerdp_input_send_keyboard_event(input, key_flags(p[1] != 0, p[2] != 0), p[0]);
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
  return 0;
}

}  // namespace korvane
