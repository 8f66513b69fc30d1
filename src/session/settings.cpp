#include "session/settings.hpp"

#include <optional>
#include <vector>

#include <freerdp/client/cmdline.h>
#include <freerdp/settings.h>

#include "platform/diag.hpp"
#include "platform/keyboard.hpp"

namespace korvane {

namespace {

static_assert(kOsMajorWindows == OSMAJORTYPE_WINDOWS);
static_assert(kOsMinorWindowsNt == OSMINORTYPE_WINDOWS_NT);

bool refused(SSIZE_T key) {
  const char* name = freerdp_settings_get_name_for_key(key);
  diag("The library refused the setting %s", name ? name : "(unknown)");
  return false;
}

bool set(rdpSettings* s, FreeRDP_Settings_Keys_Bool key, bool value) {
  return freerdp_settings_set_bool(s, key, value ? TRUE : FALSE) || refused(key);
}
bool set(rdpSettings* s, FreeRDP_Settings_Keys_UInt32 key, uint32_t value) {
  return freerdp_settings_set_uint32(s, key, value) || refused(key);
}
bool set(rdpSettings* s, FreeRDP_Settings_Keys_String key, const std::string& value) {
  return freerdp_settings_set_string(s, key, value.c_str()) || refused(key);
}
// A setting the plan leaves alone is not written.
template <typename Key, typename T>
bool set(rdpSettings* s, Key key, const std::optional<T>& value) {
  return !value || set(s, key, *value);
}

}  // namespace

bool apply_command_line(rdpSettings* settings, const SettingsPlan& plan) {
  std::vector<char*> argv;
  for (const auto& a : plan.args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  return freerdp_client_settings_parse_command_line(settings, static_cast<int>(plan.args.size()),
                                                    argv.data(), FALSE) == 0;
}

bool apply_settings_before_connect(rdpSettings* settings, const SettingsPlan& plan) {
  const bool ok = set(settings, FreeRDP_Password, plan.password) &&
                  set(settings, FreeRDP_TcpAckTimeout, plan.tcp_ack_timeout_ms) &&
                  set(settings, FreeRDP_SoftwareGdi, plan.software_gdi) &&
                  set(settings, FreeRDP_GfxH264, plan.gfx_h264) &&
                  set(settings, FreeRDP_GfxAVC444, plan.gfx_avc444) &&
                  set(settings, FreeRDP_GfxAVC444v2, plan.gfx_avc444v2) &&
                  set(settings, FreeRDP_SupportDisplayControl, plan.display_control) &&
                  set(settings, FreeRDP_LargePointerFlag, plan.large_pointer_flag) &&
                  set(settings, FreeRDP_GrabMouse, plan.grab_mouse);
  if (!ok) return false;
  diag("FreeRDP_GfxH264=%d AVC444=%d before connect",
       freerdp_settings_get_bool(settings, FreeRDP_GfxH264) ? 1 : 0,
       freerdp_settings_get_bool(settings, FreeRDP_GfxAVC444) ? 1 : 0);
  return true;
}

bool apply_settings_at_connect(rdpSettings* settings, const SettingsPlan& plan,
                               const std::string& config_dir) {
  if (!set(settings, FreeRDP_OsMajorType, plan.os_major_type) ||
      !set(settings, FreeRDP_OsMinorType, plan.os_minor_type) ||
      !set(settings, FreeRDP_RedirectClipboard, plan.redirect_clipboard) ||
      !set(settings, FreeRDP_RedirectDrives, plan.redirect_drives))
    return false;
  if (plan.private_config_dir && !set(settings, FreeRDP_ConfigPath, config_dir)) return false;
  if (plan.verify_certificates && (!set(settings, FreeRDP_IgnoreCertificate, false) ||
                                   !set(settings, FreeRDP_ExternalCertificateManagement, true)))
    return false;
  if (!set(settings, FreeRDP_UnicodeInput, plan.unicode_input)) return false;
  if (plan.keyboard_layout) return set(settings, FreeRDP_KeyboardLayout, *plan.keyboard_layout);
  if (freerdp_settings_get_uint32(settings, FreeRDP_KeyboardLayout) != 0) return true;
  const uint32_t layout = system_keyboard_layout();
  return layout == 0 || set(settings, FreeRDP_KeyboardLayout, layout);
}

}  // namespace korvane
