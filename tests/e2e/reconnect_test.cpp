// A host that asked for reconnection: the connection to the server is cut by a proxy between the
// two, and korvane makes it again, or gives up, or leaves alone what the server ended.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "host/canvas.hpp"
#include "host/session.hpp"
#include "host_link/extensions.hpp"
#include "host_link/protocol.hpp"
#include "host_link/session_extensions.hpp"
#include "logged_process.hpp"
#include "net.hpp"
#include "rig.hpp"
#include "tcp_proxy.hpp"

namespace korvane {
namespace {

struct ProxiedRig {
  test::TempDir scratch;
  test::TestServer server;
  std::optional<test::TcpProxy> proxy;
  std::optional<host::Session> korvane;
  // Where the next look into the server's log starts, for each kind of line waited for.
  size_t dump_cursor = 0;
  size_t input_cursor = 0;
};

std::vector<uint8_t> reconnect_block(uint32_t extra_mask, uint16_t attempts, uint16_t backoff_ms) {
  std::vector<uint8_t> v;
  append_u16(v, attempts);
  append_u16(v, backoff_ms);
  const ExtensionField fields[] = {{FIELD_RECONNECT, v}};
  return encode_extensions(EXT_RECONNECT | extra_mask, fields);
}

// The test server serves `sessions` activations one after another, each running the steps.
std::optional<ProxiedRig> start_proxied(const std::vector<std::string>& steps, unsigned sessions,
                                        std::vector<uint8_t> block) {
  ProxiedRig rig;
  rig.scratch = test::make_temp_dir("korvane-reconnect");
  test::TestServerOptions so;
  so.path = KORVANE_TEST_SERVER_PATH;
  so.sec = "tls";
  so.user = "test";
  so.password = "test";
  so.steps = steps;
  so.extra = {"--sessions", std::to_string(sessions)};
  so.stderr_path = rig.scratch.path + "/server.err";
  std::string error;
  auto server = test::start_test_server(so, &error);
  if (!server) {
    ADD_FAILURE() << "test server: " << error;
    return std::nullopt;
  }
  rig.server = std::move(*server);
  rig.proxy = test::start_tcp_proxy(rig.server.port, &error);
  if (!rig.proxy) {
    ADD_FAILURE() << error;
    return std::nullopt;
  }
  host::SessionOptions ko;
  ko.korvane_path = KORVANE_PATH;
  ko.request.host = "127.0.0.1";
  ko.request.port = rig.proxy->port;
  ko.request.flags = CONNECT_FLAG_TLS;
  ko.extension_block = std::move(block);
  ko.stderr_path = rig.scratch.path + "/korvane.err";
  rig.korvane = host::start_session(ko, &error);
  if (!rig.korvane) {
    ADD_FAILURE() << "korvane: " << error;
    return std::nullopt;
  }
  return rig;
}

std::string korvane_stderr(ProxiedRig& rig) {
  return test::read_file(rig.scratch.path + "/korvane.err");
}
std::string server_log(ProxiedRig& rig) { return test::output_of(*rig.server.process); }

size_t count_lines(const std::string& log, const std::string& prefix) {
  size_t n = 0;
  size_t pos = 0;
  while ((pos = log.find(prefix, pos)) != std::string::npos) {
    n += pos == 0 || log[pos - 1] == '\n';
    pos += prefix.size();
  }
  return n;
}

// The host's view: every event type in order, the reconnection events, and the canvas, which
// starts over (black) on every EVT_RESIZE, as a host that makes a new canvas does.
struct HostView {
  std::vector<uint8_t> types;
  std::vector<ReconnectEvent> reconnects;
  std::optional<EndReason> reason;
  host::Canvas canvas;
  void operator()(const host::Frame& f) {
    types.push_back(f.type);
    if (f.type == EVT_CONNECTED || f.type == EVT_RESIZE)
      host::resize_canvas(canvas, get_u32(&f.payload[0]), get_u32(&f.payload[4]));
    if (f.type == EVT_RECT) host::paint_rect(canvas, f.payload);
    if (f.type == EVT_RECONNECT) {
      const auto r = parse_reconnect(f.payload);
      EXPECT_TRUE(r) << "malformed EVT_RECONNECT";
      if (r) reconnects.push_back(*r);
    }
    if (f.type == EVT_END_REASON) reason = parse_end_reason(f.payload);
  }
};

// Reads events until the reconnection events number `count` and the last is in `state`.
bool pump_until_reconnect(host::Session& s, HostView& view, size_t count, uint8_t state,
                          int timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  const auto sink = [&](const host::Frame& f) { view(f); };
  while (std::chrono::steady_clock::now() < deadline) {
    if (view.reconnects.size() >= count && view.reconnects.back().state == state) return true;
    host::Frame f;
    const auto status = host::next_event(s, 100, f);
    if (status == host::ReadStatus::frame)
      sink(f);
    else if (status != host::ReadStatus::timeout)
      return false;
  }
  return view.reconnects.size() >= count && view.reconnects.back().state == state;
}

// Reads events (the picture among them) until a server log line matches.
std::optional<std::string> pump_until_line(ProxiedRig& rig, HostView& view,
                                           const std::regex& pattern, int timeout_ms,
                                           size_t& cursor) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (std::chrono::steady_clock::now() < deadline) {
    if (auto line = test::wait_for_line(*rig.server.process, pattern, 0, &cursor)) return line;
    host::pump_events(*rig.korvane, 100, [&](const host::Frame& f) { view(f); });
  }
  return test::wait_for_line(*rig.server.process, pattern, 0, &cursor);
}

TEST(Reconnect, FiveCutsFiveReconnectionsEachWithThePictureAndInput) {
  test::TempDir scratch = test::make_temp_dir("korvane-reconnect-dump");
  const std::string dump = scratch.path + "/server.rgba";
  // Each activation paints the same pattern; the canvas is checked only after a reconnection,
  // starting from black at EVT_RESIZE, so the whole picture has to come again.
  auto rig = start_proxied({"full 0x5EED", "dump " + dump}, 6, reconnect_block(EXT_STATUS, 3, 100));
  ASSERT_TRUE(rig);
  HostView view;
  ASSERT_TRUE(host::wait_for_event(*rig->korvane, EVT_CONNECTED, 20000, std::ref(view)))
      << korvane_stderr(*rig);
  constexpr int kCuts = 5;
  // The first activation's picture is whole before the first cut.
  ASSERT_TRUE(pump_until_line(*rig, view, std::regex("^DUMPED"), 20000, rig->dump_cursor));
  for (int cut = 1; cut <= kCuts; ++cut) {
    SCOPED_TRACE("cut " + std::to_string(cut));
    host::pump_events(*rig->korvane, 300, std::ref(view));
    const size_t before = view.reconnects.size();
    const size_t types_before = view.types.size();
    ASSERT_GE(test::proxy_cut(*rig->proxy), 1u);
    ASSERT_TRUE(pump_until_reconnect(*rig->korvane, view, before + 2, RECONNECT_DONE, 20000))
        << korvane_stderr(*rig) << server_log(*rig);
    // Reconnecting (attempt 1 of 3), then reconnected at attempt 1.
    ASSERT_EQ(view.reconnects.size(), before + 2);
    EXPECT_EQ(view.reconnects[before].state, RECONNECT_TRYING);
    EXPECT_EQ(view.reconnects[before].attempt, 1u);
    EXPECT_EQ(view.reconnects[before].max_attempts, 3u);
    EXPECT_EQ(view.reconnects[before + 1].attempt, 1u);
    // Nothing ended meanwhile.
    for (size_t i = types_before; i < view.types.size(); ++i) {
      EXPECT_NE(view.types[i], EVT_DISCONNECTED);
      EXPECT_NE(view.types[i], EVT_END_REASON);
      EXPECT_NE(view.types[i], EVT_ERROR);
    }
    // The size comes again right after "reconnected"; the canvas starts over there.
    host::Frame f;
    ASSERT_EQ(host::next_event(*rig->korvane, 5000, f), host::ReadStatus::frame);
    view(f);
    EXPECT_EQ(f.type, EVT_RESIZE);
    // Input flows to the new connection.
    const uint32_t x = 100 + static_cast<uint32_t>(cut);
    ASSERT_TRUE(host::send_command(*rig->korvane, CMD_MOUSE_MOVE, host::mouse_move_payload(x, 77)));
    ASSERT_TRUE(pump_until_line(
        *rig, view, std::regex("^INPUT mouse flags=0x0800 x=" + std::to_string(x) + " y=77"), 20000,
        rig->input_cursor))
        << server_log(*rig);
    // The new activation's picture, and the host's equal to it.
    ASSERT_TRUE(pump_until_line(*rig, view, std::regex("^DUMPED"), 20000, rig->dump_cursor));
    // The server has sent its picture; korvane may still be on its way through it (under
    // Wine, at times for more than half a second): bounded, until the canvas is the picture.
    const std::string reference = test::read_file(dump);
    const auto settle = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    do {
      host::pump_events(*rig->korvane, 100, std::ref(view));
    } while (!e2e::first_difference(reference, view.canvas).empty() &&
             std::chrono::steady_clock::now() < settle);
    ASSERT_EQ(reference.size(), size_t{view.canvas.width} * view.canvas.height * 4);
    EXPECT_EQ(e2e::first_difference(reference, view.canvas), "");
  }
  const std::string log = server_log(*rig);
  EXPECT_EQ(count_lines(log, "CONNECTED width="), size_t{kCuts + 1}) << log;
  EXPECT_EQ(std::count(view.types.begin(), view.types.end(), EVT_CONNECTED), 1);
  const auto end = host::finish_session(*rig->korvane, 20000, std::ref(view));
  EXPECT_TRUE(end.disconnected);
  ASSERT_TRUE(end.exit);
  EXPECT_EQ(end.exit->code, 0);
  ASSERT_TRUE(view.reason);
  EXPECT_EQ(view.reason->category, EndCategory::host_requested);
}

TEST(Reconnect, AServerThatStaysAwayGetsEveryAttemptThenGaveUp) {
  auto rig = start_proxied({"sleep 100"}, 1, reconnect_block(EXT_STATUS, 3, 200));
  ASSERT_TRUE(rig);
  HostView view;
  ASSERT_TRUE(host::wait_for_event(*rig->korvane, EVT_CONNECTED, 20000, std::ref(view)));
  host::pump_events(*rig->korvane, 300, std::ref(view));
  test::proxy_refuse(*rig->proxy, true);
  const auto cut_at = std::chrono::steady_clock::now();
  ASSERT_GE(test::proxy_cut(*rig->proxy), 1u);
  const auto end = host::finish_session(*rig->korvane, 30000, std::ref(view), false);
  const auto took = std::chrono::steady_clock::now() - cut_at;
  ASSERT_TRUE(end.exit) << korvane_stderr(*rig);
  EXPECT_TRUE(end.disconnected);
  EXPECT_EQ(end.exit->code, 1) << korvane_stderr(*rig);
  ASSERT_EQ(view.reconnects.size(), 4u) << korvane_stderr(*rig);
  for (uint16_t i = 0; i < 3; ++i) {
    EXPECT_EQ(view.reconnects[i].state, RECONNECT_TRYING);
    EXPECT_EQ(view.reconnects[i].attempt, i + 1);
    EXPECT_EQ(view.reconnects[i].max_attempts, 3u);
  }
  EXPECT_EQ(view.reconnects[3].state, RECONNECT_GAVE_UP);
  EXPECT_EQ(view.reconnects[3].attempt, 3u);
  // Each attempt reached the proxy and was turned away, after waits of 200, 400 and 800 ms.
  EXPECT_GE(rig->proxy->state->refused.load(), 3u);
  EXPECT_GE(took, std::chrono::milliseconds(1400));
  // Gave up, the typed reason, the end: in that order, last.
  ASSERT_GE(view.types.size(), 3u);
  EXPECT_EQ(view.types[view.types.size() - 3], EVT_RECONNECT);
  EXPECT_EQ(view.types[view.types.size() - 2], EVT_END_REASON);
  EXPECT_EQ(view.types.back(), EVT_DISCONNECTED);
  ASSERT_TRUE(view.reason);
  EXPECT_NE(view.reason->category, EndCategory::host_requested);
}

TEST(Reconnect, DisconnectWhileReconnectingEndsAtOnce) {
  auto rig = start_proxied({"sleep 100"}, 1, reconnect_block(0, 20, 5000));
  ASSERT_TRUE(rig);
  HostView view;
  ASSERT_TRUE(host::wait_for_event(*rig->korvane, EVT_CONNECTED, 20000, std::ref(view)));
  test::proxy_refuse(*rig->proxy, true);
  ASSERT_GE(test::proxy_cut(*rig->proxy), 1u);
  ASSERT_TRUE(pump_until_reconnect(*rig->korvane, view, 1, RECONNECT_TRYING, 20000))
      << korvane_stderr(*rig);
  const auto asked = std::chrono::steady_clock::now();
  ASSERT_TRUE(host::send_command(*rig->korvane, CMD_DISCONNECT));
  const auto end = host::finish_session(*rig->korvane, 10000, std::ref(view), false);
  ASSERT_TRUE(end.exit);
  EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::milliseconds(2000));
  EXPECT_TRUE(end.disconnected);
  EXPECT_EQ(end.exit->code, 0);
  EXPECT_EQ(view.reconnects.size(), 1u);
}

TEST(Reconnect, AHostThatDidNotAskSeesTheSessionEnd) {
  auto rig = start_proxied({"sleep 100"}, 2, {});
  ASSERT_TRUE(rig);
  HostView view;
  ASSERT_TRUE(host::wait_for_event(*rig->korvane, EVT_CONNECTED, 20000, std::ref(view)));
  ASSERT_GE(test::proxy_cut(*rig->proxy), 1u);
  const auto end = host::finish_session(*rig->korvane, 10000, std::ref(view), false);
  ASSERT_TRUE(end.exit);
  EXPECT_TRUE(end.disconnected);
  EXPECT_EQ(end.exit->code, 0);
  EXPECT_TRUE(view.reconnects.empty());
  EXPECT_EQ(rig->proxy->state->relayed.load(), 1u);
}

}  // namespace
}  // namespace korvane
