// The classic bitmap path against FreeRDP's shadow server: the base protocol, EXT_CHANGED_ONLY,
// and EXT_CHANGED_ONLY with EXT_DEFLATE (`+deflate`, rectangles counting either event). The
// server runs without the graphics pipeline, RemoteFX and NSCodec (-gfx -rfx -nsc), so korvane
// gets plain bitmap updates; an xterm on a private Xvfb desktop scrolls `seq` output for 10 s,
// and after a second's settling the screen stays still for 5 s (the server keeps resending
// tiles). Prints korvane's bytes out and CPU (all threads, schedstat) for both phases, per mode,
// then the latency of a real change (10 root-window colours set with xsetroot, timed until the
// host's canvas shows each) and korvane's memory. Asserts nothing.
//
// With --old PATH, every mode runs with the old build and the new one in turn (old, new, old,
// new, ...), --runs times each, and one table shows medians side by side with the ratio
// new/old: CPU of the scrolling phase, per second of it, MB to the host, idle CPU (the still
// phase), change latency; then private dirty memory and PSS at 1920x1080, base and +deflate
// (from own short 1080p sessions when the workload is another size).
//
//   classic_bench [--width W] [--height H] [--korvane PATH] [--old PATH] [--runs N]
#include <dirent.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

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

// What a run does once connected: the xterm scrolls for `scroll` seconds; after kSettleMs (the
// xterm and the server finishing what they drew) the screen stays still for `still` seconds;
// then `latency` root colour changes are timed.
struct Workload {
  int scroll = 10, still = 5, latency = 10;
};
constexpr int kXtermStartMs = 2000, kSettleMs = 1000;
// The short 1080p sessions that give the memory figure when the workload is another size.
constexpr Workload kMemoryWorkload{.scroll = 3, .still = 2, .latency = 0};

struct Mode {
  const char* name;
  uint32_t mask;
};
constexpr Mode kModes[] = {
    {"base", 0}, {"changed-only", EXT_CHANGED_ONLY}, {"+deflate", EXT_CHANGED_ONLY | EXT_DEFLATE}};

Result run(const std::string& korvane, const Mode& mode, const test::XServer& x, uint32_t w,
           uint32_t h, const std::string& dir, const Workload& work = {}) {
  Result r;
  auto shadow = bench::start_shadow(x, {"-gfx", "-rfx", "-nsc"}, r.error);
  if (!shadow) return r;
  host::SessionOptions ko = bench::loopback_session(
      korvane, shadow->port, w, h, dir + "/korvane-" + std::to_string(mode.mask) + ".err");
  if (mode.mask) ko.extension_block = encode_extensions(mode.mask);
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
                 std::to_string(work.scroll) + " seq 1 1000000000; sleep 600"};
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
  measure(r.scrolling, work.scroll);
  host::pump_events(*session, kSettleMs, sink);
  measure(r.still, work.still);
  r.memory = test::memory_of(session->child.pid);
  // A real change: the root window's colour, read back at a corner the xterm does not cover.
  for (int i = 0; i < work.latency; ++i) {
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

double median(std::vector<double> v) {
  if (v.empty()) return NAN;
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double in_seconds(uint64_t ns) { return static_cast<double>(ns) / 1e9; }

void print(const char* mode, const char* phase, const Phase& p) {
  std::printf("%-13s %-9s %6.1f %8llu %14llu %10.2f %9.1f\n", mode, phase, p.seconds,
              static_cast<unsigned long long>(p.rects), static_cast<unsigned long long>(p.bytes),
              static_cast<double>(p.bytes) / 1e6, 100.0 * in_seconds(p.cpu_ns) / p.seconds);
}

// A column of the old-against-new tables: a figure of one run; the table shows its median.
struct Column {
  const char* title;
  int precision;
  double (*of)(const Result&);
};

const Column kWorkColumns[] = {
    {"scroll CPU s", 2, [](const Result& r) { return in_seconds(r.scrolling.cpu_ns); }},
    {"CPU s/s", 3,
     [](const Result& r) { return in_seconds(r.scrolling.cpu_ns) / r.scrolling.seconds; }},
    {"MB out", 2, [](const Result& r) { return static_cast<double>(r.scrolling.bytes) / 1e6; }},
    {"idle %core", 1,
     [](const Result& r) { return 100.0 * in_seconds(r.still.cpu_ns) / r.still.seconds; }},
    {"change p50 ms", 0, [](const Result& r) { return median(r.latency_ms); }},
};
const Column kMemoryColumns[] = {
    {"priv dirty MiB", 1,
     [](const Result& r) { return static_cast<double>(r.memory.private_dirty) / 1024; }},
    {"PSS MiB", 1, [](const Result& r) { return static_cast<double>(r.memory.pss) / 1024; }},
    {"threads", 0, [](const Result& r) { return static_cast<double>(r.memory.threads); }},
};

using Runs = std::array<std::vector<Result>, 2>;  // the old build's runs, the new build's

void print_header(std::span<const Column> columns) {
  std::printf("%-13s %-8s", "mode", "build");
  for (const auto& c : columns) std::printf(" %14s", c.title);
  std::printf("\n");
}

// One mode's rows: old, new (medians of the runs that ended cleanly) and new/old.
void print_rows(const char* mode, const Runs& runs, std::span<const Column> columns) {
  std::vector<double> figures[3];  // old, new, new/old
  for (int b = 0; b < 2; ++b) {
    for (const auto& c : columns) {
      std::vector<double> v;
      for (const auto& r : runs[b])
        if (r.ok) v.push_back(c.of(r));
      figures[b].push_back(median(v));
    }
  }
  for (size_t i = 0; i < columns.size(); ++i) figures[2].push_back(figures[1][i] / figures[0][i]);
  const char* rows[] = {"old", "new", "new/old"};
  for (int row = 0; row < 3; ++row) {
    std::printf("%-13s %-8s", mode, rows[row]);
    for (size_t i = 0; i < columns.size(); ++i) {
      const double f = figures[row][i];
      if (std::isfinite(f))
        std::printf(" %14.*f", row == 2 ? 3 : columns[i].precision, f);
      else
        std::printf(" %14s", "-");
    }
    std::printf("\n");
  }
  for (int b = 0; b < 2; ++b)
    for (const auto& r : runs[b])
      if (!r.ok)
        std::printf("  %s, %s build: a run failed: %s\n", mode, b ? "new" : "old", r.error.c_str());
}

// Runs every mode with the old build and the new one in turn, `runs` times, and prints the
// side-by-side tables. Returns 1 if a run failed.
int compare(const std::string (&builds)[2], const test::XServer& x, uint32_t w, uint32_t h,
            int runs, const std::string& dir) {
  const bool full_hd = w == 1920 && h == 1080;
  std::optional<test::XServer> x1080;
  std::string error;
  if (!full_hd) {
    x1080 = test::start_xvfb(1920, 1080, dir, &error);
    if (!x1080 || !test::draw_desktop(*x1080, "#3a6ea5", &error)) {
      std::fprintf(stderr, "X at 1920x1080: %s\n", error.c_str());
      return 1;
    }
  }
  Runs work[std::size(kModes)], memory[std::size(kModes)];
  int rc = 0;
  for (int i = 0; i < runs; ++i) {
    for (size_t m = 0; m < std::size(kModes); ++m) {
      for (int b = 0; b < 2; ++b) {
        std::fprintf(stderr, "run %d of %d: %s, %s build\n", i + 1, runs, kModes[m].name,
                     b ? "new" : "old");
        if (!work[m][b].emplace_back(run(builds[b], kModes[m], x, w, h, dir)).ok) rc = 1;
      }
    }
    // Memory at 1080p for base and +deflate (changed-only holds the same copy of the picture as
    // +deflate, without the deflate stream).
    for (const size_t m : {size_t{0}, std::size(kModes) - 1}) {
      for (int b = 0; b < 2; ++b) {
        if (full_hd) {
          memory[m][b].push_back(work[m][b].back());
          continue;
        }
        std::fprintf(stderr, "run %d of %d: %s, %s build, 1080p memory\n", i + 1, runs,
                     kModes[m].name, b ? "new" : "old");
        const auto& r = memory[m][b].emplace_back(
            run(builds[b], kModes[m], *x1080, 1920, 1080, dir, kMemoryWorkload));
        if (!r.ok) rc = 1;
      }
    }
  }
  std::printf("old: %s\nnew: %s\n%d run%s each, alternated; medians\n", builds[0].c_str(),
              builds[1].c_str(), runs, runs == 1 ? "" : "s");
  print_header(kWorkColumns);
  for (size_t m = 0; m < std::size(kModes); ++m) print_rows(kModes[m].name, work[m], kWorkColumns);
  std::printf(
      "(scroll CPU s: korvane's CPU over the %d s scrolling phase, all threads; CPU s/s: the same "
      "per second of it; MB out: to the host while scrolling; idle %%core: CPU over the %d s "
      "still phase; change p50: xsetroot to the host's canvas)\n",
      Workload{}.scroll, Workload{}.still);
  if (full_hd)
    std::printf("korvane's memory at 1920x1080, after the still phase of the runs above\n");
  else
    std::printf(
        "korvane's memory at 1920x1080, own sessions: %d s scrolling, %d s still, then read\n",
        kMemoryWorkload.scroll, kMemoryWorkload.still);
  print_header(kMemoryColumns);
  for (const size_t m : {size_t{0}, std::size(kModes) - 1})
    print_rows(kModes[m].name, memory[m], kMemoryColumns);
  return rc;
}

}  // namespace

int main(int argc, char** argv) {
  uint32_t w = 1920, h = 1080;
  int runs = 1;
  std::string builds[2] = {"", CLASSIC_BENCH_KORVANE_PATH};  // old (with --old), new
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i];
    const auto v = static_cast<uint32_t>(std::strtoul(argv[i + 1], nullptr, 10));
    if (a == "--width" && v >= 640 && v <= 8192) w = v;
    if (a == "--height" && v >= 480 && v <= 8192) h = v;
    if (a == "--runs" && v >= 1 && v <= 20) runs = static_cast<int>(v);
    if (a == "--korvane") builds[1] = argv[i + 1];
    if (a == "--old") builds[0] = argv[i + 1];
  }
  test::TempDir dir = test::make_temp_dir("korvane-classic-bench");
  std::string error;
  auto x = test::start_xvfb(w, h, dir.path, &error);
  if (!x || !test::draw_desktop(*x, "#3a6ea5", &error)) {
    std::fprintf(stderr, "X: %s\n", error.c_str());
    return 1;
  }
  const Workload work;
  std::printf(
      "classic_bench: %ux%u Xvfb, shadow server -gfx -rfx -nsc over TLS, xterm scrolling "
      "seq for %d s, then %d ms settling, then still for %d s\n",
      w, h, work.scroll, kSettleMs, work.still);
  std::fflush(stdout);
  if (!builds[0].empty()) return compare(builds, *x, w, h, runs, dir.path);
  Result results[std::size(kModes)];
  for (size_t m = 0; m < std::size(kModes); ++m)
    results[m] = run(builds[1], kModes[m], *x, w, h, dir.path);
  std::printf("%-13s %-9s %6s %8s %14s %10s %9s\n", "mode", "phase", "secs", "rects", "bytes out",
              "MB out", "korv %cpu");
  int rc = 0;
  for (size_t m = 0; m < std::size(kModes); ++m) {
    const Result& r = results[m];
    if (!r.ok) {
      std::printf("%-13s failed: %s\n", kModes[m].name, r.error.c_str());
      rc = 1;
      continue;
    }
    print(kModes[m].name, "scrolling", r.scrolling);
    print(kModes[m].name, "still", r.still);
  }
  for (size_t m = 0; m < std::size(kModes); ++m) {
    if (!results[m].ok) continue;
    std::vector<double> l = results[m].latency_ms;
    std::sort(l.begin(), l.end());
    if (l.empty()) {
      std::printf("change latency, %s: no change was seen\n", kModes[m].name);
      continue;
    }
    std::printf(
        "change latency, %s: %zu of %d seen, p50 %.1f ms, p90 %.1f ms (xsetroot to canvas)\n",
        kModes[m].name, l.size(), work.latency, l[l.size() / 2],
        l[(l.size() * 9) / 10 < l.size() ? (l.size() * 9) / 10 : l.size() - 1]);
  }
  for (size_t m = 0; m < std::size(kModes); ++m)
    if (const test::Memory& mem = results[m].memory; results[m].ok)
      std::printf(
          "korvane memory, %s: PSS %.1f MiB, private %.1f MiB (dirty %.1f MiB), %ld threads\n",
          kModes[m].name, static_cast<double>(mem.pss) / 1024,
          static_cast<double>(mem.private_kib) / 1024,
          static_cast<double>(mem.private_dirty) / 1024, mem.threads);
  return rc;
}
