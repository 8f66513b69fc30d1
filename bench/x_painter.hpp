// A moving picture on an X desktop for the benchmarks against the shadow server: a thread of the
// bench repaints part of the root window steadily; and the Xvfb desktop it paints on. Include it
// last: Xlib's macros (CursorShape, None, ...) would clash with names in korvane's headers.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>

#include "net.hpp"
#include "shadow_rig.hpp"
#include "x_display.hpp"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace korvane::bench {

// Repaints area_w x area_h in the middle of the root window fps times a second with a picture
// that moves: gradients sliding both ways and a checkerboard of blocks that shifts, so that
// every frame changes the whole area without being noise. With grain, fine detail that pans
// with the red gradient lies over it, as a photograph or a video has: runs and deltas no longer
// fold it away.
class Painter {
 public:
  std::atomic<uint64_t> drawn{0};
  bool grain = false;  // set before start

  bool start(const test::XServer& x, uint32_t width, uint32_t height, uint32_t area_w,
             uint32_t area_h, uint32_t fps) {
    display_ = XOpenDisplay(x.name().c_str());
    if (!display_) return false;
    w_ = area_w;
    h_ = area_h;
    left_ = static_cast<int>((width - area_w) / 2);
    top_ = static_cast<int>((height - area_h) / 2);
    pixels_ = static_cast<char*>(std::malloc(size_t{w_} * h_ * 4));
    const int screen = DefaultScreen(display_);
    image_ = XCreateImage(display_, DefaultVisual(display_, screen), 24, ZPixmap, 0, pixels_, w_,
                          h_, 32, static_cast<int>(w_ * 4));
    gc_ = XCreateGC(display_, RootWindow(display_, screen), 0, nullptr);
    period_ = std::chrono::microseconds(1000000 / fps);
    thread_ = std::thread([this] { loop(); });
    return true;
  }

  void stop() {
    if (!thread_.joinable()) return;
    stop_ = true;
    thread_.join();
    XFreeGC(display_, gc_);
    XDestroyImage(image_);  // frees pixels_ too
    XCloseDisplay(display_);
  }

  ~Painter() { stop(); }

 private:
  void loop() {
    auto next = std::chrono::steady_clock::now();
    const Window root = DefaultRootWindow(display_);
    for (uint32_t t = 0; !stop_; ++t) {
      auto* p = reinterpret_cast<uint32_t*>(pixels_);
      for (uint32_t y = 0; y < h_; ++y) {
        for (uint32_t x = 0; x < w_; ++x) {
          const uint32_t d = grain ? detail(x + 6 * t, y) : 0;
          const uint32_t r = (x + 6 * t + d) & 0xff;
          const uint32_t g = (y + 3 * t + d) & 0xff;
          const uint32_t b = ((((x + 4 * t) / 48 + (y + 2 * t) / 48) & 1) ? 0xc0 : 0x30) - d;
          p[size_t{y} * w_ + x] = (r << 16) | (g << 8) | b;
        }
      }
      XPutImage(display_, root, gc_, image_, 0, 0, left_, top_, w_, h_);
      XSync(display_, False);
      drawn.fetch_add(1);
      next += period_;
      std::this_thread::sleep_until(next);
    }
  }

  // 0..47 from a hash of the place: the same at the same place of the panned picture.
  static uint32_t detail(uint32_t x, uint32_t y) {
    uint32_t h = x * 73856093u ^ y * 19349663u;
    h ^= h >> 13;
    h *= 0x5bd1e995u;
    h ^= h >> 15;
    return h % 48;
  }

  Display* display_ = nullptr;
  XImage* image_ = nullptr;
  char* pixels_ = nullptr;
  GC gc_{};
  uint32_t w_ = 0, h_ = 0;
  int left_ = 0, top_ = 0;
  std::chrono::microseconds period_{100000};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// The desktop the benches measure korvane on, as main() holds it.
struct Screen {
  test::TempDir dir;  // Xvfb's log and korvane's stderr
  std::optional<test::XServer> x;
  Painter painter;  // declared after x: it stops drawing before the display goes
};

// Starts Xvfb in a fresh directory named after prefix, draws the desktop on it and starts the
// painter as opt says. On failure prints why and returns false.
inline bool start_screen(Screen& s, const ScreenOptions& opt, const std::string& prefix,
                         bool grain = false) {
  s.dir = test::make_temp_dir(prefix);
  std::string error;
  s.x = test::start_xvfb(opt.width, opt.height, s.dir.path, &error);
  if (!s.x || !test::draw_desktop(*s.x, "#3a6ea5", &error)) {
    std::fprintf(stderr, "X: %s\n", error.c_str());
    return false;
  }
  s.painter.grain = grain;
  if (!s.painter.start(*s.x, opt.width, opt.height, opt.area_w, opt.area_h, opt.fps)) {
    std::fprintf(stderr, "cannot open %s for drawing\n", s.x->name().c_str());
    return false;
  }
  return true;
}

}  // namespace korvane::bench
