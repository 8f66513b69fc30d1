// korvane-test-server -> korvane -> this host, directly or through korvane-test-gateway: the
// full-desktop stream and the input-latency measurement paint_bench and gateway_bench share, so
// their figures are comparable.
#pragma once

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "host/frame_io.hpp"
#include "host/session.hpp"
#include "host_link/extensions.hpp"
#include "host_link/gateway.hpp"
#include "host_link/protocol.hpp"
#include "logged_process.hpp"
#include "proc_stats.hpp"

namespace korvane::bench {

using Clock = std::chrono::steady_clock;

enum class Route { direct, gateway_ws, gateway_legacy };

inline constexpr char kGatewayToken[] = "korvane-bench-token";

struct PaintRig {
  test::TestServer server;
  std::unique_ptr<test::LoggedProcess> gateway;  // null when direct
  host::Session korvane;
};

// "--name value" pairs of a bench's command line into the named numbers; others are ignored.
template <typename... T>
void read_options(int argc, char** argv, std::pair<const char*, T*>... names) {
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i];
    const long v = std::atol(argv[i + 1]);
    ((a == names.first ? (void)(*names.second = static_cast<T>(v)) : (void)0), ...);
  }
}

// The block that sends korvane through the gateway at `port` (no other extension).
inline std::vector<uint8_t> gateway_block(uint16_t port, uint8_t transport) {
  const std::string address = "127.0.0.1:" + std::to_string(port);
  const std::string token = kGatewayToken;
  const std::vector<ExtensionField> fields = {{FIELD_GATEWAY, {address.begin(), address.end()}},
                                              {FIELD_GATEWAY_TRANSPORT, {transport}},
                                              {FIELD_GATEWAY_BEARER, {token.begin(), token.end()}}};
  return encode_extensions(EXT_GATEWAY, fields);
}

// The server running `steps`, korvane (the binary at `korvane`, this build's by default)
// connected to it at w x h by `route`.
inline std::optional<PaintRig> start_paint_rig(const std::vector<std::string>& steps, uint32_t w,
                                               uint32_t h, Route route = Route::direct,
                                               const std::string& korvane = KORVANE_PATH) {
  test::TestServerOptions so;
  so.path = KORVANE_TEST_SERVER_PATH;
  so.sec = "tls";
  so.steps = steps;
  so.stderr_path = "/dev/null";
  std::string error;
  auto server = test::start_test_server(so, &error);
  if (!server) {
    std::fprintf(stderr, "test server: %s\n", error.c_str());
    return std::nullopt;
  }
  host::SessionOptions ko;
  ko.korvane_path = korvane;
  ko.request.host = "127.0.0.1";
  ko.request.port = server->port;
  ko.request.width = w;
  ko.request.height = h;
  ko.request.flags = CONNECT_FLAG_TLS;
  ko.stderr_path = "/dev/null";
  std::unique_ptr<test::LoggedProcess> gateway;
  if (route != Route::direct) {
    std::vector<std::string> options = {"--token", kGatewayToken};
    if (route != Route::gateway_ws) options.push_back("--no-websocket");
    auto started = test::start_test_gateway(KORVANE_TEST_GATEWAY_PATH, server->port, options,
                                            "/dev/null", &error);
    if (!started) {
      std::fprintf(stderr, "test gateway: %s\n", error.c_str());
      return std::nullopt;
    }
    const uint16_t port = started->port;
    gateway = std::move(started->process);
    // The gateway's own logon; the bearer token is what it checks.
    ko.request.username = "test";
    ko.request.password = "test";
    ko.extension_block = gateway_block(
        port, route == Route::gateway_ws ? GATEWAY_TRANSPORT_HTTP : GATEWAY_TRANSPORT_HTTP_LEGACY);
  }
  auto session = host::start_session(ko, &error);
  if (!session) {
    std::fprintf(stderr, "korvane: %s\n", error.c_str());
    return std::nullopt;
  }
  return PaintRig{std::move(*server), std::move(gateway), std::move(*session)};
}

// Full-desktop frames read by the host, from the first one on: the first frame only starts the
// clocks, so rates and CPU are over the `counted` intervals after it.
struct StreamFigures {
  int full_rects = 0, rects = 0, counted = 0;
  uint64_t bytes = 0;  // EVT_RECT payload of the full-desktop frames
  double secs = 0;
  double korvane_cpu = 0, server_cpu = 0, gateway_cpu = 0;  // seconds, over `counted`

  double fps() const { return counted / secs; }
  double mb_s() const { return static_cast<double>(bytes) * counted / full_rects / secs / 1e6; }
  double per_frame(double cpu) const { return cpu / counted; }
};

// Reads every event to the session's end; the server must run "stream N" at w x h.
inline StreamFigures measure_stream(PaintRig& rig, uint32_t w, uint32_t h) {
  const size_t full = kRectHeaderSize + size_t{w} * h * 4;
  const pid_t pid = rig.korvane.child.pid;
  const pid_t server_pid = rig.server.process->child.pid;
  const pid_t gateway_pid = rig.gateway ? rig.gateway->child.pid : 0;
  StreamFigures s;
  Clock::time_point first{}, last{};
  double cpu0 = 0, server0 = 0, gateway0 = 0;
  host::finish_session(
      rig.korvane, 600000,
      [&](const host::Frame& f) {
        if (f.type != EVT_RECT) return;
        ++s.rects;
        if (f.payload.size() != full) return;
        const double cpu = test::cpu_seconds(pid), server = test::cpu_seconds(server_pid);
        const double gateway = gateway_pid ? test::cpu_seconds(gateway_pid) : 0;
        if (s.full_rects == 0) {
          first = Clock::now();
          cpu0 = cpu;
          server0 = server;
          gateway0 = gateway;
        }
        ++s.full_rects;
        s.bytes += f.payload.size();
        last = Clock::now();
        s.korvane_cpu = cpu - cpu0;
        s.server_cpu = server - server0;
        s.gateway_cpu = gateway - gateway0;
      },
      false);
  s.counted = s.full_rects - 1;
  s.secs = std::chrono::duration<double>(last - first).count();
  return s;
}

// Sends `moves` mouse moves gap_ms apart once connected and returns, sorted, the microseconds
// from each CMD_MOUSE_MOVE to the server's INPUT line for it (both CLOCK_MONOTONIC). The server
// must run "wait-input N ...".
inline std::vector<double> measure_latency(PaintRig& rig, int moves, int gap_ms) {
  if (!host::wait_for_event(rig.korvane, EVT_CONNECTED, 20000)) return {};
  test::wait_for_prefix(*rig.server.process, "CONNECTED", 10000);
  std::map<uint32_t, uint64_t> sent;  // y * 1000 + x -> send time
  for (int i = 0; i < moves; ++i) {
    const uint32_t x = static_cast<uint32_t>(i % 1000), y = static_cast<uint32_t>(i / 1000);
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    sent[y * 1000 + x] =
        static_cast<uint64_t>(t.tv_sec) * 1000000000ull + static_cast<uint64_t>(t.tv_nsec);
    host::send_command(rig.korvane, CMD_MOUSE_MOVE, host::mouse_move_payload(x, y));
    host::pump_events(rig.korvane, gap_ms, {});  // keeps korvane's output drained
  }
  host::finish_session(rig.korvane, 60000, {}, false);
  const std::regex re("^INPUT mouse flags=0x0800 x=(\\d+) y=(\\d+) t_ns=(\\d+)");
  std::vector<double> us;
  for (const auto& line : test::lines_of(*rig.server.process)) {
    std::smatch m;
    if (!std::regex_search(line, m, re)) continue;
    const uint32_t key = static_cast<uint32_t>(std::stoul(m[2]) * 1000 + std::stoul(m[1]));
    const auto it = sent.find(key);
    if (it != sent.end()) us.push_back(static_cast<double>(std::stoull(m[3]) - it->second) / 1e3);
  }
  std::sort(us.begin(), us.end());
  return us;
}

inline double p50(const std::vector<double>& sorted) { return sorted[sorted.size() / 2]; }
inline double p99(const std::vector<double>& sorted) { return sorted[sorted.size() * 99 / 100]; }

}  // namespace korvane::bench
