#include "x_display.hpp"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <thread>
#include <unordered_set>

namespace korvane::test {

namespace {

using Clock = std::chrono::steady_clock;

uint32_t be32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

void set_error(std::string* error, const std::string& text) {
  if (error) *error = text;
}

// Where a channel sits in a pixel value and how to widen it to 8 bits.
struct Channel {
  uint32_t mask = 0;
  int shift = 0;
  int bits = 0;
};

Channel channel_of(uint32_t mask) {
  Channel c;
  c.mask = mask;
  if (mask == 0) return c;
  while (((mask >> c.shift) & 1u) == 0) c.shift++;
  while (c.shift + c.bits < 32 && ((mask >> (c.shift + c.bits)) & 1u)) c.bits++;
  return c;
}

uint8_t extract(uint32_t value, const Channel& c) {
  if (c.bits == 0) return 0;
  const uint32_t v = (value & c.mask) >> c.shift;
  if (c.bits >= 8) return static_cast<uint8_t>(v >> (c.bits - 8));
  const uint32_t max = (1u << c.bits) - 1;
  return static_cast<uint8_t>((v * 255 + max / 2) / max);
}

std::optional<host::RunResult> run_on(const XServer& server, std::vector<std::string> argv,
                                      int timeout_ms, std::string* error) {
  host::SpawnOptions o;
  o.argv = std::move(argv);
  o.env = {server.env()};
  o.stderr_path = "/dev/null";
  host::RunResult r = host::run_capture(o, timeout_ms, error);
  if (!r.status) return std::nullopt;
  return r;
}

}  // namespace

std::optional<XServer> start_xvfb(uint32_t width, uint32_t height, const std::string& log_dir,
                                  std::string* error) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    set_error(error, "pipe failed");
    return std::nullopt;
  }
  host::UniqueFd read_end(fds[0]), write_end(fds[1]);
  XServer server;
  server.log_path = log_dir + "/xvfb.log";
  host::SpawnOptions o;
  const std::string fd_text = std::to_string(write_end.get());
  // -noreset: without it the server starts over (root colour and all) whenever its last
  // client leaves, e.g. between xsetroot and the next client.
  o.argv = {"Xvfb",      "-displayfd", fd_text,
            "-screen",   "0",          std::to_string(width) + "x" + std::to_string(height) + "x24",
            "-nolisten", "tcp",        "-ac",
            "-noreset"};
  o.keep_fds = {{write_end.get(), write_end.get()}};
  o.stdout_path = "/dev/null";
  o.stderr_path = server.log_path;
  // Xvfb removes its lock file and socket on SIGTERM; after SIGKILL they would linger.
  o.term_grace_ms = 3000;
  o.die_with_parent = true;
  auto child = host::spawn(o, error);
  if (!child) return std::nullopt;
  server.xvfb = std::move(*child);
  write_end.reset();

  // Xvfb writes the display number once it accepts clients: that is the readiness signal.
  std::string text;
  const auto deadline = Clock::now() + std::chrono::seconds(15);
  while (text.find('\n') == std::string::npos && Clock::now() < deadline) {
    pollfd p{read_end.get(), POLLIN, 0};
    const int r = poll(&p, 1, 100);
    if (r > 0) {
      char buf[64];
      const ssize_t n = read(read_end.get(), buf, sizeof buf);
      if (n <= 0) break;
      text.append(buf, static_cast<size_t>(n));
    }
  }
  if (text.find('\n') == std::string::npos) {
    set_error(error, "Xvfb did not report a display number; its log " + server.log_path);
    return std::nullopt;
  }
  server.display = std::atoi(text.c_str());
  return server;
}

bool run_x(const XServer& server, std::vector<std::string> argv, std::string* out) {
  const auto r = run_on(server, std::move(argv), 10000, nullptr);
  if (out) *out = r ? r->out : std::string{};
  return r && r->status->exited() && r->status->code == 0;
}

bool draw_desktop(XServer& server, const std::string& colour, std::string* error) {
  auto root = run_on(server, {"xsetroot", "-solid", colour}, 10000, error);
  if (!root || !root->status->exited() || root->status->code != 0) {
    if (root) set_error(error, "xsetroot failed: " + host::describe(*root->status));
    return false;
  }
  const std::vector<std::vector<std::string>> clients = {
      {"xclock", "-geometry", "200x200+60+60"},
      {"xeyes", "-geometry", "240x160+420+120"},
      {"xlogo", "-geometry", "180x180+720+420"},
  };
  for (const auto& argv : clients) {
    host::SpawnOptions o;
    o.argv = argv;
    o.env = {server.env()};
    o.stdout_path = "/dev/null";
    o.stderr_path = "/dev/null";
    o.die_with_parent = true;
    auto child = host::spawn(o, error);
    if (!child) return false;
    server.clients.push_back(std::move(*child));
  }

  // Up once every window is listed; drawn once two screenshots in a row are the same.
  const auto deadline = Clock::now() + std::chrono::seconds(15);
  bool listed = false;
  while (!listed && Clock::now() < deadline) {
    auto tree = run_on(server, {"xwininfo", "-root", "-tree"}, 5000, error);
    listed = tree && tree->out.find("\"xclock\"") != std::string::npos &&
             tree->out.find("\"xeyes\"") != std::string::npos &&
             tree->out.find("\"xlogo\"") != std::string::npos;
    if (!listed) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  if (!listed) {
    set_error(error, "the X clients did not show up on " + server.name());
    return false;
  }
  std::optional<host::Canvas> previous;
  while (Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    auto shot = screenshot(server, error);
    if (!shot) return false;
    if (previous && previous->rgba == shot->rgba) return true;
    previous = std::move(shot);
  }
  set_error(error, "the desktop on " + server.name() + " kept changing");
  return false;
}

std::optional<host::Canvas> screenshot(const XServer& server, std::string* error) {
  auto r = run_on(server, {"xwd", "-root", "-silent", "-display", server.name()}, 15000, error);
  if (!r) return std::nullopt;
  if (!r->status->exited() || r->status->code != 0) {
    set_error(error, "xwd failed: " + host::describe(*r->status));
    return std::nullopt;
  }
  return parse_xwd(
      std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(r->out.data()), r->out.size()),
      error);
}

std::optional<host::Canvas> parse_xwd(std::span<const uint8_t> bytes, std::string* error) {
  constexpr size_t kHeaderFields = 25;
  if (bytes.size() < kHeaderFields * 4) {
    set_error(error, "XWD: shorter than its header");
    return std::nullopt;
  }
  uint32_t h[kHeaderFields];
  for (size_t i = 0; i < kHeaderFields; ++i) h[i] = be32(bytes.data() + i * 4);
  const uint32_t header_size = h[0], version = h[1], format = h[2];
  const uint32_t width = h[4], height = h[5], byte_order = h[7];
  const uint32_t bits_per_pixel = h[11], bytes_per_line = h[12], visual_class = h[13];
  const uint32_t red_mask = h[14], green_mask = h[15], blue_mask = h[16], ncolors = h[19];
  if (version != 7 || format != 2 /* ZPixmap */) {
    set_error(error, "XWD: not a version 7 Z pixmap dump");
    return std::nullopt;
  }
  if (visual_class != 4 && visual_class != 5) {
    set_error(error, "XWD: only TrueColor and DirectColor visuals are read");
    return std::nullopt;
  }
  if (bits_per_pixel != 16 && bits_per_pixel != 24 && bits_per_pixel != 32) {
    set_error(error, "XWD: " + std::to_string(bits_per_pixel) + " bits per pixel");
    return std::nullopt;
  }
  if (width == 0 || height == 0 || width > 16384 || height > 16384) {
    set_error(error, "XWD: size out of range");
    return std::nullopt;
  }
  const size_t bytes_pp = bits_per_pixel / 8;
  const uint64_t pixels_at = uint64_t{header_size} + uint64_t{ncolors} * 12;
  const uint64_t need = pixels_at + uint64_t{bytes_per_line} * height;
  if (header_size < kHeaderFields * 4 || bytes_per_line < uint64_t{width} * bytes_pp ||
      need > bytes.size()) {
    set_error(error, "XWD: the pixels do not fit the file");
    return std::nullopt;
  }
  const Channel r = channel_of(red_mask), g = channel_of(green_mask), b = channel_of(blue_mask);
  host::Canvas canvas;
  host::resize_canvas(canvas, width, height);
  for (uint32_t y = 0; y < height; ++y) {
    const uint8_t* row = bytes.data() + pixels_at + uint64_t{y} * bytes_per_line;
    for (uint32_t x = 0; x < width; ++x) {
      const uint8_t* p = row + size_t{x} * bytes_pp;
      uint32_t v = 0;
      for (size_t i = 0; i < bytes_pp; ++i) {
        const size_t shift = byte_order == 0 ? i * 8 : (bytes_pp - 1 - i) * 8;
        v |= uint32_t{p[i]} << shift;
      }
      uint8_t* out = canvas.rgba.data() + (size_t{y} * width + x) * 4;
      out[0] = extract(v, r);
      out[1] = extract(v, g);
      out[2] = extract(v, b);
      out[3] = 255;
    }
  }
  return canvas;
}

std::optional<ImageDiff> compare_rgb(const host::Canvas& a, const host::Canvas& b, int tolerance) {
  if (a.width != b.width || a.height != b.height || a.rgba.size() != b.rgba.size()) {
    return std::nullopt;
  }
  ImageDiff d;
  const size_t pixels = size_t{a.width} * a.height;
  if (pixels == 0) return d;
  uint64_t sums[3] = {0, 0, 0};
  size_t within = 0;
  for (size_t i = 0; i < pixels; ++i) {
    bool ok = true;
    for (int c = 0; c < 3; ++c) {
      const int diff = std::abs(int{a.rgba[i * 4 + c]} - int{b.rgba[i * 4 + c]});
      sums[c] += static_cast<uint64_t>(diff);
      if (diff > tolerance) ok = false;
      if (diff > d.max_abs) d.max_abs = static_cast<uint8_t>(diff);
    }
    if (ok) within++;
  }
  for (int c = 0; c < 3; ++c)
    d.mean_abs[c] = static_cast<double>(sums[c]) / static_cast<double>(pixels);
  d.within = static_cast<double>(within) / static_cast<double>(pixels);
  return d;
}

size_t count_colours(const host::Canvas& canvas, size_t limit) {
  std::unordered_set<uint32_t> seen;
  for (size_t i = 0; i + 3 < canvas.rgba.size() && seen.size() < limit; i += 4) {
    seen.insert(uint32_t{canvas.rgba[i]} << 16 | uint32_t{canvas.rgba[i + 1]} << 8 |
                canvas.rgba[i + 2]);
  }
  return seen.size();
}

}  // namespace korvane::test
