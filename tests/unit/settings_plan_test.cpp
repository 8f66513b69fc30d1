// The settings korvane asks of the library, from the connect request and the grant.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "host_link/session_extensions.hpp"
#include "session/connect_args.hpp"
#include "session/settings_plan.hpp"

using namespace korvane;

TEST(SettingsPlan, Table) {
  ConnectParams p{};
  std::strcpy(p.host, "10.1.2.3");
  p.port = 3389;
  const SettingsPlan base = [&] {
    SettingsPlan plan;
    plan.args = build_connect_args(p);
    return plan;
  }();
  const struct {
    const char* name;
    uint32_t mask;
    uint8_t h264_codecs;
    std::optional<uint8_t> cert_mode;
    std::optional<uint32_t> layout;
    std::function<void(SettingsPlan&)> change;  // what differs from the base protocol's plan
  } table[] = {
      {"base protocol", 0, 0, CERT_MODE_PINNED, 0x409, [](SettingsPlan&) {}},
      {"AVC420 only",
       EXT_H264,
       H264_AVC420,
       {},
       {},
       [](SettingsPlan& s) { s.gfx_avc444 = s.gfx_avc444v2 = false; }},
      {"no codec",
       EXT_H264,
       0,
       {},
       {},
       [](SettingsPlan& s) { s.gfx_h264 = s.gfx_avc444 = s.gfx_avc444v2 = false; }},
      {"AVC444v2", EXT_H264, H264_AVC420 | H264_AVC444V2, {}, {}, [](SettingsPlan&) {}},
      {"resize", EXT_RESIZE, 0, {}, {}, [](SettingsPlan& s) { s.display_control = true; }},
      {"cursor",
       EXT_CURSOR,
       0,
       {},
       {},
       [](SettingsPlan& s) { s.large_pointer_flag = 3, s.grab_mouse = true; }},
      {"certificate, no mode",
       EXT_CERTIFICATE,
       0,
       {},
       {},
       [](SettingsPlan& s) { s.private_config_dir = true; }},
      {"certificate, accept any",
       EXT_CERTIFICATE,
       0,
       CERT_MODE_ACCEPT_ANY,
       {},
       [](SettingsPlan& s) { s.private_config_dir = true; }},
      {"certificate, pinned",
       EXT_CERTIFICATE,
       0,
       CERT_MODE_PINNED,
       {},
       [](SettingsPlan& s) { s.private_config_dir = s.verify_certificates = true; }},
      {"certificate, ask",
       EXT_CERTIFICATE,
       0,
       CERT_MODE_ASK,
       {},
       [](SettingsPlan& s) { s.private_config_dir = s.verify_certificates = true; }},
      {"text, layout",
       EXT_TEXT,
       0,
       {},
       0x409,
       [](SettingsPlan& s) { s.unicode_input = true, s.keyboard_layout = 0x409; }},
      {"text, no layout", EXT_TEXT, 0, {}, {}, [](SettingsPlan& s) { s.unicode_input = true; }},
      {"sound",
       EXT_AUDIO,
       0,
       {},
       {},
       [](SettingsPlan& s) { s.args.push_back("/sound:x"), s.sound = true; }},
      {"microphone",
       EXT_MICROPHONE,
       0,
       {},
       {},
       [](SettingsPlan& s) { s.args.push_back("/microphone:x"), s.microphone = true; }},
      // Not the console unless asked; no drive or device of this machine but the request's.
      {"profile",
       EXT_PROFILE,
       0,
       {},
       {},
       [](SettingsPlan& s) {
         std::erase(s.args, "/admin");
         s.profile = Profile{}, s.redirect_drives = false, s.local_devices_off = true;
       }},
      // Every row's block names a gateway: only the bit brings it into the plan.
      {"gateway", EXT_GATEWAY, 0, {}, {}, [](SettingsPlan& s) { s.gateway = Gateway{"gw"}; }},
  };
  for (const auto& row : table) {
    Extensions ext;
    ext.cert_mode = row.cert_mode;
    ext.keyboard_layout = row.layout;
    ext.gateway.host = "gw";
    SettingsPlan expected = base;
    row.change(expected);
    EXPECT_TRUE(plan_settings(p, Grant{row.mask, row.h264_codecs}, ext, "/sound:x",
                              "/microphone:x") == expected)
        << row.name;
  }
}

TEST(SettingsPlan, PasswordBesideTheArgumentsAndDriveRedirected) {
  ConnectParams p{};
  std::strcpy(p.password, "secret");
  std::strcpy(p.drive_path, "/srv/share");
  const SettingsPlan plan = plan_settings(p, Grant{}, Extensions{}, "/sound:x");
  EXPECT_EQ(plan.args, build_connect_args(p));
  EXPECT_EQ(plan.password, "secret");
  EXPECT_EQ(plan.redirect_drives, true);
  // What every session asks, granted or not.
  EXPECT_EQ(plan.tcp_ack_timeout_ms, 30000u);
  EXPECT_TRUE(plan.software_gdi && plan.gfx_h264 && plan.redirect_clipboard);
  EXPECT_EQ(plan.os_major_type, 1u);
  EXPECT_EQ(plan.os_minor_type, 3u);
  EXPECT_EQ(plan_settings(ConnectParams{}, Grant{}, Extensions{}, "").password, std::nullopt);
}
