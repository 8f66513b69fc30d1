// The opt-in extensions against the scripted test server: a host that asks for none gets the
// very bytes it always got, and one that asks gets what it was granted.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>

#include "host_link/extensions.hpp"
#include "host_link/session_extensions.hpp"
#include "rig.hpp"

using namespace korvane;
using namespace korvane::e2e;
using namespace std::chrono;

namespace {

// One line per frame: type, payload length and a hash of the payload.
std::string describe_stream(const std::vector<host::Frame>& frames) {
  std::ostringstream out;
  for (const auto& f : frames) {
    char line[64];
    std::snprintf(line, sizeof line, "%u %zu %016llx\n", f.type, f.payload.size(),
                  static_cast<unsigned long long>(fnv1a(f.payload)));
    out << line;
  }
  return out.str();
}

}  // namespace

// A host written for the base protocol: every frame of a whole session (connect, pictures,
// a server-side resize, the end) must stay byte for byte what it was before the extensions.
// KORVANE_GOLDEN_RECORD=1 rewrites the golden file from the binary under test.
TEST(Compat, BaseSessionIsByteIdentical) {
  ConnectRequest r;
  r.width = 320;
  r.height = 240;
  auto rig = start_rig({"fill 0 0 64 64 FF0000", "pattern 30 40 100 50 7", "resize 400 300",
                        "fill 10 10 20 20 00FF00", "full 9", "sleep 300", "end"},
                       r);
  ASSERT_TRUE(rig);
  std::vector<host::Frame> frames;
  const auto keep = [&](const host::Frame& f) { frames.push_back(f); };
  ASSERT_TRUE(host::wait_for_event(*rig->korvane, EVT_CONNECTED, 20000, keep))
      << korvane_stderr(*rig) << server_log(*rig);
  // Extension commands from a host that asked for none are unknown types: dropped.
  ASSERT_TRUE(host::send_command(*rig->korvane, CMD_RESIZE, encode_size(800, 600)));
  ASSERT_TRUE(host::send_command(*rig->korvane, CMD_CURSOR_STATE));
  const auto end = host::finish_session(*rig->korvane, 20000, keep, false);
  ASSERT_TRUE(end.disconnected) << korvane_stderr(*rig);
  ASSERT_TRUE(end.exit);
  EXPECT_EQ(end.exit->code, 0);
  EXPECT_EQ(server_log(*rig).find("DISP"), std::string::npos);

  const std::string path = std::string(KORVANE_SOURCE_DIR) + "/tests/e2e/golden/base_session.txt";
  const std::string got = describe_stream(frames);
  if (const char* rec = std::getenv("KORVANE_GOLDEN_RECORD"); rec && std::string(rec) == "1") {
    std::ofstream(path) << got;
    GTEST_SKIP() << "recorded " << path;
  }
  EXPECT_EQ(got, test::read_file(path));
}

TEST(Extended, GrantComesFirstAndAServerWithoutDisplayControlRefusesResize) {
  // Unknown bits and fields are what a newer host may send: skipped, not granted.
  std::vector<ExtensionField> fields = {{FIELD_H264_CODECS, {H264_AVC420 | 0x80}},
                                        {0x7777, {1, 2, 3}}};
  auto rig = start_rig({"sleep 30000"}, {}, "tls", {},
                       encode_extensions(EXT_CURSOR | EXT_RESIZE | EXT_H264 | 0x40000000, fields));
  ASSERT_TRUE(rig);
  host::Frame first;
  ASSERT_EQ(host::next_event(*rig->korvane, 20000, first), host::ReadStatus::frame);
  ASSERT_EQ(first.type, EVT_EXTENSIONS) << korvane_stderr(*rig);
  const auto grant = parse_grant(first.payload);
  ASSERT_TRUE(grant);
  EXPECT_EQ(grant->mask, EXT_CURSOR | EXT_RESIZE | EXT_H264);
  EXPECT_EQ(grant->h264_codecs, H264_AVC420);
  ASSERT_TRUE(host::wait_for_event(*rig->korvane, EVT_CONNECTED, 20000));

  // Before the server set any pointer, the state is the system arrow.
  ASSERT_TRUE(host::send_command(*rig->korvane, CMD_CURSOR_STATE));
  EXPECT_TRUE(host::wait_for_event(*rig->korvane, EVT_CURSOR_DEFAULT, 5000));

  ASSERT_TRUE(host::send_command(*rig->korvane, CMD_RESIZE, encode_size(800, 600)));
  // A resize command cut short is dropped, not read past its end.
  ASSERT_TRUE(host::send_command(*rig->korvane, CMD_RESIZE, std::vector<uint8_t>{1, 2, 3}));
  const auto refused = host::wait_for_event(*rig->korvane, EVT_RESIZE_REFUSED, 10000);
  ASSERT_TRUE(refused) << korvane_stderr(*rig);
  ASSERT_EQ(refused->payload.size(), 9u);
  EXPECT_EQ(u32_at(*refused, 0), 800u);
  EXPECT_EQ(u32_at(*refused, 4), 600u);
  EXPECT_EQ(refused->payload[8], RESIZE_REFUSED_NO_CHANNEL);
  const auto end = host::finish_session(*rig->korvane, 10000);
  EXPECT_TRUE(end.disconnected);
  ASSERT_TRUE(end.exit);
  EXPECT_EQ(end.exit->code, 0);
}

TEST(Extended, MalformedBlocksAreRefusedBeforeConnecting) {
  const std::vector<uint8_t> magic(std::begin(kExtensionMagic), std::end(kExtensionMagic));
  auto with = [&](std::vector<uint8_t> tail) {
    std::vector<uint8_t> b = magic;
    b.insert(b.end(), tail.begin(), tail.end());
    return b;
  };
  // Every kind of malformed block is in ExtensionParse.BadBlocks; two reach korvane here.
  const std::vector<std::vector<uint8_t>> cases = {
      with({1, 0}),                                      // mask cut short
      with({4, 0, 0, 0, 1, 0, 1, 0, 1, 1, 0, 1, 0, 1}),  // a field given twice
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(i);
    const EarlyEnd e = run_without_server(cases[i]);
    EXPECT_EQ(e.types, std::vector<uint8_t>{EVT_ERROR});
    EXPECT_EQ(e.error, "Malformed extension block");
    ASSERT_TRUE(e.exit);
    EXPECT_EQ(e.exit->code, 1);
  }
}

TEST(Extended, ReactivationThatReopensTheGraphicsChannelKeepsTheSession) {
  test::TempDir scratch = test::make_temp_dir("korvane-reactivate");
  const std::string path = scratch.path + "/server.rgba";
  auto rig = start_rig({"gfx-open", "wait-layouts 1 20000", "gfx-surface 1 640 480",
                        "gfx-map 1 0 0", "gfx-fill 1 0 0 640 480 204080",
                        "gfx-fill 1 10 20 30 40 FF8000", "dump " + path, "sleep 500", "end"},
                       ConnectRequest{.width = 1024, .height = 768}, "tls",
                       {"--disp", "reactivate"}, encode_extensions(EXT_RESIZE));
  ASSERT_TRUE(rig);
  host::Canvas canvas;
  bool disconnected = false;
  std::vector<std::pair<uint32_t, uint32_t>> sizes;  // of each EVT_RESIZE
  const auto paint = [&](const host::Frame& f) {
    if (f.type == EVT_RESIZE) sizes.emplace_back(u32_at(f, 0), u32_at(f, 4));
    if (f.type == EVT_CONNECTED || f.type == EVT_RESIZE)
      host::resize_canvas(canvas, u32_at(f, 0), u32_at(f, 4));
    if (f.type == EVT_RECT) host::paint_rect(canvas, f.payload);
    disconnected |= f.type == EVT_DISCONNECTED;
  };
  ASSERT_TRUE(host::wait_for_event(*rig->korvane, EVT_CONNECTED, 20000, paint));
  ASSERT_TRUE(pump_until_line(*rig, std::regex("^GFX-OPEN"), 20000)) << server_log(*rig);
  ASSERT_TRUE(host::send_command(*rig->korvane, CMD_RESIZE, encode_size(640, 480)));
  const auto end = host::finish_session(*rig->korvane, 30000, paint, false);
  EXPECT_TRUE(disconnected) << korvane_stderr(*rig) << server_log(*rig);
  ASSERT_TRUE(end.exit);
  EXPECT_EQ(end.exit->code, 0);
  ASSERT_FALSE(sizes.empty());
  EXPECT_EQ(sizes.back(), std::make_pair(640u, 480u));
  const std::string log = server_log(*rig);
  EXPECT_EQ(
      std::ranges::count_if(test::lines_of(*rig->server.process),
                            [](const std::string& l) { return l.rfind("GFX-CLOSED", 0) == 0; }),
      1)
      << log;
  const std::string reference = test::read_file(path);
  ASSERT_EQ(reference.size(), 640u * 480u * 4u) << log;
  EXPECT_EQ(first_difference(reference, canvas), "");
}

namespace {

std::vector<uint8_t> status_block(uint32_t timeout_ms = 0) {
  std::vector<ExtensionField> fields;
  if (timeout_ms) {
    std::vector<uint8_t> v;
    append_u32(v, timeout_ms);
    fields.push_back({FIELD_CONNECT_TIMEOUT, v});
  }
  return encode_extensions(EXT_STATUS, fields);
}

}  // namespace

TEST(Status, ProgressInOrderAndTheServersReasonBeforeTheEnd) {
  const struct {
    const char* step;
    EndCategory category;
    uint32_t error_info;
    bool host_disconnects = false;
  } cases[] = {
      {"end", EndCategory::logged_off, 0},  // the server library says logoff by user
      {"end-reason 0xC", EndCategory::logged_off, 0xC},
      {"end-reason 0x5", EndCategory::taken_over, 0x5},
      {"end-reason 0x3", EndCategory::timed_out, 0x3},
      {"end-reason 0x7", EndCategory::server_denied, 0x7},
      {"sleep 30000", EndCategory::host_requested, 0, true},  // the host disconnects
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.step);
    auto rig = start_rig({"sleep 200", c.step}, {}, "tls", {}, status_block());
    ASSERT_TRUE(rig);
    const StatusEnding e = read_status_session(*rig->korvane, c.host_disconnects, 20000);
    ASSERT_TRUE(e.exit);
    EXPECT_EQ(e.exit->code, 0) << korvane_stderr(*rig);
    std::string seen;
    for (uint8_t t : e.types) seen += std::to_string(t) + " ";
    ASSERT_GE(e.types.size(), 8u) << seen;
    EXPECT_EQ(e.types.front(), EVT_EXTENSIONS);
    EXPECT_EQ(e.progress, (std::vector<uint8_t>{PROGRESS_CONNECTING, PROGRESS_SECURITY_UP,
                                                PROGRESS_AUTHENTICATED, PROGRESS_LOGON_COMPLETE}));
    // The connection steps all come before EVT_CONNECTED.
    const auto connected = std::find(e.types.begin(), e.types.end(), EVT_CONNECTED);
    ASSERT_NE(connected, e.types.end());
    EXPECT_EQ(std::count(connected, e.types.end(), EVT_PROGRESS), 0);
    ASSERT_TRUE(e.reason);
    EXPECT_EQ(e.reason->category, c.category)
        << e.reason->last_error_name << " " << e.reason->error_info_name;
    if (c.error_info) {
      EXPECT_EQ(e.reason->error_info, c.error_info);
    }
    // Then, and only then, the end.
    ASSERT_GE(e.types.size(), 2u);
    EXPECT_EQ(e.types[e.types.size() - 2], EVT_END_REASON);
    EXPECT_EQ(e.types.back(), EVT_DISCONNECTED);
  }
}

TEST(Status, FailuresAreTypedBesideTheUnchangedErrorText) {
  // A port that accepts and then says nothing.
  const int silent = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(silent, 0);
  sockaddr_in addr = test::loopback(0);
  ASSERT_EQ(bind(silent, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(listen(silent, 4), 0);
  socklen_t len = sizeof addr;
  getsockname(silent, reinterpret_cast<sockaddr*>(&addr), &len);
  const uint16_t silent_port = ntohs(addr.sin_port);

  // A closed port; the silent one with a connect time-out of 1.5 s.
  const struct {
    uint16_t port;
    uint32_t timeout_ms;
    EndCategory category;
  } ports[] = {{test::free_tcp_port(), 0, EndCategory::unreachable},
               {silent_port, 1500, EndCategory::timed_out}};
  for (const auto& c : ports) {
    SCOPED_TRACE(c.timeout_ms ? "silent port" : "closed port");
    const auto start = steady_clock::now();
    Rig rig;  // korvane alone, connecting to the port
    rig.scratch = test::make_temp_dir("korvane-status");
    ASSERT_TRUE(start_korvane(rig, {.username = "test", .password = "test"},
                              status_block(c.timeout_ms), c.port));
    const StatusEnding e = read_status_session(*rig.korvane, false, 20000);
    EXPECT_LT(steady_clock::now() - start, 10s);
    ASSERT_TRUE(e.reason);
    EXPECT_EQ(e.reason->category, c.category) << e.reason->last_error_name;
    EXPECT_EQ(e.error_text.rfind("Connect failed: 0x", 0), 0u) << e.error_text;
    if (!c.timeout_ms) {
      EXPECT_EQ(e.types,
                (std::vector<uint8_t>{EVT_EXTENSIONS, EVT_PROGRESS, EVT_END_REASON, EVT_ERROR}));
    }
    ASSERT_TRUE(e.exit);
    EXPECT_EQ(e.exit->code, 1);
  }
  close(silent);

  const struct {
    const char* what;
    std::string sec;
    uint8_t flags;
    std::string password;
    EndCategory category;
  } servers[] = {
      {"wrong password with NLA", "nla", CONNECT_FLAG_NLA, "wrong",
       EndCategory::authentication_failed},
      {"server takes only NLA, client offers TLS", "nla", CONNECT_FLAG_TLS, "test",
       EndCategory::server_denied},
  };
  for (const auto& c : servers) {
    SCOPED_TRACE(c.what);
    ConnectRequest r;
    r.flags = c.flags;
    r.username = "test";
    r.password = c.password;
    auto rig = start_rig({"sleep 5000"}, r, c.sec, {}, status_block());
    ASSERT_TRUE(rig);
    const StatusEnding e = read_status_session(*rig->korvane, false, 30000);
    ASSERT_TRUE(e.reason) << korvane_stderr(*rig);
    EXPECT_EQ(e.reason->category, c.category)
        << e.reason->last_error_name << " " << e.reason->error_info_name;
    EXPECT_EQ(e.error_text.rfind("Connect failed: 0x", 0), 0u) << e.error_text;
    EXPECT_EQ(e.types.back(), EVT_ERROR);
    EXPECT_EQ(e.types[e.types.size() - 2], EVT_END_REASON);
  }
}
