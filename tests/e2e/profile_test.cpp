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

// The server's PROFILE lines of one session: key to value. The host's picture goes to `canvas`.
std::map<std::string, std::string> profile_seen(std::vector<uint8_t> block,
                                                host::Canvas* canvas = nullptr,
                                                const std::string& sec = "tls") {
  auto rig = start_rig({"fill 0 0 32 32 FF0000", "fill 32 0 32 32 00FF00", "sleep 200", "end"}, {},
                       sec, {}, std::move(block));
  if (!rig) return {};
  std::string error;
  const auto end = host::finish_session(
      *rig->korvane, 30000,
      [&](const host::Frame& f) {
        if (f.type == EVT_ERROR) error.assign(f.payload.begin(), f.payload.end());
        if (canvas && f.type == EVT_CONNECTED) host::resize_canvas(*canvas, 1024, 768);
        if (canvas && f.type == EVT_RECT) {
          EXPECT_EQ(host::paint_rect(*canvas, f.payload), "");
        }
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
      {FIELD_NETWORK_TYPE, {6}},  // LAN, whose performance flags the explicit ones replace
      text_field(FIELD_LOAD_BALANCE_INFO, "Cookie: msts=farm-b"),
  };
  host::Canvas canvas;
  auto seen = profile_seen(encode_extensions(EXT_PROFILE, fields), &canvas);
  EXPECT_EQ(seen["client_name"], "kiosk-7");
  EXPECT_EQ(seen["time_zone"], "Pacific Standard Time");
  EXPECT_EQ(seen["time_zone_bias"], "480");
  EXPECT_EQ(seen["performance"], "0x00000089");
  EXPECT_EQ(seen["color_depth"], "16");
  EXPECT_EQ(seen["shell"], "C:\\apps\\till.exe");
  EXPECT_EQ(seen["shell_dir"], "C:\\apps");
  EXPECT_EQ(seen["console"], "1");
  EXPECT_EQ(seen["network_type"], "6");
  EXPECT_EQ(seen["routing_token"], hex(fields.back().value));
  // Fewer bits on the wire, RGBA to the host all the same.
  ASSERT_EQ(canvas.rgba.size(), 1024u * 768 * 4);
  EXPECT_EQ(hex(std::span(canvas.rgba).subspan(0, 4)), "ff0000ff");
  EXPECT_EQ(hex(std::span(canvas.rgba).subspan(40 * 4, 4)), "00ff00ff");

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

  // The request asks for TLS, the profile for standard RDP security: a server of RDP security
  // alone takes the session.
  seen = profile_seen(encode_extensions(EXT_PROFILE, {{text_field(FIELD_SECURITY, "RDP")}}),
                      nullptr, "rdp");
  EXPECT_EQ(seen["console"], "0");
}

TEST(Profile, BadProfilesAreRefusedBeforeConnecting) {
  const struct {
    ExtensionField field;
    const char* error;
    std::vector<uint8_t> events;  // a typed ending when the grant was sent
  } table[] = {
      // One of each step: the block, the library's parser, the library's tables. The other
      // faults of each field are the unit tables'.
      {text_field(FIELD_CLIENT_NAME, "a-name-of-sixteen"),
       "Bad profile: the client name is longer than 15 characters",
       {EVT_ERROR}},
      {text_field(FIELD_RDP_FILE, "x"),
       "Bad profile: the library's parser rejects the .rdp text",
       {EVT_EXTENSIONS, EVT_END_REASON, EVT_ERROR}},
      {text_field(FIELD_TIME_ZONE, "Atlantis Standard Time"),
       "Bad profile: unknown time zone",
       {EVT_EXTENSIONS, EVT_END_REASON, EVT_ERROR}},
      {text_field(FIELD_RDP_FILE, "remoteapplicationmode:i:1\r\n"),
       "Bad profile: the .rdp text asks for RemoteApp, which korvane does not show",
       {EVT_EXTENSIONS, EVT_END_REASON, EVT_ERROR}},
  };
  for (const auto& row : table) {
    SCOPED_TRACE(row.error);
    const EarlyEnd e =
        run_without_server(encode_extensions(EXT_PROFILE | EXT_STATUS, {{row.field}}));
    EXPECT_EQ(e.error, row.error);
    ASSERT_TRUE(e.exit);
    EXPECT_EQ(e.exit->code, 1);
    EXPECT_EQ(e.types, row.events);
  }
}

TEST(Profile, OnlyTheRequestsDriveIsRedirected) {
  auto share = test::make_temp_dir("korvane-share");
  const std::string rdp =
      "drivestoredirect:s:*\r\nredirectdrives:i:1\r\nredirectprinters:i:1\r\n"
      "redirectcomports:i:1\r\nredirectsmartcards:i:1\r\naudiocapturemode:i:1\r\n";
  auto rig = start_rig({"sleep 30000"}, {.flags = CONNECT_FLAG_TLS, .drive = share.path}, "tls", {},
                       encode_extensions(EXT_PROFILE, {{text_field(FIELD_RDP_FILE, rdp)}}));
  ASSERT_TRUE(rig);
  ASSERT_TRUE(pump_until_line(*rig, std::regex("^DEVICE "), 20000)) << korvane_stderr(*rig);
  host::finish_session(*rig->korvane, 10000);
  std::vector<std::string> devices;
  for (const std::string& line : test::lines_of(*rig->server.process))
    if (line.rfind("DEVICE ", 0) == 0) devices.push_back(line);
  EXPECT_EQ(devices, std::vector<std::string>{"DEVICE type=8 name=Tessaran"});
}
