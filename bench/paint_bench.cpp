// Paint throughput, memory over many paints, and input latency, end to end on loopback:
// korvane-test-server -> korvane -> this host. Prints figures; asserts nothing. --korvane
// measures another build (an older one, to compare); the capture-and-send line is always this
// build's, measured in process.
//
//   paint_bench [--frames N] [--width W --height H] [--paints N] [--moves N] [--korvane PATH]
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "host/frame_io.hpp"
#include "host/session.hpp"
#include "host_link/protocol.hpp"
#include "host_link/transport.hpp"
#include "logged_process.hpp"
#include "net.hpp"
#include "platform/stdio_link.hpp"
#include "paint_rig.hpp"
#include "proc_stats.hpp"

using namespace korvane;
using bench::Clock;

namespace {

double seconds_since(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

// The binary measured: this build's by default, another one with --korvane.
std::string korvane_binary = KORVANE_PATH;

std::optional<bench::PaintRig> start(const std::vector<std::string>& steps, uint32_t w,
                                     uint32_t h) {
  return bench::start_paint_rig(steps, w, h, bench::Route::direct, korvane_binary);
}

// The physical limit of the host pipe: the same frames written by a plain writer into a pipe
// and read by the same reader.
double pipe_limit_mb_s(size_t frame_payload, int frames) {
  int fds[2];
  if (pipe(fds) != 0) return 0;
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    std::vector<uint8_t> frame(kFrameHeaderSize + frame_payload, 0x5A);
    const auto h = encode_header(EVT_RECT, static_cast<uint32_t>(frame_payload));
    std::memcpy(frame.data(), h.data(), h.size());
    for (int i = 0; i < frames; ++i) host::write_all(fds[1], frame, 60000);
    _exit(0);
  }
  close(fds[1]);
  host::FrameReader reader;
  reader.fd = fds[0];
  const auto t0 = Clock::now();
  uint64_t bytes = 0;
  host::Frame f;
  while (host::read_frame(reader, 60000, f) == host::ReadStatus::frame) bytes += f.payload.size();
  const double secs = seconds_since(t0);
  close(fds[0]);
  waitpid(pid, nullptr, 0);
  return static_cast<double>(bytes) / secs / 1e6;
}

// CPU korvane spends to send one full frame: the write path alone, into a pipe drained by
// another thread (what capture-and-send costs besides the decoding).
double send_cpu_per_frame(size_t payload, int frames) {
  int out[2], in[2];
  if (pipe(out) != 0 || pipe(in) != 0) return 0;
  stdio_link_attach(in[0], out[1]);
  std::thread drain([&] {
    std::vector<uint8_t> buf(1 << 20);
    while (read(out[0], buf.data(), buf.size()) > 0) {
    }
  });
  std::vector<uint8_t> pixels(payload - kRectHeaderSize, 0x33);
  std::array<uint8_t, kRectHeaderSize> head{};
  timespec a{}, b{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &a);
  for (int i = 0; i < frames; ++i) {
    const std::span<const uint8_t> parts[] = {head, pixels};
    send_frame_parts(EVT_RECT, parts);
  }
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &b);
  close(out[1]);
  drain.join();
  close(out[0]);
  close(in[0]);
  close(in[1]);
  return (static_cast<double>(b.tv_sec - a.tv_sec) +
          static_cast<double>(b.tv_nsec - a.tv_nsec) / 1e9) /
         frames;
}

void throughput(int frames, uint32_t w, uint32_t h) {
  auto rig = start({"stream " + std::to_string(frames), "sleep 200", "end"}, w, h);
  if (!rig) return;
  const size_t full = kRectHeaderSize + size_t{w} * h * 4;
  const auto s = bench::measure_stream(*rig, w, h);
  const int full_rects = s.full_rects, rects = s.rects;
  const double fps = s.fps();
  const double mb_s = s.mb_s();
  const double cpu_per_frame = s.per_frame(s.korvane_cpu);
  const double limit = pipe_limit_mb_s(full, 200);
  const double send_cpu = send_cpu_per_frame(full, 200);
  const double decode_cpu = std::max(cpu_per_frame - send_cpu, 1e-9);
  std::printf("paint throughput (%ux%u, %d full-screen updates from the server)\n", w, h, frames);
  std::printf("  frames received          %d full-screen (%d rects in all)\n", full_rects, rects);
  std::printf("  rate                     %.1f frames/s, %.1f MB/s of EVT_RECT payload\n", fps,
              mb_s);
  std::printf("  korvane CPU per frame    %.2f ms (user+sys)\n", cpu_per_frame * 1e3);
  std::printf("  test server CPU per frame %.2f ms (it draws, converts and encrypts each frame)\n",
              s.per_frame(s.server_cpu) * 1e3);
  std::printf(
      "  host pipe limit          %.1f MB/s (plain writer, same reader): korvane at %.1f%%\n",
      limit, 100.0 * mb_s / limit);
  std::printf("  capture+send CPU         %.3f ms/frame = %.1f%% of korvane's CPU\n",
              send_cpu * 1e3, 100.0 * send_cpu / cpu_per_frame);
  std::printf("  rate the decoding alone allows %.1f frames/s: delivered %.1f%% of it\n",
              1.0 / decode_cpu, 100.0 * fps * decode_cpu);
}

void memory(int paints) {
  auto rig = start({"flood " + std::to_string(paints), "sleep 300", "end"}, 1024, 768);
  if (!rig) return;
  const pid_t pid = rig->korvane.child.pid;
  int rects = 0;
  long rss_100 = -1, rss_last = -1;
  host::finish_session(
      rig->korvane, 600000,
      [&](const host::Frame& f) {
        if (f.type != EVT_RECT) return;
        ++rects;
        if (rects == 100) rss_100 = test::resident_kib(pid);
        if (rects == paints) rss_last = test::resident_kib(pid);
      },
      false);
  std::printf("memory (1024x768, %d single-pixel paints)\n", paints);
  std::printf("  resident after 100 paints    %ld KiB\n", rss_100);
  std::printf("  resident after %d paints  %ld KiB (%+.2f%%)\n", rects, rss_last,
              rss_100 > 0
                  ? 100.0 * static_cast<double>(rss_last - rss_100) / static_cast<double>(rss_100)
                  : 0.0);
}

void latency(int moves, int gap_ms) {
  auto rig =
      start({"wait-input " + std::to_string(moves) + " 60000", "sleep 200", "end"}, 1024, 768);
  if (!rig) return;
  const auto us = bench::measure_latency(*rig, moves, gap_ms);
  std::printf("input latency (%d mouse moves %d ms apart, host command to server receipt)\n", moves,
              gap_ms);
  if (us.empty()) {
    std::printf("  no moves matched\n");
    return;
  }
  std::printf("  received %zu, p50 %.0f us, p99 %.0f us, max %.0f us\n", us.size(), bench::p50(us),
              bench::p99(us), us.back());
}

}  // namespace

int main(int argc, char** argv) {
  int frames = 300, paints = 10000, moves = 1000;
  uint32_t w = 1920, h = 1080;
  bench::read_options(argc, argv, std::pair{"--frames", &frames}, std::pair{"--paints", &paints},
                      std::pair{"--moves", &moves}, std::pair{"--width", &w},
                      std::pair{"--height", &h});
  for (int i = 1; i + 1 < argc; i += 2)
    if (std::string(argv[i]) == "--korvane") korvane_binary = argv[i + 1];
  std::printf("paint_bench: korvane %s\n", korvane_binary.c_str());
  throughput(frames, w, h);
  memory(paints);
  latency(moves, 1);
  latency(200, 10);
  return 0;
}
