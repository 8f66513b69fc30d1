// Connection profiles against the scripted test server, which logs what the client's logon and
// core data told it: each setting arrives, in the documented order of precedence, and a bad
// profile is refused before anything is dialled.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "host_link/extensions.hpp"
#include "rig.hpp"

using namespace korvane;
using namespace korvane::e2e;

namespace {

ExtensionField text_field(uint16_t tag, std::string_view text) {
  return {tag, std::vector<uint8_t>(text.begin(), text.end())};
}

std::vector<uint8_t> u32_bytes(uint32_t v) {
  std::vector<uint8_t> out;
  append_u32(out, v);
  return out;
}

// The server's PROFILE lines of one session: key to value.
std::map<std::string, std::string> profile_seen(std::vector<uint8_t> block,
                                                ConnectRequest request = {}) {
  auto rig = start_rig({"sleep 200", "end"}, std::move(request), "tls", {}, std::move(block));
  if (!rig) return {};
  std::string error;
  const auto end = host::finish_session(
      *rig->korvane, 30000,
      [&](const host::Frame& f) {
        if (f.type == EVT_ERROR) error.assign(f.payload.begin(), f.payload.end());
      },
      false);
  EXPECT_TRUE(end.disconnected) << error << korvane_stderr(*rig);
  return server_profile(*rig->server.process);
}

}  // namespace

TEST(Profile, TheServerGetsEachSettingInOrderOfPrecedence) {
  // A host without the extension keeps the console; a profile host gets a normal session.
  EXPECT_EQ(profile_seen({})["console"], "1");
  EXPECT_EQ(profile_seen(encode_extensions(EXT_PROFILE))["console"], "0");

  const std::vector<ExtensionField> fields = {
      text_field(FIELD_CLIENT_NAME, "kiosk-7"),
      text_field(FIELD_TIME_ZONE, "Pacific Standard Time"),
      {FIELD_PERFORMANCE,
       u32_bytes(PROFILE_NO_WALLPAPER | PROFILE_NO_THEMES | PROFILE_FONT_SMOOTHING)},
      {FIELD_COLOR_DEPTH, {16}},
      text_field(FIELD_SHELL, "C:\\apps\\till.exe"),
      text_field(FIELD_SHELL_DIR, "C:\\apps"),
      {FIELD_CONSOLE, {1}},
      text_field(FIELD_LOAD_BALANCE_INFO, "Cookie: msts=farm-b"),
  };
  auto seen = profile_seen(encode_extensions(EXT_PROFILE, fields));
  EXPECT_EQ(seen["client_name"], "kiosk-7");
  EXPECT_EQ(seen["time_zone"], "Pacific Standard Time");
  EXPECT_EQ(seen["time_zone_bias"], "480");
  EXPECT_EQ(seen["performance"], "0x00000089");
  EXPECT_EQ(seen["color_depth"], "16");
  EXPECT_EQ(seen["shell"], "C:\\apps\\till.exe");
  EXPECT_EQ(seen["shell_dir"], "C:\\apps");
  EXPECT_EQ(seen["console"], "1");
  EXPECT_EQ(seen["routing_token"], hex(fields.back().value));

  // The .rdp text over the request, the explicit fields over the .rdp text.
  const std::string rdp =
      "session bpp:i:24\r\nalternate shell:s:C:\\from-file.exe\r\n"
      "shell working directory:s:C:\\file-dir\r\nadministrative session:i:1\r\n";
  seen = profile_seen(encode_extensions(EXT_PROFILE, {{text_field(FIELD_RDP_FILE, rdp),
                                                       {FIELD_COLOR_DEPTH, {15}},
                                                       text_field(FIELD_SHELL_DIR, "D:\\")}}));
  EXPECT_EQ(seen["color_depth"], "15");
  EXPECT_EQ(seen["shell"], "C:\\from-file.exe");
  EXPECT_EQ(seen["shell_dir"], "D:\\");
  EXPECT_EQ(seen["console"], "1");
}

TEST(Profile, BadProfilesAreRefusedBeforeConnecting) {
  const struct {
    ExtensionField field;
    const char* error;
  } table[] = {
      {text_field(FIELD_CLIENT_NAME, "a-name-of-sixteen"),
       "Bad profile: the client name is longer than 15 characters"},
      {{FIELD_COLOR_DEPTH, {8}}, "Bad profile: the colour depth is not 15, 16, 24 or 32"},
      {text_field(FIELD_SECURITY, "kerberos"), "Bad profile: unknown security name"},
      {text_field(FIELD_RDP_FILE, std::string("screen mode id:i:2\r\n\x01\x02", 22)),
       "Bad profile: the .rdp text is not text"},
      {text_field(FIELD_RDP_FILE, std::string(40000, 'x')),
       "Bad profile: the .rdp text is longer than 32768 bytes"},
      {text_field(FIELD_RDP_FILE, "x"), "Bad profile: the library's parser rejects the .rdp text"},
      {text_field(FIELD_RDP_FILE, "full address:s:x\r\n/args-from:/etc/passwd\r\n"),
       "Bad profile: the .rdp text holds command-line options"},
      {text_field(FIELD_TIME_ZONE, "Atlantis Standard Time"), "Bad profile: unknown time zone"},
  };
  for (const auto& row : table) {
    SCOPED_TRACE(row.error);
    const EarlyEnd e = run_without_server(encode_extensions(EXT_PROFILE, {{row.field}}));
    EXPECT_EQ(e.error, row.error);
    ASSERT_TRUE(e.exit);
    EXPECT_EQ(e.exit->code, 1);
    EXPECT_EQ(std::count(e.types.begin(), e.types.end(), EVT_CONNECTED), 0);
  }
}
