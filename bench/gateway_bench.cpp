// What going through a Remote Desktop Gateway costs: paint_bench's full-desktop stream and input
// latency (korvane-test-server -> korvane -> this host) three ways in one run, directly, through
// korvane-test-gateway over its WebSocket, and through it over the legacy two HTTP connections
// (the gateway started with --no-websocket). Prints one table; asserts nothing.
//
//   gateway_bench [--frames N] [--width W --height H] [--moves N]
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "paint_rig.hpp"

using namespace korvane;

namespace {

struct Row {
  const char* name;
  bench::Route route;
  bench::StreamFigures stream;
  std::vector<double> latency_us;
};

constexpr int kGapMs = 10;  // moves 10 ms apart: the server keeps up, so this is the path's own

void run(Row& row, int frames, int moves, uint32_t w, uint32_t h) {
  if (auto rig = bench::start_paint_rig({"stream " + std::to_string(frames), "sleep 200", "end"}, w,
                                        h, row.route))
    row.stream = bench::measure_stream(*rig, w, h);
  if (auto rig = bench::start_paint_rig(
          {"wait-input " + std::to_string(moves) + " 60000", "sleep 200", "end"}, 1024, 768,
          row.route))
    row.latency_us = bench::measure_latency(*rig, moves, kGapMs);
}

void print(const Row& r, bool gateway) {
  const auto& s = r.stream;
  std::printf("%-15s", r.name);
  if (s.counted > 0)
    std::printf(" %5d %8.1f %8.1f %9.2f", s.full_rects, s.fps(), s.mb_s(),
                s.per_frame(s.korvane_cpu) * 1e3);
  else
    std::printf(" %5d %8s %8s %9s", s.full_rects, "-", "-", "-");
  if (gateway && s.counted > 0)
    std::printf(" %9.2f", s.per_frame(s.gateway_cpu) * 1e3);
  else
    std::printf(" %9s", "-");
  if (!r.latency_us.empty())
    std::printf(" %5zu %7.0f %7.0f %7.0f\n", r.latency_us.size(), bench::p50(r.latency_us),
                r.latency_us[r.latency_us.size() * 9 / 10], bench::p99(r.latency_us));
  else
    std::printf(" %5d %7s %7s %7s\n", 0, "-", "-", "-");
}

}  // namespace

int main(int argc, char** argv) {
  int frames = 60, moves = 200;
  uint32_t w = 1920, h = 1080;
  bench::read_options(argc, argv, std::pair{"--frames", &frames}, std::pair{"--moves", &moves},
                      std::pair{"--width", &w}, std::pair{"--height", &h});
  std::vector<Row> rows = {{"direct", bench::Route::direct, {}, {}},
                           {"gateway-ws", bench::Route::gateway_ws, {}, {}},
                           {"gateway-legacy", bench::Route::gateway_legacy, {}, {}}};
  for (auto& row : rows) run(row, frames, moves, w, h);
  std::printf(
      "gateway cost (%ux%u, %d full-desktop frames from korvane-test-server; %d mouse moves %d ms "
      "apart, host command to server receipt)\n",
      w, h, frames, moves, kGapMs);
  std::printf("%-15s %5s %8s %8s %9s %9s %5s %7s %7s %7s\n", "mode", "recv", "frames/s", "MB/s",
              "korv ms/f", "gate ms/f", "moves", "p50 us", "p90 us", "p99 us");
  for (const auto& row : rows) print(row, row.route != bench::Route::direct);
  std::printf(
      "(MB/s of EVT_RECT payload; ms/f: user+sys CPU per frame from /proc, korvane's and the "
      "gateway's)\n");
  int failed = 0;
  for (const auto& row : rows)
    if (row.stream.full_rects < frames || row.latency_us.size() < static_cast<size_t>(moves))
      ++failed;
  return failed == 0 ? 0 : 1;
}
