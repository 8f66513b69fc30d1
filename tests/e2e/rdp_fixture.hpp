// Shared by the end-to-end suites that run korvane against korvane-test-server.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "host/canvas.hpp"
#include "host/session.hpp"
#include "logged_process.hpp"
#include "net.hpp"

namespace korvane::e2e {

// The sanitizers keep memory of their own resident: bounds on korvane's resident size are the
// plain build's to check.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer) || __has_feature(address_sanitizer)
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif
#else
inline constexpr bool kSanitized = false;
#endif

struct Rig {
  test::TestServer server;
  std::optional<host::Session> korvane;
  test::TempDir scratch;
};

// Starts the test server with the steps, then korvane connecting to it with `request`'s options
// (host and port are filled in). Fails the test (and returns nullopt) when either cannot start.
inline std::optional<Rig> start_rig(std::vector<std::string> steps, ConnectRequest request = {},
                                    const std::string& sec = "tls",
                                    std::vector<std::string> extra = {},
                                    std::vector<uint8_t> extension_block = {}) {
  Rig rig;
  rig.scratch = test::make_temp_dir("korvane-e2e");
  test::TestServerOptions so;
  so.path = KORVANE_TEST_SERVER_PATH;
  so.sec = sec;
  so.user = "test";
  so.password = "test";
  so.steps = std::move(steps);
  so.extra = std::move(extra);
  so.stderr_path = rig.scratch.path + "/server.err";
  std::string error;
  auto server = test::start_test_server(so, &error);
  if (!server) {
    ADD_FAILURE() << "test server: " << error;
    return std::nullopt;
  }
  rig.server = std::move(*server);
  request.host = "127.0.0.1";
  request.port = rig.server.port;
  if (!request.flags) request.flags = CONNECT_FLAG_TLS;
  host::SessionOptions ko;
  ko.korvane_path = KORVANE_PATH;
  ko.request = request;
  ko.extension_block = std::move(extension_block);
  ko.stderr_path = rig.scratch.path + "/korvane.err";
  rig.korvane = host::start_session(ko, &error);
  if (!rig.korvane) {
    ADD_FAILURE() << "korvane: " << error;
    return std::nullopt;
  }
  return rig;
}

inline std::string server_log(Rig& rig) { return test::output_of(*rig.server.process); }
inline std::string korvane_stderr(Rig& rig) {
  return test::read_file(rig.scratch.path + "/korvane.err");
}

// Waits for a server log line while reading (and dropping) korvane's events: a host that
// stops reading stalls korvane's event loop, and with it every channel.
inline std::optional<std::string> pump_until_line(Rig& rig, const std::regex& pattern,
                                                  int timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (std::chrono::steady_clock::now() < deadline) {
    if (auto line = test::wait_for_line(*rig.server.process, pattern, 0)) return line;
    host::pump_events(*rig.korvane, 100, {});
  }
  return test::wait_for_line(*rig.server.process, pattern, 0);
}

inline uint32_t u32_at(const host::Frame& f, size_t offset) { return get_u32(&f.payload[offset]); }

// A session korvane must refuse before connecting anywhere: no server listens on the port.
struct EarlyEnd {
  std::vector<uint8_t> types;  // every event, in order
  std::string error;           // the text of EVT_ERROR
  std::optional<host::ExitStatus> exit;
};
inline EarlyEnd run_without_server(std::vector<uint8_t> extension_block) {
  EarlyEnd e;
  host::SessionOptions o;
  o.korvane_path = KORVANE_PATH;
  o.request.host = "127.0.0.1";
  o.request.port = test::free_tcp_port();
  o.extension_block = std::move(extension_block);
  o.stderr_path = "/dev/null";
  auto s = host::start_session(o);
  if (!s) {
    ADD_FAILURE() << "korvane did not start";
    return e;
  }
  e.exit = host::finish_session(
               *s, 10000,
               [&](const host::Frame& f) {
                 e.types.push_back(f.type);
                 if (f.type == EVT_ERROR) e.error.assign(f.payload.begin(), f.payload.end());
               },
               false)
               .exit;
  return e;
}

}  // namespace korvane::e2e
