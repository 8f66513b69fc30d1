// korvane against a real RDP server: FreeRDP's shadow server sharing a private Xvfb desktop.
// What korvane sends must let a host rebuild the very picture X shows, input must reach the
// display, and the security modes and endings must behave as the host link promises.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <regex>
#include <thread>

#include "host/desktop.hpp"
#include "host/session.hpp"
#include "host_link/protocol.hpp"
#include "shadow_fixture.hpp"
#include "x_display.hpp"

namespace {

using namespace korvane;
using namespace korvane::test;
using Clock = std::chrono::steady_clock;

long elapsed_ms(Clock::time_point since) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

class ShadowTest : public ShadowDesktop {
 protected:
  void start_server(ShadowSecurity security) {
    start_shadow_server(ShadowOptions{.security = security});
  }

  std::optional<host::Session> open(uint8_t flags, const std::string& password = "test") {
    std::string error;
    auto s = host::start_session(session_options(flags, password), &error);
    EXPECT_TRUE(s) << error;
    return s;
  }

  // The first frame must be EVT_CONNECTED at the desktop's size, after `pump_ms` of painting.
  std::optional<host::Session> connected(ShadowSecurity security, uint8_t flags,
                                         host::Desktop& desktop, int pump_ms,
                                         const std::string& password = "test") {
    start_server(security);
    auto s = open(flags, password);
    if (!s) return s;
    expect_connected(*s, desktop);
    if (HasFatalFailure()) return std::nullopt;
    host::pump_events(*s, pump_ms, [&](const host::Frame& f) { host::apply_event(desktop, f); });
    return s;
  }

  // Ends the session the way a host does and checks it ended cleanly and quickly.
  void expect_quick_clean_disconnect(host::Session& s, host::Desktop& desktop) {
    const auto t0 = Clock::now();
    ASSERT_NO_FATAL_FAILURE(expect_clean_disconnect(s, desktop));
    EXPECT_LT(elapsed_ms(t0), 2500) << "from CMD_DISCONNECT to korvane's exit";
    host::Frame after;
    EXPECT_EQ(host::next_event(s, 1000, after), host::ReadStatus::eof)
        << "EVT_DISCONNECTED must be the last frame";
  }
};

TEST_F(ShadowTest, TlsCanvasRebuildsTheScreen) {
  host::Desktop desktop;
  auto s = connected(ShadowSecurity::tls, CONNECT_FLAG_TLS, desktop, 2500);
  ASSERT_TRUE(s);
  EXPECT_EQ(desktop.problems, 0u) << desktop.last_problem;
  EXPECT_FALSE(desktop.error) << *desktop.error;
  EXPECT_GT(desktop.rects + desktop.h264.stats.pictures, 0u) << "nothing was painted";
  EXPECT_EQ(desktop.h264.stats.errors, 0u);
  expect_canvas_matches_screen(desktop, x);
  expect_quick_clean_disconnect(*s, desktop);
}

TEST_F(ShadowTest, PointerMovesReachTheDisplayAndComeBackAsPixels) {
  start_server(ShadowSecurity::tls);
  auto s = open(CONNECT_FLAG_TLS);
  ASSERT_TRUE(s);
  host::Desktop desktop;
  expect_connected(*s, desktop);
  auto paint = [&](const host::Frame& f) { host::apply_event(desktop, f); };
  host::pump_events(*s, 1000, paint);
  std::string error;
  auto before = screenshot(x, &error);
  ASSERT_TRUE(before) << error;

  // xeyes, at 420..660 x 120..280, looks at the pointer: moving it far away redraws the eyes.
  ASSERT_TRUE(host::send_command(*s, CMD_MOUSE_MOVE, host::mouse_move_payload(1000, 740)));
  std::string where;
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (Clock::now() < deadline) {
    host::pump_events(*s, 200, paint);
    run_x(x, {"xdotool", "getmouselocation"}, &where);
    if (where.rfind("x:1000 y:740 ", 0) == 0) break;
  }
  EXPECT_EQ(where.rfind("x:1000 y:740 ", 0), 0u) << "pointer at " << where;

  host::pump_events(*s, 1500, paint);
  auto after = screenshot(x, &error);
  ASSERT_TRUE(after) << error;
  auto moved = compare_rgb(*before, *after, 0);
  ASSERT_TRUE(moved);
  EXPECT_LT(moved->within, 1.0) << "the eyes did not follow the pointer";
  EXPECT_EQ(desktop.problems, 0u) << desktop.last_problem;
  expect_canvas_matches_screen(desktop, x);
  expect_quick_clean_disconnect(*s, desktop);
}

TEST_F(ShadowTest, NlaWithTheRightPasswordConnects) {
  host::Desktop desktop;
  auto s = connected(ShadowSecurity::nla, CONNECT_FLAG_NLA, desktop, 1000);
  ASSERT_TRUE(s);
  EXPECT_FALSE(desktop.error);
  expect_quick_clean_disconnect(*s, desktop);
}

TEST_F(ShadowTest, NlaWithAWrongPasswordIsOneErrorAndExitOne) {
  start_server(ShadowSecurity::nla);
  auto s = open(CONNECT_FLAG_NLA, "not-the-password");
  ASSERT_TRUE(s);
  std::vector<host::Frame> frames;
  host::ReadStatus end = host::ReadStatus::frame;
  const auto deadline = Clock::now() + std::chrono::seconds(30);
  while (Clock::now() < deadline) {
    host::Frame f;
    end = host::next_event(*s, 1000, f);
    if (end == host::ReadStatus::frame) {
      frames.push_back(std::move(f));
      continue;
    }
    if (end != host::ReadStatus::timeout) break;
  }
  EXPECT_EQ(end, host::ReadStatus::eof);
  ASSERT_EQ(frames.size(), 1u) << "exactly one frame, the error";
  EXPECT_EQ(frames[0].type, EVT_ERROR);
  const std::string text(frames[0].payload.begin(), frames[0].payload.end());
  EXPECT_TRUE(std::regex_search(text, std::regex("^Connect failed: 0x[0-9A-Fa-f]{8}"))) << text;
  auto exit = host::wait_exit(s->child, 10000);
  ASSERT_TRUE(exit);
  EXPECT_TRUE(exit->exited()) << host::describe(*exit);
  EXPECT_EQ(exit->code, 1);
}

TEST_F(ShadowTest, TlsSecurityLevelZeroConnects) {
  host::Desktop desktop;
  auto s =
      connected(ShadowSecurity::tls, CONNECT_FLAG_TLS | CONNECT_FLAG_TLS_SECLEVEL0, desktop, 1500);
  ASSERT_TRUE(s);
  EXPECT_EQ(desktop.problems, 0u) << desktop.last_problem;
  expect_canvas_matches_screen(desktop, x);
  expect_quick_clean_disconnect(*s, desktop);
}

TEST_F(ShadowTest, ServerGoingAwayEndsTheSessionWithoutAHost) {
  host::Desktop desktop;
  auto s = connected(ShadowSecurity::tls, CONNECT_FLAG_TLS, desktop, 500);
  ASSERT_TRUE(s);
  host::terminate(shadow->process, 2000);
  // korvane notices on its own: the session ends, and the last frame is EVT_DISCONNECTED or a
  // single EVT_ERROR; either way it exits.
  const host::Ending e = host::finish_session(
      *s, 20000, [&](const host::Frame& f) { host::apply_event(desktop, f); }, false);
  ASSERT_TRUE(e.exit) << "korvane kept running after its server went away";
  EXPECT_TRUE(e.disconnected || e.error);
  EXPECT_EQ(e.exit->code, e.disconnected ? 0 : 1) << host::describe(*e.exit);
}

}  // namespace
