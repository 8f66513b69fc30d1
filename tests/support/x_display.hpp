// A private X display for end-to-end tests: Xvfb, a desktop drawn on it, and screenshots.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "host/canvas.hpp"
#include "host/process.hpp"

namespace korvane::test {

struct XServer {
  host::Child xvfb;
  int display = -1;
  // Declared after xvfb so they are ended first, while their display still exists.
  std::vector<host::Child> clients;
  std::string log_path;  // Xvfb's stderr

  std::string name() const { return ":" + std::to_string(display); }
  std::string env() const { return "DISPLAY=" + name(); }
};

// Starts Xvfb (width x height x 24, no TCP) on a display number it picks itself
// (-displayfd), and returns once the server accepts clients. log_dir receives Xvfb's stderr.
std::optional<XServer> start_xvfb(uint32_t width, uint32_t height, const std::string& log_dir,
                                  std::string* error = nullptr);

// Colours the root window (xsetroot -solid) and starts xclock, xeyes and xlogo at fixed places;
// returns once they are on screen and the picture has stopped changing (bounded).
bool draw_desktop(XServer& server, const std::string& colour, std::string* error = nullptr);

// Runs an X client on the server to its end (10 s at most), its output into `out` when given:
// whether it exited 0.
bool run_x(const XServer& server, std::vector<std::string> argv, std::string* out = nullptr);

// The whole screen as RGBA (xwd -root).
std::optional<host::Canvas> screenshot(const XServer& server, std::string* error = nullptr);

// Reads an XWD dump (Z pixmap, 16/24/32 bits per pixel, either byte order) into RGBA.
std::optional<host::Canvas> parse_xwd(std::span<const uint8_t> bytes, std::string* error = nullptr);

struct ImageDiff {
  double mean_abs[3] = {0, 0, 0};  // per channel R, G, B
  double within = 0;               // share of pixels whose channels all differ by <= tolerance
  uint8_t max_abs = 0;
};

// Compares the RGB channels of two pictures of the same size (nullopt if the sizes differ).
std::optional<ImageDiff> compare_rgb(const host::Canvas& a, const host::Canvas& b, int tolerance);

// How many distinct RGB colours the picture has, counting up to limit.
size_t count_colours(const host::Canvas& canvas, size_t limit);

}  // namespace korvane::test
