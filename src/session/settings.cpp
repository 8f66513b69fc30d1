#include "session/settings.hpp"

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include <freerdp/client/cmdline.h>
#include <freerdp/channels/audin.h>
#include <freerdp/channels/location.h>
#include <freerdp/channels/rdpecam.h>
#include <freerdp/channels/urbdrc.h>
#include <freerdp/client/file.h>
#include <freerdp/settings.h>
#include <winpr/timezone.h>

#include "platform/diag.hpp"
#include "platform/keyboard.hpp"

namespace korvane {

namespace {

static_assert(kOsMajorWindows == OSMAJORTYPE_WINDOWS);
static_assert(kOsMinorWindowsNt == OSMINORTYPE_WINDOWS_NT);
static_assert(PROFILE_NO_WALLPAPER == PERF_DISABLE_WALLPAPER &&
              PROFILE_NO_FULL_WINDOW_DRAG == PERF_DISABLE_FULLWINDOWDRAG &&
              PROFILE_NO_MENU_ANIMATIONS == PERF_DISABLE_MENUANIMATIONS &&
              PROFILE_NO_THEMES == PERF_DISABLE_THEMING &&
              PROFILE_FONT_SMOOTHING == PERF_ENABLE_FONT_SMOOTHING &&
              PROFILE_DESKTOP_COMPOSITION == PERF_ENABLE_DESKTOP_COMPOSITION);

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

struct RdpFileDeleter {
  void operator()(rdpFile* f) const { freerdp_client_rdp_file_free(f); }
};

// The .rdp text through the library's own parser, as another client that opens the file would.
std::string apply_rdp_file(rdpSettings* s, const std::string& text) {
  std::unique_ptr<rdpFile, RdpFileDeleter> file(freerdp_client_rdp_file_new());
  if (!file) return "the library could not make an .rdp parser";
  if (!freerdp_client_parse_rdp_file_buffer(file.get(), reinterpret_cast<const BYTE*>(text.data()),
                                            text.size()))
    return "the library's parser rejects the .rdp text";
  if (!freerdp_client_populate_settings_from_rdp_file(file.get(), s))
    return "the library cannot apply the .rdp text";
  // A RemoteApp session draws windows korvane has no channel for: the host would get a black
  // desktop and no word why.
  if (freerdp_settings_get_bool(s, FreeRDP_RemoteApplicationMode))
    return "the .rdp text asks for RemoteApp, which korvane does not show";
  return {};
}

// The library's table of time zones, by key name (as its /timezone option reads it).
bool set_time_zone(rdpSettings* s, const std::string& name) {
  DYNAMIC_TIME_ZONE_INFORMATION info{};
  for (DWORD i = 0; EnumDynamicTimeZoneInformation(i, &info) != ERROR_NO_MORE_ITEMS; ++i) {
    char key[ARRAYSIZE(info.TimeZoneKeyName) + 1] = {};
    if (ConvertWCharNToUtf8(info.TimeZoneKeyName, ARRAYSIZE(info.TimeZoneKeyName), key,
                            sizeof key) < 0 ||
        name != key)
      continue;
    auto* tz = static_cast<TIME_ZONE_INFORMATION*>(
        freerdp_settings_get_pointer_writable(s, FreeRDP_ClientTimeZone));
    if (!tz || !set(s, FreeRDP_DynamicDSTTimeZoneKeyName, name)) return false;
    tz->Bias = info.Bias;
    tz->StandardBias = info.StandardBias;
    tz->StandardDate = info.StandardDate;
    tz->DaylightBias = info.DaylightBias;
    tz->DaylightDate = info.DaylightDate;
    static_assert(sizeof tz->StandardName == sizeof info.StandardName);
    std::memcpy(tz->StandardName, info.StandardName, sizeof tz->StandardName);
    std::memcpy(tz->DaylightName, info.DaylightName, sizeof tz->DaylightName);
    return true;
  }
  return false;
}

// The explicit fields, over the base and the .rdp text.
std::string apply_profile_fields(rdpSettings* s, const Profile& p) {
  if (p.load_balance_info &&
      !freerdp_settings_set_pointer_len(s, FreeRDP_LoadBalanceInfo, p.load_balance_info->data(),
                                        p.load_balance_info->size()))
    return "the library refused the load-balance info";
  if (p.preconnection) {
    const std::string& blob = p.preconnection->blob;
    if (!set(s, FreeRDP_SendPreconnectionPdu, true) ||
        !set(s, FreeRDP_PreconnectionId, p.preconnection->id) ||
        !freerdp_settings_set_string(s, FreeRDP_PreconnectionBlob,
                                     blob.empty() ? nullptr : blob.c_str()))
      return "the library refused the preconnection id or blob";
  }
  if (p.time_zone && !set_time_zone(s, *p.time_zone)) return "unknown time zone";
  if (p.network_type && !freerdp_set_connection_type(s, *p.network_type))
    return "the library refused the network type";
  bool ok = set(s, FreeRDP_ConsoleSession, p.console) && set(s, FreeRDP_AlternateShell, p.shell) &&
            set(s, FreeRDP_ShellWorkingDirectory, p.shell_dir) &&
            set(s, FreeRDP_ClientHostname, p.client_name) &&
            set(s, FreeRDP_ColorDepth,
                p.color_depth ? std::optional<uint32_t>(*p.color_depth) : std::nullopt);
  if (ok && p.security) {
    ok = set(s, FreeRDP_RdpSecurity, (*p.security & SECURITY_RDP) != 0) &&
         set(s, FreeRDP_TlsSecurity, (*p.security & SECURITY_TLS) != 0) &&
         set(s, FreeRDP_NlaSecurity, (*p.security & SECURITY_NLA) != 0) &&
         set(s, FreeRDP_ExtSecurity, (*p.security & SECURITY_EXT) != 0) &&
         set(s, FreeRDP_AadSecurity, false) &&
         // RDP security alone is spoken without negotiating, as a server that knows no other
         // expects (the library's /sec:rdp does the same).
         set(s, FreeRDP_UseRdpSecurityLayer, *p.security == SECURITY_RDP);
  }
  if (ok && p.performance_flags) {
    // The library sends the flags it makes from these at logon.
    const uint32_t f = *p.performance_flags;
    ok = set(s, FreeRDP_DisableWallpaper, (f & PROFILE_NO_WALLPAPER) != 0) &&
         set(s, FreeRDP_DisableFullWindowDrag, (f & PROFILE_NO_FULL_WINDOW_DRAG) != 0) &&
         set(s, FreeRDP_DisableMenuAnims, (f & PROFILE_NO_MENU_ANIMATIONS) != 0) &&
         set(s, FreeRDP_DisableThemes, (f & PROFILE_NO_THEMES) != 0) &&
         set(s, FreeRDP_AllowFontSmoothing, (f & PROFILE_FONT_SMOOTHING) != 0) &&
         set(s, FreeRDP_AllowDesktopComposition, (f & PROFILE_DESKTOP_COMPOSITION) != 0) &&
         set(s, FreeRDP_PerformanceFlags, f);
  }
  return ok ? std::string() : std::string("the library refused a profile setting");
}

// Drives and devices of the machine korvane runs on are not the host user's, nor its speakers
// and microphone: what a .rdp text turned on is turned off again. The connect request's drive is
// added as the connection starts (and device redirection with it); korvane's own microphone,
// named on the command line, is the only one.
bool apply_local_devices_off(rdpSettings* s, bool sound, bool microphone) {
  for (const char* channel : {URBDRC_CHANNEL_NAME, RDPECAM_DVC_CHANNEL_NAME, LOCATION_CHANNEL_NAME})
    freerdp_client_del_dynamic_channel(s, channel);  // false when it was not there
  if (!microphone) freerdp_client_del_dynamic_channel(s, AUDIN_CHANNEL_NAME);
  return freerdp_settings_set_string(s, FreeRDP_DrivesToRedirect, nullptr) &&
         set(s, FreeRDP_DeviceRedirection, false) && set(s, FreeRDP_RedirectPrinters, false) &&
         set(s, FreeRDP_RedirectSmartCards, false) && set(s, FreeRDP_RedirectSerialPorts, false) &&
         set(s, FreeRDP_RedirectParallelPorts, false) && set(s, FreeRDP_RedirectHomeDrive, false) &&
         set(s, FreeRDP_AudioCapture, microphone) && set(s, FreeRDP_AudioPlayback, sound) &&
         (!sound || set(s, FreeRDP_RemoteConsoleAudio, false));
}

// The gateway's settings, as the library's command line would write them for "/gateway:".
bool apply_gateway(rdpSettings* s, const Gateway& g) {
  if (g.host) {
    const uint32_t method =
        g.bypass_local.value_or(false) ? TSC_PROXY_MODE_DETECT : TSC_PROXY_MODE_DIRECT;
    if (!freerdp_set_gateway_usage_method(s, method) || !set(s, FreeRDP_GatewayHostname, *g.host) ||
        !set(s, FreeRDP_GatewayPort, uint32_t{g.port}))
      return false;
  } else if (g.bypass_local && !set(s, FreeRDP_GatewayBypassLocal, *g.bypass_local)) {
    return false;
  }
  if (g.transport) {
    const uint8_t t = *g.transport;
    if (!set(s, FreeRDP_GatewayHttpTransport, t != GATEWAY_TRANSPORT_RPC) ||
        !set(s, FreeRDP_GatewayRpcTransport,
             t == GATEWAY_TRANSPORT_AUTO || t == GATEWAY_TRANSPORT_RPC) ||
        !set(s, FreeRDP_GatewayHttpUseWebsockets,
             t == GATEWAY_TRANSPORT_AUTO || t == GATEWAY_TRANSPORT_HTTP) ||
        !set(s, FreeRDP_GatewayArmTransport, false))
      return false;
  }
  if (g.bearer && !set(s, FreeRDP_GatewayHttpExtAuthBearer, *g.bearer)) return false;
  if (g.paa && !set(s, FreeRDP_GatewayAccessToken, *g.paa)) return false;
  if (g.credentials) {
    return set(s, FreeRDP_GatewayUseSameCredentials, false) &&
           set(s, FreeRDP_GatewayUsername, g.credentials->user) &&
           set(s, FreeRDP_GatewayDomain, g.credentials->domain) &&
           set(s, FreeRDP_GatewayPassword, g.credentials->password);
  }
  if (g.bearer || g.paa) return true;
  // The session's own: the library copies them when it parses its command line, before the
  // password (and a .rdp text's user) is written, so korvane copies them again.
  if (!set(s, FreeRDP_GatewayUseSameCredentials, true)) return false;
  for (const auto& [from, to] : {std::pair{FreeRDP_Username, FreeRDP_GatewayUsername},
                                 std::pair{FreeRDP_Domain, FreeRDP_GatewayDomain},
                                 std::pair{FreeRDP_Password, FreeRDP_GatewayPassword}}) {
    const char* v = freerdp_settings_get_string(s, from);
    if (v && !freerdp_settings_set_string(s, to, v)) return false;
  }
  return true;
}

// The desktop is the layout's bounding box. A single monitor's attributes go in the core data
// block; several go in the monitor blocks, which the library sends only for more than one.
bool apply_monitors(rdpSettings* s, const std::optional<MonitorLayout>& layout,
                    const std::optional<Scale>& scale) {
  if (!layout) {
    return !scale || (set(s, FreeRDP_DesktopScaleFactor, scale->desktop) &&
                      set(s, FreeRDP_DeviceScaleFactor, scale->device));
  }
  const Extent e = layout_extent(*layout);
  const Monitor& primary = *std::ranges::find_if(*layout, &Monitor::primary);
  if (!set(s, FreeRDP_DesktopWidth, e.width) || !set(s, FreeRDP_DesktopHeight, e.height) ||
      !set(s, FreeRDP_DesktopScaleFactor, primary.desktop_scale) ||
      !set(s, FreeRDP_DeviceScaleFactor, primary.device_scale) ||
      !set(s, FreeRDP_DesktopPhysicalWidth, primary.physical_width) ||
      !set(s, FreeRDP_DesktopPhysicalHeight, primary.physical_height) ||
      !freerdp_settings_set_uint16(s, FreeRDP_DesktopOrientation,
                                   static_cast<UINT16>(primary.orientation)))
    return false;
  const auto count = static_cast<uint32_t>(layout->size());
  const bool several = count > 1;
  if (!set(s, FreeRDP_UseMultimon, several) || !set(s, FreeRDP_SupportMonitorLayoutPdu, true) ||
      !set(s, FreeRDP_HasMonitorAttributes, several) ||
      !freerdp_settings_set_pointer_len(s, FreeRDP_MonitorDefArray, nullptr, count))
    return false;
  for (uint32_t i = 0; i < count; ++i) {
    const Monitor& m = (*layout)[i];
    rdpMonitor def{};
    // The library moves the primary to 0,0 itself.
    def.x = m.left;
    def.y = m.top;
    def.width = static_cast<INT32>(m.width);
    def.height = static_cast<INT32>(m.height);
    def.is_primary = m.primary;
    def.orig_screen = i;
    def.attributes = {m.physical_width, m.physical_height, m.orientation, m.desktop_scale,
                      m.device_scale};
    if (!freerdp_settings_set_pointer_array(s, FreeRDP_MonitorDefArray, i, &def)) return false;
  }
  return set(s, FreeRDP_MonitorCount, count);
}

}  // namespace

bool apply_command_line(rdpSettings* settings, const SettingsPlan& plan) {
  std::vector<char*> argv;
  for (const auto& a : plan.args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  return freerdp_client_settings_parse_command_line(settings, static_cast<int>(plan.args.size()),
                                                    argv.data(), FALSE) == 0;
}

bool apply_settings_before_connect(rdpSettings* settings, const SettingsPlan& plan,
                                   std::string& problem) {
  problem.clear();
  if (!set(settings, FreeRDP_Password, plan.password)) return false;
  if (plan.profile) {
    if (plan.profile->rdp_file) problem = apply_rdp_file(settings, *plan.profile->rdp_file);
    if (problem.empty()) problem = apply_profile_fields(settings, *plan.profile);
    if (!problem.empty()) return false;
  }
  if (plan.gateway && !apply_gateway(settings, *plan.gateway)) return false;
  if (!apply_monitors(settings, plan.monitors, plan.scale)) return false;
  if (plan.local_devices_off && !apply_local_devices_off(settings, plan.sound, plan.microphone))
    return false;
  const bool ok = set(settings, FreeRDP_TcpAckTimeout, plan.tcp_ack_timeout_ms) &&
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
