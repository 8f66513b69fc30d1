// korvane-web's configuration parser: what it accepts, and that it refuses what it does not
// understand with the line at fault and without quoting a secret.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "config.hpp"
#include "policy.hpp"

namespace korvane::web {
namespace {

TEST(WebConfig, ReadsSettingsAndTargets) {
  std::string error;
  const auto c = parse_config(
      "# a comment\n"
      "  listen = 0.0.0.0  \n"
      "port = 9000\r\n"
      "origin = https://a.example\n"
      "origin = https://b.example\n"
      "\n"
      "[target office]\n"
      "host = 10.0.0.5\n"
      "port = 3390\n"
      "user = alice\n"
      "domain = CORP\n"
      "password = p = q # not a comment\n"
      "flags = 0x03\n"
      "fingerprint = AA:BB\n"
      "fingerprint = CC:DD\n"
      "keyboard_layout = 0x00000407\n"
      "[target lab-2.x_y]\n"
      "host = lab\n",
      &error);
  ASSERT_TRUE(c) << error;
  EXPECT_EQ(c->listen, "0.0.0.0");
  EXPECT_EQ(c->port, 9000);
  EXPECT_EQ(c->origins, (std::vector<std::string>{"https://a.example", "https://b.example"}));
  ASSERT_EQ(c->targets.size(), 2u);
  const Target& t = c->targets.at("office");
  EXPECT_EQ(t.name, "office");
  EXPECT_EQ(t.host, "10.0.0.5");
  EXPECT_EQ(t.port, 3390u);
  EXPECT_EQ(t.user, "alice");
  EXPECT_EQ(t.domain, "CORP");
  // Everything after the first '=' is the value: a password may hold '=' and '#'.
  EXPECT_EQ(t.password, "p = q # not a comment");
  EXPECT_EQ(t.flags, 0x03);
  EXPECT_EQ(t.fingerprints, "AA:BB,CC:DD");
  EXPECT_EQ(t.keyboard_layout, 0x407u);
  // Defaults where a target says nothing.
  const Target& lab = c->targets.at("lab-2.x_y");
  EXPECT_EQ(lab.port, 3389u);
  EXPECT_EQ(lab.flags, 0x01);
  EXPECT_TRUE(lab.password.empty());
  EXPECT_FALSE(lab.keyboard_layout);
}

TEST(WebConfig, ProfileKeysGiveTheirFields) {
  const struct {
    const char* line;
    uint16_t tag;
    std::vector<uint8_t> value;
  } rows[] = {
      {"load_balance_info = tsv://a", 9, {'t', 's', 'v', ':', '/', '/', 'a'}},
      {"preconnection_id = 0x10", 10, {0x10, 0, 0, 0}},
      {"preconnection_blob = b", 10, {0, 0, 0, 0, 'b'}},
      {"console = no", 11, {0}},
      {"shell = cmd", 12, {'c', 'm', 'd'}},
      {"shell_dir = C:\\", 13, {'C', ':', '\\'}},
      {"client_name = pc", 14, {'p', 'c'}},
      {"time_zone = UTC", 15, {'U', 'T', 'C'}},
      {"security = NLA", 16, {'N', 'L', 'A'}},
      {"color_depth = 16", 17, {16}},
      {"performance_flags = 0x81", 18, {0x81, 0, 0, 0}},
      {"network_type = 7", 19, {7}},
  };
  for (const auto& r : rows) {
    std::string error;
    const auto c = parse_config(std::string("[target a]\nhost = h\n") + r.line + "\n", &error);
    ASSERT_TRUE(c) << r.line << ": " << error;
    EXPECT_EQ(c->targets.at("a").profile, (ProfileFields{{r.tag, r.value}})) << r.line;
  }
}

TEST(WebConfig, RecordingsOfATarget) {
  std::string error;
  const auto c = parse_config(
      "[target a]\nhost = h\nrecord = /var/rec\nrecord_max_mb = 50\nrecord_max_days = 7\n"
      "record_what = picture,input\n",
      &error);
  ASSERT_TRUE(c) << error;
  const Target& t = c->targets.at("a");
  EXPECT_EQ(t.record_dir, "/var/rec");
  EXPECT_EQ(t.record_max_mb, 50u);
  EXPECT_EQ(t.record_max_days, 7u);
  EXPECT_EQ(t.record_what, 0x11u);
  // Named by target and UTC time; another target's (even one whose name starts alike) is not
  // this one's to prune.
  EXPECT_EQ(recording_name("a", 1796839805, 12), "a-20261209-181005-12.kvr");
  EXPECT_TRUE(is_recording_of("a", "a-20261209-181005-12.kvr"));
  EXPECT_FALSE(is_recording_of("a", "a-b-20261109-061005-12.kvr"));
  EXPECT_FALSE(is_recording_of("a", "a-20261209-181005-12.kvr.tmp"));
  EXPECT_FALSE(is_recording_of("a", "a-20261209-181005-/../x.kvr")) << "a name is never a path";
  EXPECT_FALSE(is_recording_of("a", "a-20261209-181005-.kvr"));
  // Older than 7 days go; then the oldest until the rest take 50 MiB.
  const std::vector<RecordingFile> files = {{"a-20261101-000000-1.kvr", 1, 8 * 86400},
                                            {"a-20261102-000000-2.kvr", 30u << 20, 86400},
                                            {"a-20261103-000000-3.kvr", 30u << 20, 3600},
                                            {"a-20261104-000000-4.kvr", 10u << 20, 60}};
  EXPECT_EQ(recordings_to_prune(files, 50, 7),
            (std::vector<std::string>{"a-20261101-000000-1.kvr", "a-20261102-000000-2.kvr"}));
}

TEST(WebConfig, EmptyTextIsTheDefaults) {
  std::string error;
  const auto c = parse_config("", &error);
  ASSERT_TRUE(c) << error;
  EXPECT_EQ(c->listen, "127.0.0.1") << "loopback unless told otherwise";
  EXPECT_EQ(c->port, 8080);
  EXPECT_TRUE(c->targets.empty());
}

struct Bad {
  const char* text;
  const char* error;  // the start of the reason
};

TEST(WebConfig, RefusesWhatItDoesNotUnderstand) {
  const Bad cases[] = {
      {"listen\n", "line 1: expected key = value"},
      {"# c\nfrobnicate = 1\n", "line 2: unknown setting frobnicate"},
      {"port = 65536\n", "line 1: port: 0-65535"},
      {"port = -1\n", "line 1: port: 0-65535"},
      {"port = 80x\n", "line 1: port: 0-65535"},
      {"port =\n", "line 1: port: 0-65535"},
      {"[target a]\nhost = h\nport = 0\n", "line 3: port: 1-65535"},
      {"[target a]\nhost = h\nport = 0x10000\n", "line 3: port: 1-65535"},
      {"[target a]\nhost = h\nflags = 256\n", "line 3: flags: 0-255"},
      {"[target a]\nhost = h\nkeyboard_layout = 0x100000000\n", "line 3: keyboard_layout"},
      {"[target a]\nhost = h\nkeyboard_layout = de\n", "line 3: keyboard_layout"},
      {"[target a]\nhost = h\nlisten = 0.0.0.0\n", "line 3: unknown target setting listen"},
      {"[target a]\nhost = h\nconsole = 1\n", "line 3: console: not yes or no"},
      {"[target a]\nhost = h\ncolor_depth = 8\n", "line 3: color_depth: the colour depth"},
      {"[target a]\nhost = h\nsecurity = kerberos\n", "line 3: security: unknown security"},
      {"[target a]\nhost = h\nrdp_file =\n", "line 3: rdp_file: a path"},
      {"[target a]\nhost = h\nrecord_max_days = 0\n", "line 3: record_max_days: 1-36500"},
      {"[target a]\nhost = h\nrecord_what = video\n", "line 3: record_what"},
      {"client_name = pc\n", "line 1: unknown setting client_name"},
      {"[targets a]\n", "line 1: expected [target NAME]"},
      {"[target a\n", "line 1: expected [target NAME]"},
      {"[target ]\n", "line 1: target names"},
      {"[target a b]\n", "line 1: target names"},
      {"[target host:3389]\n", "line 1: target names"},
      {"[target ../x]\n", "line 1: target names"},
      {"[target a]\nhost = h\n[target a]\nhost = h\n", "line 3: target a given twice"},
      {"[target a]\nuser = u\n", "target a has no host"},
  };
  for (const Bad& b : cases) {
    std::string error;
    EXPECT_FALSE(parse_config(b.text, &error)) << b.text;
    EXPECT_EQ(error.rfind(b.error, 0), 0u) << b.text << " gave: " << error;
  }
}

TEST(WebConfig, ErrorsNeverQuoteAPassword) {
  const std::string secret = "s3cr3t-Vq9";
  const std::string texts[] = {
      "[target a]\npassword = " + secret + "\n",                   // no host
      "[target a]\nhost = h\npassword = " + secret + "\nbogus\n",  // a later bad line
      "[target a]\nhost = h\npassword " + secret + "\n",           // no '=': the line is bad
  };
  for (const auto& text : texts) {
    std::string error;
    EXPECT_FALSE(parse_config(text, &error));
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(error.find(secret), std::string::npos) << error;
  }
}

TEST(WebConfig, TargetNames) {
  EXPECT_TRUE(valid_target_name("a"));
  EXPECT_TRUE(valid_target_name("Office-2_b.c"));
  EXPECT_TRUE(valid_target_name(std::string(64, 'x')));
  EXPECT_FALSE(valid_target_name(std::string(65, 'x')));
  EXPECT_FALSE(valid_target_name(""));
  for (const char* name : {"a b", "a/b", "a:1", "a%2e", "é", "a\nb", "a\"b"}) {
    EXPECT_FALSE(valid_target_name(name)) << name;
  }
}

TEST(WebConfig, LoadNamesTheFile) {
  std::string error;
  EXPECT_FALSE(load_config("/nonexistent/korvane-web.conf", &error));
  EXPECT_NE(error.find("/nonexistent/korvane-web.conf"), std::string::npos) << error;
}

// A target's rdp_file, beside the configuration: its bytes as they are, or the gateway refuses
// to start.
TEST(WebConfig, LoadReadsTheRdpFiles) {
  const auto dir = std::filesystem::path(testing::TempDir()) / "korvane-web-config-test";
  std::filesystem::create_directories(dir);
  const std::string conf = (dir / "k.conf").string();
  std::ofstream(conf) << "[target a]\nhost = h\nrdp_file = a.rdp\n";
  const std::string utf16{'\xFF', '\xFE', 'a', '\0'};  // BOM, 'a' and its zero byte
  const struct {
    std::optional<std::string> bytes;  // nullopt: no file
    std::string why;                   // empty: read
  } rows[] = {{utf16, ""},
              {std::string(32769, 'a'), "target a: " + (dir / "a.rdp").string() + ": the .rdp"},
              {"", "the .rdp text is empty"},
              {std::nullopt, "a.rdp: cannot be read: No such file"}};
  for (const auto& r : rows) {
    std::filesystem::remove(dir / "a.rdp");
    if (r.bytes) std::ofstream(dir / "a.rdp", std::ios::binary) << *r.bytes;
    std::string error;
    const auto c = load_config(conf, &error);
    EXPECT_EQ(c.has_value(), r.why.empty()) << error;
    EXPECT_NE(error.find(r.why), std::string::npos) << error;
    if (c) {
      EXPECT_EQ(c->targets.at("a").profile.at(8), std::vector<uint8_t>(utf16.begin(), utf16.end()));
    }
  }
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace korvane::web
