// What a host that decodes AVC444v2 itself saves korvane, against a real RDP server.
//
// FreeRDP's shadow server shares a private W x H Xvfb desktop that an X client (a thread of
// this program) repaints steadily: every frame it puts a moving picture over an area of the
// screen. The server encodes the changes as AVC444v2, which it picks whenever a client offers it.
// Two runs, one after the other, each with a fresh server and korvane over TLS on 127.0.0.1:
//   base      no extension block: korvane's renderer decodes AVC444v2 (two H.264 views, then
//             YUV 4:4:4 to RGB) and korvane sends the repainted area as EVT_RECT.
//   ext-h264  EXT_H264 with AVC444v2 and AVC420: korvane passes the views through as
//             EVT_H264_CODEC and this program decodes them, as a host would.
// In both runs this program, as the host, applies every event to a canvas (paints the rects, or
// decodes the views); its CPU for that is shown too.
//
// Figures are taken over a measuring window after a warm-up. korvane's CPU is read from /proc
// (all its threads' run time from schedstat); "updates" are the picture events korvane sent
// (EVT_RECT or EVT_H264_CODEC); "drawn" the frames the X client put on the screen. The server
// may merge frames it cannot keep up with, so per-frame figures are given per update as well.
//
// usage: shadow_bench [--seconds S] [--warmup S] [--width W] [--height H] [--fps N]
//                     [--area WxH] [--korvane PATH]
#include <time.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "host/desktop.hpp"
#include "host/session.hpp"
#include "host_link/extensions.hpp"
#include "host_link/protocol.hpp"
#include "proc_stats.hpp"
#include "shadow_rig.hpp"

// Last: Xlib's macros (CursorShape, None, ...) would clash with names in the headers above.
#include "x_painter.hpp"

using namespace korvane;
using namespace std::chrono;

namespace {

using bench::ScreenOptions;
using test::run_ns;

uint64_t thread_cpu_ns() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

struct Result {
  bool ok = false;
  std::string error;
  double seconds = 0;
  uint64_t drawn = 0;
  uint64_t updates = 0;  // EVT_RECT or EVT_H264_CODEC
  uint64_t rects = 0, h264 = 0, other = 0;
  uint64_t bytes_out = 0;
  uint64_t korvane_ns = 0;
  uint64_t server_ns = 0;
  uint64_t host_ns = 0;
  uint64_t problems = 0;
  std::string codecs;
  test::Memory memory;  // korvane's, at the end of the measured run
};

Result run(const ScreenOptions& opt, bool extension, bench::Screen& screen) {
  Result r;
  auto shadow = bench::start_shadow(*screen.x, {}, r.error);
  if (!shadow) return r;
  host::SessionOptions ko = bench::loopback_session(
      opt.korvane, shadow->port, opt.width, opt.height,
      screen.dir.path + (extension ? "/korvane-ext.err" : "/korvane-base.err"));
  if (extension) {
    const std::vector<ExtensionField> fields = {
        {FIELD_H264_CODECS, {static_cast<uint8_t>(H264_AVC444V2 | H264_AVC420)}}};
    ko.extension_block = encode_extensions(EXT_H264, fields);
  }
  host::Desktop desktop;
  bool counting = false;
  auto apply = [&](const host::Frame& f) {
    const uint64_t t0 = thread_cpu_ns();
    host::apply_event(desktop, f);
    const uint64_t spent = thread_cpu_ns() - t0;
    if (!counting) return;
    r.host_ns += spent;
    r.bytes_out += kFrameHeaderSize + f.payload.size();
    if (f.type == EVT_RECT)
      ++r.rects;
    else if (f.type == EVT_H264_CODEC)
      ++r.h264;
    else
      ++r.other;
  };
  auto session = bench::connect(ko, apply, r.error);
  if (!session) return r;
  host::pump_events(*session, opt.warmup * 1000, apply);
  counting = true;
  const auto t0 = steady_clock::now();
  const uint64_t k0 = run_ns(session->child.pid), s0 = run_ns(shadow->process.pid);
  const uint64_t d0 = screen.painter.drawn.load();
  host::pump_events(*session, opt.seconds * 1000, apply);
  const uint64_t k1 = run_ns(session->child.pid), s1 = run_ns(shadow->process.pid);
  r.memory = test::memory_of(session->child.pid);
  r.drawn = screen.painter.drawn.load() - d0;
  r.seconds = duration<double>(steady_clock::now() - t0).count();
  counting = false;
  r.korvane_ns = k1 - k0;
  r.server_ns = s1 - s0;
  r.updates = r.rects + r.h264;
  r.problems = desktop.problems + desktop.h264.stats.errors;
  const auto& st = desktop.h264.stats;
  r.codecs = "avc420=" + std::to_string(st.codec_avc420) +
             " avc444=" + std::to_string(st.codec_avc444) +
             " avc444v2=" + std::to_string(st.codec_avc444v2);
  r.ok = bench::ended_cleanly(*session, ko, r.error);
  return r;
}

void print(const char* name, const Result& r) {
  const double updates = r.updates ? static_cast<double>(r.updates) : 1;
  const double drawn = r.drawn ? static_cast<double>(r.drawn) : 1;
  std::printf("%-9s %6.1f %6llu %7llu %12llu %10.1f %11.2f %11.2f %10.1f %11.2f %10.2f\n", name,
              r.seconds, static_cast<unsigned long long>(r.drawn),
              static_cast<unsigned long long>(r.updates),
              static_cast<unsigned long long>(r.bytes_out),
              static_cast<double>(r.bytes_out) / updates / 1024,
              static_cast<double>(r.korvane_ns) / 1e6 / updates,
              static_cast<double>(r.korvane_ns) / 1e6 / drawn,
              100.0 * static_cast<double>(r.korvane_ns) / 1e9 / r.seconds,
              static_cast<double>(r.host_ns) / 1e6 / updates,
              static_cast<double>(r.server_ns) / 1e6 / updates);
}

}  // namespace

int main(int argc, char** argv) {
  ScreenOptions opt{.korvane = BENCH_KORVANE_PATH};
  if (!bench::parse_screen_options(argc, argv, opt) || !bench::screen_options_valid(opt)) return 2;
  bench::Screen screen;
  if (!bench::start_screen(screen, opt, "korvane-shadow-bench")) return 1;
  std::printf(
      "shadow_bench: %ux%u desktop, %ux%u of it repainted %u times a second, shadow server "
      "over TLS on 127.0.0.1, %d s measured after %d s\n",
      opt.width, opt.height, opt.area_w, opt.area_h, opt.fps, opt.seconds, opt.warmup);
  std::fflush(stdout);
  const Result base = run(opt, false, screen);
  if (!base.ok) {
    std::fprintf(stderr, "base run failed: %s\n", base.error.c_str());
    return 1;
  }
  const Result ext = run(opt, true, screen);
  if (!ext.ok) {
    std::fprintf(stderr, "ext-h264 run failed: %s\n", ext.error.c_str());
    return 1;
  }
  screen.painter.stop();
  std::printf("%-9s %6s %6s %7s %12s %10s %11s %11s %10s %11s %10s\n", "mode", "secs", "drawn",
              "updates", "out (B)", "KiB/upd", "korv ms/upd", "korv ms/drw", "korv %cpu",
              "host ms/upd", "srv ms/upd");
  print("base", base);
  print("ext-h264", ext);
  std::printf(
      "base events: %llu EVT_RECT, %llu EVT_H264_CODEC, %llu other; problems %llu\n",
      static_cast<unsigned long long>(base.rects), static_cast<unsigned long long>(base.h264),
      static_cast<unsigned long long>(base.other), static_cast<unsigned long long>(base.problems));
  std::printf(
      "ext-h264 events: %llu EVT_RECT, %llu EVT_H264_CODEC (whole session: %s), %llu other; "
      "problems "
      "%llu\n",
      static_cast<unsigned long long>(ext.rects), static_cast<unsigned long long>(ext.h264),
      ext.codecs.c_str(), static_cast<unsigned long long>(ext.other),
      static_cast<unsigned long long>(ext.problems));
  const double base_per =
      static_cast<double>(base.korvane_ns) / static_cast<double>(base.updates ? base.updates : 1);
  const double ext_per =
      static_cast<double>(ext.korvane_ns) / static_cast<double>(ext.updates ? ext.updates : 1);
  const double base_bytes =
      static_cast<double>(base.bytes_out) / static_cast<double>(base.updates ? base.updates : 1);
  const double ext_bytes =
      static_cast<double>(ext.bytes_out) / static_cast<double>(ext.updates ? ext.updates : 1);
  for (const auto& [name, r] : {std::pair{"base", &base}, std::pair{"ext-h264", &ext}})
    std::printf("korvane memory, %s: PSS %.1f MiB, private %.1f MiB, %ld threads\n", name,
                static_cast<double>(r->memory.pss) / 1024,
                static_cast<double>(r->memory.private_kib) / 1024, r->memory.threads);
  std::printf("korvane CPU per update, base / ext-h264: %.1fx; bytes out per update: %.1fx\n",
              ext_per > 0 ? base_per / ext_per : 0.0, ext_bytes > 0 ? base_bytes / ext_bytes : 0.0);
  return 0;
}
