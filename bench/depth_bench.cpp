// What a lower colour depth (the profile's FIELD_COLOR_DEPTH) saves on the classic bitmap path,
// against FreeRDP's shadow server without the graphics pipeline, RemoteFX and NSCodec (-gfx -rfx
// -nsc): below 32 bits per pixel it sends interleaved RLE bitmaps, at 32 planar ones. A thread of
// this program repaints part of a private Xvfb desktop steadily with a moving picture
// (x_painter.hpp), the same in every run: smooth gradients and blocks, or with `--picture grain`
// fine detail over them as a photograph has, which the codecs' runs and deltas cannot fold. Runs
// alternate between a profile of 16 and one of 32 bits per pixel, each with a fresh server and
// korvane over TLS on 127.0.0.1, and korvane dialling a TCP relay in front of the server that
// counts the server's bytes.
//
// Per run, over a measuring window after a warm-up: the server's bytes per frame the X client
// drew, korvane's CPU (user + system, from /proc) per drawn frame and its share of a core, the
// bytes korvane sent the host (RGBA either way), the server's CPU per frame; and the share of the
// host's canvas in 16-bit colours (red and blue as 5 bits widen to 8), which shows the
// session's depth. Asserts nothing.
//
// usage: depth_bench [--seconds S] [--warmup S] [--width W] [--height H] [--fps N]
//                    [--area WxH] [--rounds N] [--picture gradient|grain] [--korvane PATH]
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "host/desktop.hpp"
#include "host/session.hpp"
#include "host_link/extensions.hpp"
#include "host_link/protocol.hpp"
#include "proc_stats.hpp"
#include "shadow_rig.hpp"
#include "tcp_proxy.hpp"

// Last: Xlib's macros would clash with names in the headers above.
#include "x_painter.hpp"

using namespace korvane;
using namespace std::chrono;

namespace {

struct Result {
  bool ok = false;
  std::string error;
  uint8_t depth = 0;
  double seconds = 0, cpu_seconds = 0, server_cpu_ns = 0, share_565 = 0;
  uint64_t drawn = 0, rects = 0, server_bytes = 0, korvane_bytes = 0;
};

// Whether a pixel's red and blue are what 5 bits of a 16-bit colour become in RGBA: the top 3
// bits repeated below. (The library widens green's 6 bits otherwise.)
bool is_565(const uint8_t* px) {
  return px[0] == ((px[0] & 0xF8) | (px[0] >> 5)) && px[2] == ((px[2] & 0xF8) | (px[2] >> 5));
}

Result run(const bench::ScreenOptions& opt, uint8_t depth, bench::Screen& screen) {
  Result r;
  r.depth = depth;
  auto shadow = bench::start_shadow(*screen.x, {"-gfx", "-rfx", "-nsc"}, r.error);
  if (!shadow) return r;
  std::string error;
  auto proxy = test::start_tcp_proxy(shadow->port, &error);
  if (!proxy) {
    r.error = "relay: " + error;
    return r;
  }
  host::SessionOptions ko =
      bench::loopback_session(opt.korvane, proxy->port, opt.width, opt.height,
                              screen.dir.path + "/korvane-" + std::to_string(depth) + ".err");
  const ExtensionField field = {FIELD_COLOR_DEPTH, {depth}};
  ko.extension_block = encode_extensions(EXT_PROFILE, {&field, 1});
  host::Desktop desktop;
  bool counting = false;
  auto apply = [&](const host::Frame& f) {
    host::apply_event(desktop, f);
    if (!counting) return;
    r.korvane_bytes += kFrameHeaderSize + f.payload.size();
    if (f.type == EVT_RECT) ++r.rects;
  };
  auto session = bench::connect(ko, apply, r.error);
  if (!session) return r;
  host::pump_events(*session, opt.warmup * 1000, apply);
  counting = true;
  const auto t0 = steady_clock::now();
  const double c0 = test::cpu_seconds(session->child.pid);
  const uint64_t s0 = test::run_ns(shadow->process.pid), b0 = proxy->state->from_server.load();
  const uint64_t d0 = screen.painter.drawn.load();
  host::pump_events(*session, opt.seconds * 1000, apply);
  r.cpu_seconds = test::cpu_seconds(session->child.pid) - c0;
  r.server_cpu_ns = static_cast<double>(test::run_ns(shadow->process.pid) - s0);
  r.server_bytes = proxy->state->from_server.load() - b0;
  r.drawn = screen.painter.drawn.load() - d0;
  r.seconds = duration<double>(steady_clock::now() - t0).count();
  counting = false;
  const std::vector<uint8_t>& px = desktop.canvas.rgba;
  size_t in_565 = 0;
  for (size_t i = 0; i + 3 < px.size(); i += 4) in_565 += is_565(&px[i]);
  r.share_565 =
      px.empty() ? 0 : 400.0 * static_cast<double>(in_565) / static_cast<double>(px.size());
  r.ok = bench::ended_cleanly(*session, ko, r.error);
  return r;
}

void print(const Result& r) {
  const double drawn = r.drawn ? static_cast<double>(r.drawn) : 1;
  const double rects = r.rects ? static_cast<double>(r.rects) : 1;
  std::printf("%-6u %6.1f %6llu %8llu %12llu %11.1f %10.0f %13llu %12.2f %10.1f %11.2f %9.1f\n",
              unsigned{r.depth}, r.seconds, static_cast<unsigned long long>(r.drawn),
              static_cast<unsigned long long>(r.rects),
              static_cast<unsigned long long>(r.server_bytes),
              static_cast<double>(r.server_bytes) / drawn / 1024,
              static_cast<double>(r.server_bytes) / rects,
              static_cast<unsigned long long>(r.korvane_bytes), r.cpu_seconds * 1e3 / drawn,
              100.0 * r.cpu_seconds / r.seconds, r.server_cpu_ns / 1e6 / drawn, r.share_565);
}

}  // namespace

int main(int argc, char** argv) {
  bench::ScreenOptions opt{.korvane = BENCH_KORVANE_PATH, .area_w = 960, .area_h = 540};
  int rounds = 2;
  bool grain = false;  // --picture grain: the moving picture with photographic detail
  auto own = [&](const std::string& arg, const char* v) {
    if (arg == "--rounds")
      rounds = static_cast<int>(std::strtoul(v, nullptr, 10));
    else if (arg == "--picture" && (std::string(v) == "gradient" || std::string(v) == "grain"))
      grain = std::string(v) == "grain";
    else
      return false;
    return true;
  };
  if (!bench::parse_screen_options(argc, argv, opt, " [--rounds N] [--picture gradient|grain]",
                                   own) ||
      !bench::screen_options_valid(opt, rounds > 0 && rounds <= 20, "1..20 rounds, "))
    return 2;
  bench::Screen screen;
  if (!bench::start_screen(screen, opt, "korvane-depth-bench", grain)) return 1;
  std::printf(
      "depth_bench: %ux%u desktop, %ux%u of it repainted %u times a second, shadow server -gfx "
      "-rfx -nsc over TLS on 127.0.0.1, %d s measured after %d s, %d rounds of 16 and 32 bpp\n",
      opt.width, opt.height, opt.area_w, opt.area_h, opt.fps, opt.seconds, opt.warmup, rounds);
  std::fflush(stdout);
  std::vector<Result> results;
  for (int round = 0; round < rounds; ++round)
    for (const uint8_t depth : {uint8_t{16}, uint8_t{32}})
      results.push_back(run(opt, depth, screen));
  screen.painter.stop();
  std::printf("%-6s %6s %6s %8s %12s %11s %10s %13s %12s %10s %11s %9s\n", "bpp", "secs", "drawn",
              "rects", "srv out (B)", "srv KiB/frm", "srv B/rect", "korv out (B)", "korv ms/frm",
              "korv %cpu", "srv ms/frm", "565 %");
  int rc = 0;
  // Per drawn frame, and per rect: the server resends tiles at its own pace, so the number of
  // rects a frame costs varies from run to run far more than what one rect costs.
  double sum_bytes[2] = {0, 0}, sum_cpu[2] = {0, 0}, sum_tile[2] = {0, 0}, sum_tile_cpu[2] = {0, 0};
  for (const Result& r : results) {
    if (!r.ok) {
      std::printf("%-6u failed: %s\n", unsigned{r.depth}, r.error.c_str());
      rc = 1;
      continue;
    }
    print(r);
    const double drawn = r.drawn ? static_cast<double>(r.drawn) : 1;
    sum_bytes[r.depth == 32] += static_cast<double>(r.server_bytes) / drawn;
    sum_cpu[r.depth == 32] += r.cpu_seconds / drawn;
    const double rects = r.rects ? static_cast<double>(r.rects) : 1;
    sum_tile[r.depth == 32] += static_cast<double>(r.server_bytes) / rects;
    sum_tile_cpu[r.depth == 32] += r.cpu_seconds / rects;
  }
  if (rc == 0 && sum_bytes[0] > 0 && sum_cpu[0] > 0 && sum_tile_cpu[0] > 0)
    std::printf(
        "32 / 16 bpp, means of the rounds: per drawn frame server bytes %.2fx, korvane CPU "
        "%.2fx; per rect server bytes %.2fx, korvane CPU %.2fx\n",
        sum_bytes[1] / sum_bytes[0], sum_cpu[1] / sum_cpu[0], sum_tile[1] / sum_tile[0],
        sum_tile_cpu[1] / sum_tile_cpu[0]);
  return rc;
}
