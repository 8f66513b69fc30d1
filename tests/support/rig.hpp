// The end-to-end rig: korvane-test-server with a script of steps, korvane connected to it with
// the test's options, their stderr in a scratch directory, and the checks every suite makes of
// them (the sanitizers' reports, the server's log). Header only: the suites link GoogleTest, the
// support library does not.
#pragma once

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <signal.h>

#include <chrono>
#include <map>
#include <optional>
#include <span>
#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "host/canvas.hpp"
#include "host/session.hpp"
#include "host_link/extensions.hpp"
#include "host_link/session_extensions.hpp"
#include "logged_process.hpp"
#include "net.hpp"

namespace korvane::e2e {

// The sanitizers keep memory of their own resident: bounds on korvane's resident size are the
// plain build's to check.
#if defined(__has_feature)
#define KORVANE_TEST_HAS(feature) __has_feature(feature)
#else
#define KORVANE_TEST_HAS(feature) 0
#endif
#if defined(__SANITIZE_ADDRESS__) || KORVANE_TEST_HAS(address_sanitizer)
inline constexpr bool kAddressSanitizer = true;
#else
inline constexpr bool kAddressSanitizer = false;
#endif
#if defined(__SANITIZE_THREAD__) || KORVANE_TEST_HAS(thread_sanitizer)
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = kAddressSanitizer;
#endif
#undef KORVANE_TEST_HAS

// Declared in this order so that korvane ends first, then the server, and the scratch directory
// (their stderr: korvane.err, server.err) goes last.
struct Rig {
  test::TempDir scratch;
  test::TestServer server;
  std::optional<host::Session> korvane;
};

// Starts the test server with the steps (and `extra` arguments). Fails the test (and returns
// false) when it cannot start.
inline bool start_server(Rig& rig, std::vector<std::string> steps, const std::string& sec = "tls",
                         std::vector<std::string> extra = {}) {
  // A caller may have made it already, to name it in the server's arguments.
  if (rig.scratch.path.empty()) rig.scratch = test::make_temp_dir("korvane-e2e");
  if (rig.scratch.path.empty()) {
    ADD_FAILURE() << "no scratch directory";
    return false;
  }
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
    return false;
  }
  rig.server = std::move(*server);
  return true;
}

// Starts korvane connecting to the rig's server with `request`'s options (host and port are
// filled in, TLS when no flags are given), or to `port` (a proxy in front of the server) when
// given. Fails the test (and returns false) when it cannot.
inline bool start_korvane(Rig& rig, ConnectRequest request = {},
                          std::vector<uint8_t> extension_block = {}, uint16_t port = 0) {
  request.host = "127.0.0.1";
  request.port = port ? port : rig.server.port;
  if (!request.flags) request.flags = CONNECT_FLAG_TLS;
  host::SessionOptions ko;
  ko.korvane_path = KORVANE_PATH;
  ko.request = request;
  ko.extension_block = std::move(extension_block);
  ko.stderr_path = rig.scratch.path + "/korvane.err";
  std::string error;
  rig.korvane = host::start_session(ko, &error);
  if (!rig.korvane) {
    ADD_FAILURE() << "korvane: " << error;
    return false;
  }
  return true;
}

// Both.
inline bool start_rig(Rig& rig, std::vector<std::string> steps, ConnectRequest request = {},
                      const std::string& sec = "tls", std::vector<std::string> extra = {},
                      std::vector<uint8_t> extension_block = {}) {
  return start_server(rig, std::move(steps), sec, std::move(extra)) &&
         start_korvane(rig, std::move(request), std::move(extension_block));
}

inline std::optional<Rig> start_rig(std::vector<std::string> steps, ConnectRequest request = {},
                                    const std::string& sec = "tls",
                                    std::vector<std::string> extra = {},
                                    std::vector<uint8_t> extension_block = {}) {
  Rig rig;
  if (!start_rig(rig, std::move(steps), std::move(request), sec, std::move(extra),
                 std::move(extension_block)))
    return std::nullopt;
  return rig;
}

inline std::string server_log(Rig& rig) { return test::output_of(*rig.server.process); }
inline std::string korvane_stderr(Rig& rig) {
  return test::read_file(rig.scratch.path + "/korvane.err");
}

// Sanitizer builds report to stderr, of korvane and of the server alike.
inline void expect_no_sanitizer_report(const Rig& rig) {
  for (const char* name : {"korvane.err", "server.err"}) {
    const std::string err = test::read_file(rig.scratch.path + "/" + name);
    EXPECT_EQ(err.find("Sanitizer"), std::string::npos) << name << ":\n" << err.substr(0, 20000);
    EXPECT_EQ(err.find("runtime error"), std::string::npos) << name << ":\n"
                                                            << err.substr(0, 20000);
  }
}

// No error in the server's log, no sanitizer report.
inline void expect_clean_logs(Rig& rig) {
  for (const std::string& line : test::lines_of(*rig.server.process))
    EXPECT_NE(line.rfind("ERROR", 0), 0u) << line;
  expect_no_sanitizer_report(rig);
}

// Waits for a server log line while reading korvane's events (to `on_event`, or dropped): a
// host that stops reading stalls korvane's event loop, and with it every channel.
inline std::optional<std::string> pump_until_line(Rig& rig, const std::regex& pattern,
                                                  int timeout_ms,
                                                  const host::EventSink& on_event = {}) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (std::chrono::steady_clock::now() < deadline) {
    if (auto line = test::wait_for_line(*rig.server.process, pattern, 0)) return line;
    host::pump_events(*rig.korvane, 100, on_event);
  }
  return test::wait_for_line(*rig.server.process, pattern, 0);
}

// The server's PROFILE lines, what the client's logon and core data said at the first
// activation: key to value. Empty when the server logs no CONNECTED within timeout_ms.
inline std::map<std::string, std::string> server_profile(test::LoggedProcess& server,
                                                         int timeout_ms = 5000) {
  std::map<std::string, std::string> seen;
  if (!test::wait_for_prefix(server, "CONNECTED", timeout_ms)) return seen;
  for (const std::string& line : test::lines_of(server)) {
    if (line.rfind("PROFILE ", 0) != 0) continue;
    const size_t eq = line.find('=');
    seen[line.substr(8, eq - 8)] = line.substr(eq + 1);
  }
  return seen;
}

inline uint32_t u32_at(const host::Frame& f, size_t offset) { return get_u32(&f.payload[offset]); }

// Bytes as lower-case hex digits, as the test server logs them.
inline std::string hex(std::span<const uint8_t> bytes) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string out;
  for (const uint8_t b : bytes) {
    out.push_back(digits[b >> 4]);
    out.push_back(digits[b & 0x0F]);
  }
  return out;
}

// korvane-host's command line: a quiet session of `seconds` through korvane to 127.0.0.1:`port`
// as test/test over TLS, korvane's log in `korvane_log`, then `extra`.
inline std::vector<std::string> host_argv(uint16_t port, const char* seconds,
                                          const std::string& korvane_log,
                                          std::vector<std::string> extra) {
  std::vector<std::string> argv = {KORVANE_HOST_PATH, "--korvane",          KORVANE_PATH,
                                   "--port",          std::to_string(port), "--seconds",
                                   seconds,           "--korvane-log",      korvane_log};
  for (const char* a :
       {"--host", "127.0.0.1", "--user", "test", "--password", "test", "--flags", "1", "--quiet"})
    argv.push_back(a);
  argv.insert(argv.end(), extra.begin(), extra.end());
  return argv;
}

// FNV-1a of the bytes, going on from `h`, as the test server logs its digests.
inline uint64_t fnv1a(std::span<const uint8_t> bytes, uint64_t h = 0xcbf29ce484222325ull) {
  for (const uint8_t b : bytes) {
    h ^= b;
    h *= 0x100000001b3ull;
  }
  return h;
}

// Where the canvas first differs from the server's picture, as "x,y" (empty when it does not).
inline std::string first_difference(const std::string& reference, const host::Canvas& canvas) {
  if (reference.size() != canvas.rgba.size()) return "sizes differ";
  for (size_t i = 0; i < reference.size(); i += 4)
    if (reference.compare(i, 4, reinterpret_cast<const char*>(&canvas.rgba[i]), 4) != 0)
      return std::to_string(i / 4 % canvas.width) + "," + std::to_string(i / 4 / canvas.width);
  return {};
}

// The mask korvane's first event grants, or all ones when the first event is not the grant.
inline uint32_t granted_mask(Rig& rig) {
  host::Frame first;
  if (host::next_event(*rig.korvane, 20000, first) != host::ReadStatus::frame) return 0xFFFFFFFF;
  if (first.type != EVT_EXTENSIONS) return 0xFFFFFFFF;
  const auto grant = parse_grant(first.payload);
  return grant ? grant->mask : 0xFFFFFFFF;
}

// Keeps a stopped server from staying stopped when a test fails half-way.
struct ResumeOnExit {
  pid_t pid = -1;
  ~ResumeOnExit() {
    if (pid > 0) kill(pid, SIGCONT);
  }
};

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

struct StatusEnding {
  std::vector<uint8_t> types;
  std::vector<uint8_t> progress;  // the steps, in order
  std::optional<EndReason> reason;
  std::string error_text;
  std::optional<host::ExitStatus> exit;
};

// Reads a whole session of a host that asked for status, sending CMD_DISCONNECT once connected
// when `disconnect` is set.
inline StatusEnding read_status_session(host::Session& s, bool disconnect, int timeout_ms) {
  StatusEnding e;
  const auto keep = [&](const host::Frame& f) {
    e.types.push_back(f.type);
    if (f.type == EVT_PROGRESS && !f.payload.empty()) e.progress.push_back(f.payload[0]);
    if (f.type == EVT_END_REASON) e.reason = parse_end_reason(f.payload);
    if (f.type == EVT_ERROR) e.error_text.assign(f.payload.begin(), f.payload.end());
  };
  if (disconnect) {
    if (host::wait_for_event(s, EVT_CONNECTED, timeout_ms, keep))
      host::send_command(s, CMD_DISCONNECT);
  }
  e.exit = host::finish_session(s, timeout_ms, keep, false).exit;
  return e;
}

// The test server's gen:N:SEED bytes (see tests/server/clip.cpp).
inline std::vector<uint8_t> generated(uint32_t count, uint32_t seed) {
  std::vector<uint8_t> out(count);
  uint32_t x = seed ^ 0x9E3779B9u;
  if (x == 0) x = 1;
  for (uint32_t i = 0; i < count; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    out[i] = static_cast<uint8_t>(x & 0xFF);
  }
  return out;
}

// Lower-case hex SHA-256, as the test server logs its digests (a suite using it links OpenSSL).
inline std::string sha256_hex(std::span<const uint8_t> bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  static const uint8_t nothing = 0;
  if (EVP_Digest(bytes.empty() ? &nothing : bytes.data(), bytes.size(), digest, &length,
                 EVP_sha256(), nullptr) != 1)
    return "digest-failed";
  return hex({digest, length});
}

}  // namespace korvane::e2e
