#include "session/settings_plan.hpp"

#include "certificate/cert_policy.hpp"
#include "host_link/session_extensions.hpp"
#include "session/connect_args.hpp"

namespace korvane {

SettingsPlan plan_settings(const ConnectParams& params, const Grant& grant, const Extensions& ext,
                           std::string_view sound_argument, std::string_view microphone_argument) {
  SettingsPlan plan;
  plan.args = build_connect_args(params);
  // Only a host that asked hears anything; to every other nothing changes.
  if (grant.mask & EXT_AUDIO) plan.args.emplace_back(sound_argument);
  if (grant.mask & EXT_MICROPHONE) plan.args.emplace_back(microphone_argument);
  if (params.password[0]) plan.password = params.password;
  plan.sound = (grant.mask & EXT_AUDIO) != 0;
  plan.microphone = (grant.mask & EXT_MICROPHONE) != 0;
  if (grant.mask & EXT_PROFILE) {
    // The console is a profile's choice: without FIELD_CONSOLE (or the .rdp text's key) the
    // server gives a normal session, the right one on a session host.
    std::erase(plan.args, std::string("/admin"));
    plan.profile = ext.profile;
    plan.local_devices_off = true;
    plan.redirect_drives = params.drive_path[0] != 0;
  }
  if (grant.mask & EXT_GATEWAY) plan.gateway = ext.gateway;
  if (grant.mask & EXT_H264) {
    // A host that decodes none gets rectangles: korvane decodes whatever comes, and a server
    // that is not offered H.264 picks a codec cheaper to decode (one that sends H.264 anyway
    // is still decoded).
    plan.gfx_h264 = grant.h264_codecs != 0;
    // A server picks AVC444 (either version) only when the client offers it; a host that
    // decodes AVC420 alone is better served by a server that never sends the other.
    plan.gfx_avc444 = (grant.h264_codecs & (H264_AVC444 | H264_AVC444V2)) != 0;
    plan.gfx_avc444v2 = plan.gfx_avc444;
  }
  if (grant.mask & (EXT_RESIZE | EXT_MONITORS)) plan.display_control = true;
  if (grant.mask & EXT_MONITORS) plan.monitors = ext.monitors;
  if (grant.mask & EXT_RESIZE) plan.scale = ext.scale;
  if (grant.mask & EXT_CURSOR) {
    plan.large_pointer_flag = kLargePointers;
    // The library passes the server's pointer moves on only to a client that grabs the mouse.
    plan.grab_mouse = true;
  }
  if (params.drive_path[0]) plan.redirect_drives = true;
  // Licences the server issues and, should the library ever verify on its own, known hosts go
  // into a folder of this process's, never into the user's.
  plan.private_config_dir = (grant.mask & EXT_CERTIFICATE) != 0;
  // A pinned list must not be bypassed by a public authority or the library's store.
  plan.verify_certificates = effective_cert_mode(ext, grant) != CERT_MODE_ACCEPT_ANY;
  if (grant.mask & EXT_TEXT) {
    // The command line parser turns Unicode input off; the library then never sends it. Whether
    // the server takes it is read from its input capability once connected (dispatcher.cpp).
    plan.unicode_input = true;
    // The host's layout (checked against the library's tables before connecting) beats the
    // machine's: the host knows which keyboard its user has, the locale only guesses.
    plan.keyboard_layout = ext.keyboard_layout;
  }
  return plan;
}

}  // namespace korvane
