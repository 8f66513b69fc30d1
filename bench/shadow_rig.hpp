// What the benchmarks against FreeRDP's shadow server share: the server on a private X display,
// korvane dialling it on 127.0.0.1 over TLS with the server's account, and, for the benches that
// repaint part of the desktop (x_painter.hpp), their common flags. No Xlib here, so that a bench
// without a painter can use it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "host/session.hpp"
#include "host_link/protocol.hpp"
#include "shadow.hpp"
#include "x_display.hpp"

namespace korvane::bench {

// Starts the shadow server (TLS) with the further options; nullopt, with the error a run
// reports, if it does not start.
inline std::optional<test::ShadowServer> start_shadow(const test::XServer& x,
                                                      std::vector<std::string> extra,
                                                      std::string& error) {
  test::ShadowOptions so;
  so.extra = std::move(extra);
  auto shadow = test::start_shadow(x, so, &error);
  if (!shadow) error = "shadow server: " + error;
  return shadow;
}

// korvane as the benches start it: the shadow server's account on 127.0.0.1:port over TLS.
inline host::SessionOptions loopback_session(const std::string& korvane, uint16_t port,
                                             uint32_t width, uint32_t height,
                                             std::string stderr_path) {
  host::SessionOptions ko;
  ko.korvane_path = korvane;
  ko.request.host = "127.0.0.1";
  ko.request.port = port;
  ko.request.username = "test";
  ko.request.password = "test";
  ko.request.width = width;
  ko.request.height = height;
  ko.request.flags = CONNECT_FLAG_TLS;
  ko.stderr_path = std::move(stderr_path);
  return ko;
}

// Starts korvane and waits (bounded) until it has connected, handing sink every event read.
// nullopt, with the error a run reports, if it does not connect.
inline std::optional<host::Session> connect(const host::SessionOptions& ko,
                                            const host::EventSink& sink, std::string& error) {
  auto session = host::start_session(ko, &error);
  if (!session) {
    error = "korvane: " + error;
  } else if (!host::wait_for_event(*session, EVT_CONNECTED, 30000, sink)) {
    error = "korvane did not connect; see " + ko.stderr_path;
    session.reset();
  }
  return session;
}

// Ends the session: true if korvane exited with 0, otherwise false with the error a run reports.
inline bool ended_cleanly(host::Session& session, const host::SessionOptions& ko,
                          std::string& error) {
  const auto ending = host::finish_session(session, 15000);
  if (ending.exit && ending.exit->exited() && ending.exit->code == 0) return true;
  error = "korvane did not end cleanly; see " + ko.stderr_path;
  return false;
}

// A width x height desktop of which area_w x area_h in the middle is repainted fps times a
// second; measured for `seconds` after `warmup`.
struct ScreenOptions {
  std::string korvane;  // the binary measured
  uint32_t width = 1920, height = 1080, fps = 10, area_w = 1920, area_h = 1080;
  int seconds = 10, warmup = 3;
};

// Reads the flags, each with its value, into opt. A flag it does not know goes to own, which
// says whether it took it; when not, prints the usage (own_usage, the bench's own flags, stand
// before --korvane) and returns false.
inline bool parse_screen_options(
    int argc, char** argv, ScreenOptions& opt, const char* own_usage = "",
    const std::function<bool(const std::string& flag, const char* value)>& own = {}) {
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string arg = argv[i];
    const char* v = argv[i + 1];
    auto num = [v] { return static_cast<uint32_t>(std::strtoul(v, nullptr, 10)); };
    if (arg == "--seconds")
      opt.seconds = static_cast<int>(num());
    else if (arg == "--warmup")
      opt.warmup = static_cast<int>(num());
    else if (arg == "--width")
      opt.width = num();
    else if (arg == "--height")
      opt.height = num();
    else if (arg == "--fps")
      opt.fps = num();
    else if (arg == "--area" && std::sscanf(v, "%ux%u", &opt.area_w, &opt.area_h) == 2)
      continue;
    else if (arg == "--korvane")
      opt.korvane = v;
    else if (!own || !own(arg, v)) {
      std::fprintf(stderr,
                   "usage: %s [--seconds S] [--warmup S] [--width W] [--height H] [--fps N] "
                   "[--area WxH]%s [--korvane PATH]\n",
                   argv[0], own_usage);
      return false;
    }
  }
  return true;
}

// Whether opt, and the bench's own flags (own_ok), make sense; when not, says what is wanted,
// own_want ("1..20 rounds, ") among it, and returns false.
inline bool screen_options_valid(const ScreenOptions& opt, bool own_ok = true,
                                 const char* own_want = "") {
  if (own_ok && opt.seconds > 0 && opt.fps > 0 && opt.fps <= 100 && opt.area_w > 0 &&
      opt.area_h > 0 && opt.area_w <= opt.width && opt.area_h <= opt.height)
    return true;
  std::fprintf(stderr, "want seconds > 0, %s1..100 fps and an area within the screen\n", own_want);
  return false;
}

}  // namespace korvane::bench
