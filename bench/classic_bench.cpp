// The classic bitmap path against FreeRDP's shadow server: the base protocol, EXT_CHANGED_ONLY,
// and EXT_CHANGED_ONLY with EXT_DEFLATE (`+deflate`, rectangles counting either event). The
// server runs without the graphics pipeline, RemoteFX and NSCodec (-gfx -rfx -nsc), so korvane
// gets plain bitmap updates; an xterm on a private Xvfb desktop scrolls `seq` output for 10 s
// and then stays still for 3 s. Prints korvane's bytes out and CPU (all threads, schedstat) for
// both phases, per mode, then the latency of a real change (10 root-window colours set with
// xsetroot, timed until the host's canvas shows each) and korvane's memory. Asserts nothing.
//
//   classic_bench [--width W] [--height H] [--korvane PATH]
#include <dirent.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

#include "host/desktop.hpp"
#include "host/process.hpp"
#include "host/session.hpp"
#include "host_link/extensions.hpp"
#include "host_link/protocol.hpp"
#include "net.hpp"
#include "proc_stats.hpp"
#include "shadow_rig.hpp"
#include "x_display.hpp"

using namespace korvane;
using namespace std::chrono;

namespace {

using test::run_ns;

struct Phase {
  double seconds = 0;
  uint64_t bytes = 0, rects = 0, cpu_ns = 0;
};

struct Result {
  bool ok = false;
  std::string error;
  Phase scrolling, still;
  std::vector<double> latency_ms;  // X change to the host's canvas showing it, one per sample
  test::Memory memory;             // korvane's, after the still phase
};

constexpr int kScrollSeconds = 10, kStillSeconds = 3, kXtermStartMs = 2000, kLatencySamples = 10;

// The binary measured: korvane's build by default, another one (an older build) with --korvane.
std::string korvane_binary = CLASSIC_BENCH_KORVANE_PATH;

Result run(uint32_t mask, const test::XServer& x, uint32_t w, uint32_t h, const std::string& dir) {
  Result r;
  auto shadow = bench::start_shadow(x, {"-gfx", "-rfx", "-nsc"}, r.error);
  if (!shadow) return r;
  host::SessionOptions ko = bench::loopback_session(
      korvane_binary, shadow->port, w, h, dir + "/korvane-" + std::to_string(mask) + ".err");
  if (mask) ko.extension_block = encode_extensions(mask);
  Phase* counting = nullptr;
  host::Desktop desktop;
  auto sink = [&](const host::Frame& f) {
    host::apply_event(desktop, f);
    if (!counting) return;
    counting->bytes += kFrameHeaderSize + f.payload.size();
    if (f.type == EVT_RECT || f.type == EVT_RECT_DEFLATE) ++counting->rects;
  };
  auto session = bench::connect(ko, sink, r.error);
  if (!session) return r;
  host::pump_events(*session, 3000, sink);
  // The xterm waits a moment so that its window is up before the scrolling starts, scrolls for
  // the scrolling phase and then stays still until it is ended.
  host::SpawnOptions xo;
  xo.argv = {"xterm",
             "-geometry",
             "120x50+0+0",
             "-e",
             "sh",
             "-c",
             "sleep " + std::to_string(kXtermStartMs / 1000) + "; timeout " +
                 std::to_string(kScrollSeconds) + " seq 1 1000000000; sleep 600"};
  xo.env = {x.env()};
  xo.stderr_path = "/dev/null";
  xo.stdout_path = "/dev/null";
  xo.term_grace_ms = 500;
  std::string error;
  auto xterm = host::spawn(xo, &error);
  if (!xterm) {
    r.error = "xterm: " + error;
    return r;
  }
  host::pump_events(*session, kXtermStartMs, sink);
  auto measure = [&](Phase& p, int seconds) {
    counting = &p;
    const auto t0 = steady_clock::now();
    const uint64_t k0 = run_ns(session->child.pid);
    host::pump_events(*session, seconds * 1000, sink);
    p.cpu_ns = run_ns(session->child.pid) - k0;
    p.seconds = duration<double>(steady_clock::now() - t0).count();
    counting = nullptr;
  };
  measure(r.scrolling, kScrollSeconds);
  measure(r.still, kStillSeconds);
  r.memory = test::memory_of(session->child.pid);
  // A real change: the root window's colour, read back at a corner the xterm does not cover.
  for (int i = 0; i < kLatencySamples; ++i) {
    const uint8_t red = static_cast<uint8_t>(40 + 20 * i), green = 90, blue = 160;
    char colour[8];
    std::snprintf(colour, sizeof colour, "#%02x%02x%02x", red, green, blue);
    host::SpawnOptions so_set;
    so_set.argv = {"xsetroot", "-solid", colour};
    so_set.env = {x.env()};
    const auto t0 = steady_clock::now();
    host::run_capture(so_set, 5000);
    const size_t at = (static_cast<size_t>(h - 10) * w + (w - 10)) * 4;
    bool seen = false;
    while (!seen && steady_clock::now() - t0 < std::chrono::seconds(3)) {
      host::Frame f;
      if (host::next_event(*session, 100, f) == host::ReadStatus::frame) sink(f);
      const auto& px = desktop.canvas.rgba;
      seen = px.size() > at + 2 && px[at] == red && px[at + 1] == green && px[at + 2] == blue;
    }
    if (seen)
      r.latency_ms.push_back(duration<double, std::milli>(steady_clock::now() - t0).count());
  }
  r.ok = bench::ended_cleanly(*session, ko, r.error);
  return r;
}

void print(const char* mode, const char* phase, const Phase& p) {
  std::printf("%-13s %-9s %6.1f %8llu %14llu %10.2f %9.1f\n", mode, phase, p.seconds,
              static_cast<unsigned long long>(p.rects), static_cast<unsigned long long>(p.bytes),
              static_cast<double>(p.bytes) / 1e6,
              100.0 * static_cast<double>(p.cpu_ns) / 1e9 / p.seconds);
}

}  // namespace

int main(int argc, char** argv) {
  uint32_t w = 1920, h = 1080;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i];
    const auto v = static_cast<uint32_t>(std::strtoul(argv[i + 1], nullptr, 10));
    if (a == "--width" && v >= 640 && v <= 8192) w = v;
    if (a == "--height" && v >= 480 && v <= 8192) h = v;
    if (a == "--korvane") korvane_binary = argv[i + 1];
  }
  test::TempDir dir = test::make_temp_dir("korvane-classic-bench");
  std::string error;
  auto x = test::start_xvfb(w, h, dir.path, &error);
  if (!x || !test::draw_desktop(*x, "#3a6ea5", &error)) {
    std::fprintf(stderr, "X: %s\n", error.c_str());
    return 1;
  }
  std::printf(
      "classic_bench: %ux%u Xvfb, shadow server -gfx -rfx -nsc over TLS, xterm scrolling "
      "seq for %d s then still for %d s\n",
      w, h, kScrollSeconds, kStillSeconds);
  std::fflush(stdout);
  const Result base = run(0, *x, w, h, dir.path);
  const Result changed = run(EXT_CHANGED_ONLY, *x, w, h, dir.path);
  const Result deflated = run(EXT_CHANGED_ONLY | EXT_DEFLATE, *x, w, h, dir.path);
  std::printf("%-13s %-9s %6s %8s %14s %10s %9s\n", "mode", "phase", "secs", "rects", "bytes out",
              "MB out", "korv %cpu");
  int rc = 0;
  const std::pair<const char*, const Result*> runs[] = {
      {"base", &base}, {"changed-only", &changed}, {"+deflate", &deflated}};
  for (const auto& [name, r] : runs) {
    if (!r->ok) {
      std::printf("%-13s failed: %s\n", name, r->error.c_str());
      rc = 1;
      continue;
    }
    print(name, "scrolling", r->scrolling);
    print(name, "still", r->still);
  }
  for (const auto& [name, r] : runs) {
    if (!r->ok) continue;
    std::vector<double> l = r->latency_ms;
    std::sort(l.begin(), l.end());
    if (l.empty()) {
      std::printf("change latency, %s: no change was seen\n", name);
      continue;
    }
    std::printf(
        "change latency, %s: %zu of %d seen, p50 %.1f ms, p90 %.1f ms (xsetroot to canvas)\n", name,
        l.size(), kLatencySamples, l[l.size() / 2],
        l[(l.size() * 9) / 10 < l.size() ? (l.size() * 9) / 10 : l.size() - 1]);
  }
  for (const auto& [name, r] : runs)
    if (r->ok)
      std::printf("korvane memory, %s: PSS %.1f MiB, private %.1f MiB, %ld threads\n", name,
                  static_cast<double>(r->memory.pss) / 1024,
                  static_cast<double>(r->memory.private_kib) / 1024, r->memory.threads);
  return rc;
}
