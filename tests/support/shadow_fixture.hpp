// The fixture the shadow-server suites share: a private Xvfb desktop of 1024x768 drawn in one
// colour, FreeRDP's shadow server on it once a test starts one, and korvane's and the server's
// logs shown when a test fails.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <optional>
#include <string>

#include "host/desktop.hpp"
#include "host/session.hpp"
#include "host_link/protocol.hpp"
#include "net.hpp"
#include "shadow.hpp"
#include "x_display.hpp"

namespace korvane::test {

inline constexpr uint32_t kShadowWidth = 1024;
inline constexpr uint32_t kShadowHeight = 768;
inline constexpr const char* kShadowRootColour = "#3a6ea5";

// The last lines of a log.
inline std::string tail(const std::string& text, size_t lines) {
  size_t pos = text.size();
  for (size_t n = 0; n <= lines && pos != std::string::npos && pos > 0; ++n) {
    pos = text.rfind('\n', pos - 1);
  }
  return pos == std::string::npos ? text : text.substr(pos + 1);
}

// The canvas a host paints from korvane's events against what X shows, H.264 being lossy.
inline void expect_canvas_matches_screen(const host::Desktop& desktop, const XServer& x,
                                         double max_mean_abs = 8.0, double min_within = 0.95) {
  std::string error;
  auto shot = screenshot(x, &error);
  ASSERT_TRUE(shot) << error;
  auto diff = compare_rgb(desktop.canvas, *shot, 40);
  ASSERT_TRUE(diff) << "canvas " << desktop.canvas.width << "x" << desktop.canvas.height
                    << " against screen " << shot->width << "x" << shot->height;
  double squared = 0;
  for (size_t i = 0; i < shot->rgba.size(); i += 4) {
    for (size_t c = 0; c < 3; ++c) {
      const int d = int{desktop.canvas.rgba[i + c]} - int{shot->rgba[i + c]};
      squared += static_cast<double>(d * d);
    }
  }
  const double mse = squared / (double(shot->rgba.size()) / 4 * 3);
  const double psnr = mse > 0 ? 10 * std::log10(255.0 * 255.0 / mse) : 99;
  std::printf(
      "canvas against screen: mean abs R %.2f G %.2f B %.2f, %.2f%% within 40, PSNR %.1f dB\n",
      diff->mean_abs[0], diff->mean_abs[1], diff->mean_abs[2], diff->within * 100, psnr);
  for (const double m : diff->mean_abs) EXPECT_LT(m, max_mean_abs);
  EXPECT_GT(diff->within, min_within);
}

class ShadowDesktop : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::string(KORVANE_PATH).empty()) GTEST_SKIP() << "korvane is not built";
    logs = make_temp_dir("korvane-e2e-shadow");
    ASSERT_FALSE(logs.path.empty());
    std::string error;
    auto started = start_xvfb(kShadowWidth, kShadowHeight, logs.path, &error);
    ASSERT_TRUE(started) << error;
    x = std::move(*started);
    ASSERT_TRUE(draw_desktop(x, kShadowRootColour, &error)) << error;
  }

  void TearDown() override {
    if (!HasFailure()) return;
    std::fprintf(stderr, "---- korvane's log (tail)\n%s\n",
                 tail(read_file(logs.path + "/korvane.log"), 30).c_str());
    if (shadow) {
      std::fprintf(stderr, "---- shadow server's log (tail)\n%s\n",
                   tail(read_file(shadow->log_path), 30).c_str());
    }
  }

  void start_shadow_server(const ShadowOptions& options) {
    std::string error;
    shadow = start_shadow(x, options, &error);
    ASSERT_TRUE(shadow) << error;
  }

  // korvane for the shadow server at the desktop's size, its stderr in korvane.log. The shadow
  // server lets anyone in under TLS (-auth) but the RDP client library would prompt on
  // korvane's stdin for a missing user name, so one is always given.
  host::SessionOptions session_options(uint8_t flags = CONNECT_FLAG_TLS,
                                       const std::string& password = "test") const {
    host::SessionOptions o;
    o.korvane_path = KORVANE_PATH;
    o.request.host = "127.0.0.1";
    o.request.port = shadow->port;
    o.request.username = "test";
    o.request.password = password;
    o.request.width = kShadowWidth;
    o.request.height = kShadowHeight;
    o.request.flags = flags;
    o.stderr_path = logs.path + "/korvane.log";
    return o;
  }

  // The next event is EVT_CONNECTED with the desktop's size.
  static void expect_connected(host::Session& s, host::Desktop& desktop) {
    host::Frame f;
    ASSERT_EQ(host::next_event(s, 30000, f), host::ReadStatus::frame);
    host::apply_event(desktop, f);
    ASSERT_EQ(f.type, EVT_CONNECTED) << host::describe_event(f);
    ASSERT_EQ(f.payload.size(), 8u);
    EXPECT_EQ(get_u32(f.payload.data()), kShadowWidth);
    EXPECT_EQ(get_u32(f.payload.data() + 4), kShadowHeight);
  }

  // Ends the session the way a host does; korvane must say goodbye and exit 0.
  static void expect_clean_disconnect(host::Session& s, host::Desktop& desktop) {
    const host::Ending e = host::finish_session(
        s, 10000, [&](const host::Frame& f) { host::apply_event(desktop, f); });
    EXPECT_TRUE(e.disconnected);
    EXPECT_FALSE(e.error) << *e.error;
    ASSERT_TRUE(e.exit) << "korvane still running 10 s after CMD_DISCONNECT";
    EXPECT_TRUE(e.exit->exited()) << host::describe(*e.exit);
    EXPECT_EQ(e.exit->code, 0);
  }

  TempDir logs;  // first: outlives the servers that write into it
  XServer x;
  std::optional<ShadowServer> shadow;
};

}  // namespace korvane::test
