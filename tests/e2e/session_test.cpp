// Whole sessions against the scripted test server: how they start, end and fail, the security
// modes, and the redirected drive.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <regex>

#include "proc_stats.hpp"
#include "rig.hpp"

using namespace korvane;
using namespace korvane::e2e;
using namespace std::chrono;

TEST(Session, ConnectedFirstWithRequestedSizeThenHostDisconnect) {
  ConnectRequest r;
  r.width = 1024;
  r.height = 768;
  auto rig = start_rig({"sleep 30000"}, r);
  ASSERT_TRUE(rig);
  host::Frame first;
  ASSERT_EQ(host::next_event(*rig->korvane, 20000, first), host::ReadStatus::frame);
  ASSERT_EQ(first.type, EVT_CONNECTED) << korvane_stderr(*rig);
  ASSERT_EQ(first.payload.size(), 8u);
  EXPECT_EQ(u32_at(first, 0), 1024u);
  EXPECT_EQ(u32_at(first, 4), 768u);
  ASSERT_TRUE(
      test::wait_for_prefix(*rig->server.process, "CONNECTED width=1024 height=768", 10000));
  // Idle, the event loop sleeps in its wait: it once spun there on an event that never reset
  // itself (the display channel's limits set it), a core's worth of CPU for the whole session.
  const uint64_t busy = test::run_ns(rig->korvane->child.pid);
  host::pump_events(*rig->korvane, 1500, [](const host::Frame&) {});
  EXPECT_LT(test::run_ns(rig->korvane->child.pid) - busy, 300'000'000u) << "ns of CPU, idle";

  // A disconnect with a payload ends the session like an empty one.
  const auto start = steady_clock::now();
  ASSERT_TRUE(host::send_command(*rig->korvane, CMD_DISCONNECT, std::vector<uint8_t>{1, 2, 3}));
  const auto end = host::finish_session(*rig->korvane, 10000, {}, false);
  EXPECT_TRUE(end.disconnected) << korvane_stderr(*rig);
  EXPECT_LT(steady_clock::now() - start, 1s);
  ASSERT_TRUE(end.exit);
  EXPECT_EQ(end.exit->code, 0);
}

TEST(Session, ServerEndsTheSession) {
  auto rig = start_rig({"sleep 300", "end"});
  ASSERT_TRUE(rig);
  ASSERT_TRUE(host::wait_for_event(*rig->korvane, EVT_CONNECTED, 20000));
  // The host keeps its end of stdin open: teardown itself must release the input thread.
  const auto end = host::finish_session(*rig->korvane, 15000, {}, false);
  EXPECT_TRUE(end.disconnected) << korvane_stderr(*rig);
  ASSERT_TRUE(end.exit);
  EXPECT_EQ(end.exit->code, 0);
}

TEST(Session, DisconnectSentWhileConnectingEndsTheSessionOnceUp) {
  auto rig = start_rig({"sleep 30000"});
  ASSERT_TRUE(rig);
  ASSERT_TRUE(host::send_command(*rig->korvane, CMD_DISCONNECT));
  std::vector<uint8_t> types;
  const auto end = host::finish_session(
      *rig->korvane, 20000, [&](const host::Frame& f) { types.push_back(f.type); }, false);
  EXPECT_TRUE(end.disconnected) << korvane_stderr(*rig);
  ASSERT_FALSE(types.empty());
  EXPECT_EQ(types.front(), EVT_CONNECTED);
  EXPECT_EQ(types.back(), EVT_DISCONNECTED);
  ASSERT_TRUE(end.exit);
  EXPECT_EQ(end.exit->code, 0);
}

TEST(Session, HostClosingStdinLeavesTheSessionRunningUntilTheServerEndsIt) {
  auto rig = start_rig({"wait-input 1", "sleep 500", "fill 5 6 7 8 00FF00", "sleep 300", "end"});
  ASSERT_TRUE(rig);
  ASSERT_TRUE(host::wait_for_event(*rig->korvane, EVT_CONNECTED, 20000));
  ASSERT_TRUE(host::send_command(*rig->korvane, CMD_MOUSE_MOVE, host::mouse_move_payload(1, 2)));
  host::close_stdin(rig->korvane->child);
  bool saw_fill = false;
  const auto end = host::finish_session(
      *rig->korvane, 20000,
      [&](const host::Frame& f) {
        if (f.type == EVT_RECT && u32_at(f, 0) == 5 && u32_at(f, 4) == 6 && u32_at(f, 8) == 7)
          saw_fill = true;
      },
      false);
  EXPECT_TRUE(saw_fill) << "the session stopped when stdin closed";
  EXPECT_TRUE(end.disconnected) << korvane_stderr(*rig);
  ASSERT_TRUE(end.exit);
  EXPECT_EQ(end.exit->code, 0);
}

TEST(Session, DisconnectIsHonouredUnderAContinuousStream) {
  // The server never pauses; the stop request must still end the loop promptly.
  auto rig = start_rig({"flood 100000000"}, ConnectRequest{.width = 800, .height = 600});
  ASSERT_TRUE(rig);
  ASSERT_TRUE(host::wait_for_event(*rig->korvane, EVT_CONNECTED, 20000));
  ASSERT_TRUE(test::wait_for_prefix(*rig->server.process, "STEP n=1", 10000));
  // Let the stream fill every buffer between the two.
  int rects = 0;
  host::pump_events(*rig->korvane, 500, [&](const host::Frame& f) { rects += f.type == EVT_RECT; });
  ASSERT_GT(rects, 3);
  const auto start = steady_clock::now();
  const auto end = host::finish_session(*rig->korvane, 10000);
  const auto took = steady_clock::now() - start;
  EXPECT_TRUE(end.disconnected) << korvane_stderr(*rig);
  EXPECT_LT(took, 1s) << duration_cast<milliseconds>(took).count() << " ms";
  ASSERT_TRUE(end.exit);
  EXPECT_EQ(end.exit->code, 0);
}

struct SecurityCase {
  const char* name;
  const char* server_sec;
  uint8_t flags;
  const char* password;
  bool connects;
};

class Security : public ::testing::TestWithParam<SecurityCase> {};

TEST_P(Security, ConnectsOrFailsAsExpected) {
  const SecurityCase& c = GetParam();
  ConnectRequest r;
  r.flags = c.flags;
  r.username = "test";
  r.password = c.password;
  auto rig = start_rig({"sleep 30000"}, r, c.server_sec);
  ASSERT_TRUE(rig);
  host::Frame first;
  ASSERT_EQ(host::next_event(*rig->korvane, 30000, first), host::ReadStatus::frame);
  if (c.connects) {
    EXPECT_EQ(first.type, EVT_CONNECTED)
        << std::string(first.payload.begin(), first.payload.end()) << "\n"
        << korvane_stderr(*rig);
    const auto end = host::finish_session(*rig->korvane, 10000);
    EXPECT_TRUE(end.disconnected) << korvane_stderr(*rig);
    ASSERT_TRUE(end.exit);
    EXPECT_EQ(end.exit->code, 0);
  } else {
    ASSERT_EQ(first.type, EVT_ERROR);
    const std::string text(first.payload.begin(), first.payload.end());
    EXPECT_EQ(text.rfind("Connect failed: 0x", 0), 0u) << text;
    host::Frame more;
    EXPECT_EQ(host::next_event(*rig->korvane, 10000, more), host::ReadStatus::eof);
    const auto exit = host::wait_exit(rig->korvane->child, 10000);
    ASSERT_TRUE(exit);
    EXPECT_EQ(exit->code, 1);
  }
}

INSTANTIATE_TEST_SUITE_P(
    TestServer, Security,
    ::testing::Values(SecurityCase{"tls", "tls", CONNECT_FLAG_TLS, "test", true},
                      SecurityCase{"tls_seclevel0", "tls",
                                   CONNECT_FLAG_TLS | CONNECT_FLAG_TLS_SECLEVEL0, "test", true},
                      SecurityCase{"nla", "nla", CONNECT_FLAG_NLA, "test", true},
                      SecurityCase{"nla_wrong_password", "nla", CONNECT_FLAG_NLA, "nope", false},
                      SecurityCase{"rdp_security", "rdp", 0, "test", true}),
    [](const auto& test_case) { return std::string(test_case.param.name); });

TEST(Session, RedirectedDriveIsNamedTessaranAndServesItsFiles) {
  auto share = test::make_temp_dir("korvane-share");
  std::string content;
  for (int i = 0; i < 3000; ++i) content.push_back(static_cast<char>((i * 37 + 11) & 0xFF));
  {
    std::ofstream out(share.path + "/hello.bin", std::ios::binary);
    out << content;
  }
  ConnectRequest r;
  r.flags = CONNECT_FLAG_TLS;
  r.drive = share.path;
  auto rig = start_rig({"read-file hello.bin", "sleep 30000"}, r);
  ASSERT_TRUE(rig);
  ASSERT_TRUE(host::wait_for_event(*rig->korvane, EVT_CONNECTED, 20000));
  const auto device = pump_until_line(*rig, std::regex("^DEVICE type=8 "), 20000);
  ASSERT_TRUE(device) << server_log(*rig) << korvane_stderr(*rig);
  EXPECT_NE(device->find("name=Tessaran"), std::string::npos) << *device;
  const auto file = pump_until_line(*rig, std::regex("^FILE name=hello.bin"), 20000);
  ASSERT_TRUE(file) << server_log(*rig);
  static const char* hex = "0123456789abcdef";
  std::string expected;
  for (unsigned char c : content) {
    expected.push_back(hex[c >> 4]);
    expected.push_back(hex[c & 15]);
  }
  const auto pos = file->find("bytes=");
  ASSERT_NE(pos, std::string::npos);
  std::string got = file->substr(pos + 6);
  std::transform(got.begin(), got.end(), got.begin(), ::tolower);
  EXPECT_EQ(got, expected);
  host::finish_session(*rig->korvane, 10000);
}
