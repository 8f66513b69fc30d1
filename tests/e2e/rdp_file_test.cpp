// A .rdp file saved by another client: korvane (the profile's field 8) and FreeRDP's own X11
// client, xfreerdp3, each open the same file against a scripted test server, and both servers
// must be told the same settings. The file is written as Windows saves it (UTF-16LE with a BOM,
// CRLF lines); korvane gets it that way and as UTF-8.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <string>

#include "host_link/extensions.hpp"
#include "rig.hpp"
#include "x_display.hpp"

using namespace korvane;
using namespace korvane::e2e;

namespace {

constexpr char kCookie[] = "tsv://MS Terminal Services Plugin.1.Farm_B";

// What the file sets, as the test server logs it. Each differs from both clients' defaults.
const std::map<std::string, std::string> kFileSays = {
    {"color_depth", "16"},
    {"console", "1"},
    {"shell", "C:\\Tools\\till.exe"},
    {"shell_dir", "C:\\Tools"},
    // The connection broker's cookie (the server reads it without the CR LF that ends it).
    {"routing_token",
     hex(std::span(reinterpret_cast<const uint8_t*>(kCookie), sizeof kCookie - 1))},
    // no wallpaper, no full-window drag, no menu animations, font smoothing
    {"performance", "0x00000087"},
};

// A connection as mstsc saves it, pointed at the server's port, less one line: mstsc also writes
// bandwidthautodetect:i:1, and the library's parser (both clients') then sets the auto-detect
// connection type after the per-flag lines, whose performance flags (font smoothing, desktop
// composition: the default) replace the file's.
std::string saved_connection(uint16_t port) {
  return "screen mode id:i:1\r\nuse multimon:i:0\r\ndesktopwidth:i:1024\r\n"
         "desktopheight:i:768\r\nsession bpp:i:16\r\nwinposstr:s:0,1,0,0,1040,807\r\n"
         "compression:i:1\r\nkeyboardhook:i:2\r\naudiocapturemode:i:0\r\n"
         "videoplaybackmode:i:1\r\nconnection type:i:6\r\nnetworkautodetect:i:0\r\n"
         "displayconnectionbar:i:1\r\n"
         "disable wallpaper:i:1\r\nallow font smoothing:i:1\r\n"
         "allow desktop composition:i:0\r\ndisable full window drag:i:1\r\n"
         "disable menu anims:i:1\r\ndisable themes:i:0\r\ndisable cursor setting:i:0\r\n"
         "bitmapcachepersistenable:i:1\r\nfull address:s:127.0.0.1:" +
         std::to_string(port) +
         "\r\naudiomode:i:2\r\nredirectprinters:i:0\r\nredirectcomports:i:0\r\n"
         "redirectsmartcards:i:0\r\nredirectclipboard:i:1\r\nredirectposdevices:i:0\r\n"
         "autoreconnection enabled:i:1\r\nauthentication level:i:0\r\n"
         "prompt for credentials:i:0\r\nnegotiate security layer:i:1\r\n"
         "remoteapplicationmode:i:0\r\nalternate shell:s:C:\\Tools\\till.exe\r\n"
         "shell working directory:s:C:\\Tools\r\ngatewayhostname:s:\r\n"
         "gatewayusagemethod:i:4\r\ngatewaycredentialssource:i:4\r\n"
         "gatewayprofileusagemethod:i:0\r\npromptcredentialonce:i:0\r\n"
         "administrative session:i:1\r\n"
         "loadbalanceinfo:s:tsv://MS Terminal Services Plugin.1.Farm_B\r\nusername:s:test\r\n";
}

// The file's bytes as Windows writes them: UTF-16LE after a BOM (the text is ASCII).
std::vector<uint8_t> utf16le(const std::string& ascii) {
  std::vector<uint8_t> out = {0xFF, 0xFE};
  for (const char c : ascii) out.insert(out.end(), {static_cast<uint8_t>(c), 0});
  return out;
}

std::map<std::string, std::string> korvane_told(bool windows_encoding) {
  Rig rig;
  if (!start_server(rig, {"sleep 200", "end"})) return {};
  const std::string text = saved_connection(rig.server.port);
  const std::vector<uint8_t> file =
      windows_encoding ? utf16le(text) : std::vector<uint8_t>(text.begin(), text.end());
  const ExtensionField field = {FIELD_RDP_FILE, file};
  if (!start_korvane(rig, {.password = "test"}, encode_extensions(EXT_PROFILE, {&field, 1})))
    return {};
  EXPECT_TRUE(host::finish_session(*rig.korvane, 30000, {}, false).disconnected)
      << korvane_stderr(rig);
  return server_profile(*rig.server.process);
}

std::map<std::string, std::string> xfreerdp_told(const test::XServer& x) {
  Rig rig;
  if (!start_server(rig, {"sleep 200", "end"})) return {};
  const std::string path = rig.scratch.path + "/saved.rdp";
  const std::vector<uint8_t> file = utf16le(saved_connection(rig.server.port));
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
  host::SpawnOptions o;
  // The file, then only what a .rdp file cannot hold: the password (Windows keeps it encrypted
  // per user, elsewhere), and that the test server's self-signed certificate is to be taken
  // without asking (the client would otherwise ask on its terminal).
  o.argv = {"xfreerdp3", path, "/p:test", "/cert:ignore"};
  // Its configuration and known hosts in the scratch directory, not the user's.
  o.env = {x.env(), "HOME=" + rig.scratch.path, "XDG_CONFIG_HOME=" + rig.scratch.path};
  o.stdout_path = rig.scratch.path + "/xfreerdp3.log";
  o.stderr_path = "-";
  o.term_grace_ms = 2000;
  o.die_with_parent = true;
  std::string error;
  auto client = host::spawn(o, &error);
  if (!client) {
    ADD_FAILURE() << "xfreerdp3: " << error;
    return {};
  }
  auto seen = server_profile(*rig.server.process, 30000);
  // The server's `end` ends the session; the client leaves by itself, or is ended here.
  if (!host::wait_exit(*client, 10000)) host::terminate(*client, 2000);
  EXPECT_FALSE(seen.empty()) << test::read_file(o.stdout_path) << server_log(rig);
  return seen;
}

}  // namespace

TEST(RdpFile, ASavedFileReachesTheServerAsFromAnotherClient) {
  const test::TempDir logs = test::make_temp_dir("korvane-e2e-rdp-file");
  std::string error;
  auto x = test::start_xvfb(1024, 768, logs.path, &error);
  ASSERT_TRUE(x) << error;
  auto theirs = xfreerdp_told(*x);
  for (const auto& [key, value] : kFileSays) EXPECT_EQ(theirs[key], value) << "xfreerdp3, " << key;
  for (const bool windows_encoding : {true, false}) {
    SCOPED_TRACE(windows_encoding ? "UTF-16LE" : "UTF-8");
    auto ours = korvane_told(windows_encoding);
    for (const auto& [key, value] : kFileSays) EXPECT_EQ(ours[key], theirs[key]) << key;
  }
}
