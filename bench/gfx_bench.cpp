// What passing H.264 through costs korvane, against the renderer decoding the same stream.
//
// korvane-test-server streams N frames of a moving W x H picture, encoded as AVC420 before the
// first is sent and then sent as fast as korvane's client acknowledges them (3 frames in flight).
// Two runs of the real korvane process over TLS on 127.0.0.1:
//   pass-through  the frames go as AVC420 commands: korvane's hook forwards them as EVT_H264.
//   decoded       the very same bitstreams and region metablocks go as the main view of AVC444v2
//                 commands, which korvane leaves to FreeRDP's renderer: it decodes each one (the
//                 FFmpeg H.264 decoder, then YUV to RGB over the regions), copies it to the frame
//                 buffer, and korvane sends the repainted area as EVT_RECT.
// The decoded run is the renderer's real path in the real process; it does slightly more than
// an AVC420 decode would (the 4:4:4 buffers are filled from the 4:2:0 picture before the colour
// conversion), so its figure is an upper bound of what decoding AVC420 would cost, by a little.
//
// CPU is korvane's own, read from /proc: the run time of all its threads (schedstat, in ns) and
// utime + stime (in clock ticks), from the moment the server starts sending to the moment the
// last frame is acknowledged and korvane's output is drained. "in" is the bitmap data of the
// commands as the server sent them; "out" every byte korvane wrote to the host in that time.
//
// usage: gfx_bench [--frames N] [--width W] [--height H] [--korvane PATH] [--server PATH]
#include <dirent.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "host/session.hpp"
#include "host_link/protocol.hpp"
#include "logged_process.hpp"
#include "net.hpp"
#include "proc_stats.hpp"

using namespace korvane;
using namespace std::chrono;

namespace {

using test::Cpu;
using test::cpu_of;

struct Result {
  bool ok = false;
  std::string error;
  uint64_t frames = 0;
  uint64_t bytes_in = 0;
  uint64_t server_ms = 0;
  uint64_t bytes_out = 0;
  uint64_t h264_events = 0;
  uint64_t rect_events = 0;
  uint64_t other_events = 0;
  Cpu cpu;
  uint64_t idle_ns = 0;  // korvane's run time while the server encoded
  uint64_t idle_ms = 0;
};

uint64_t field_of(const std::string& line, const std::string& key) {
  const auto at = line.find(key + "=");
  if (at == std::string::npos) return 0;
  return std::strtoull(line.c_str() + at + key.size() + 1, nullptr, 10);
}

Result run(const std::string& korvane, const std::string& server, const std::string& mode,
           uint32_t frames, uint32_t width, uint32_t height) {
  Result r;
  test::TempDir dir = test::make_temp_dir("korvane-gfx-bench");
  test::TestServerOptions so;
  so.path = server;
  so.sec = "tls";
  so.stderr_path = dir.path + "/server.err";
  so.steps = {"gfx-open", "gfx-surface 1 " + std::to_string(width) + " " + std::to_string(height),
              "gfx-map 1 0 0", "gfx-stream " + std::to_string(frames) + " 1 " + mode};
  std::string error;
  auto srv = test::start_test_server(so, &error);
  if (!srv) {
    r.error = "test server: " + error;
    return r;
  }
  host::SessionOptions ko;
  ko.korvane_path = korvane;
  ko.request.host = "127.0.0.1";
  ko.request.port = srv->port;
  ko.request.username = "test";
  ko.request.password = "test";
  ko.request.width = width;
  ko.request.height = height;
  ko.request.flags = CONNECT_FLAG_TLS;
  ko.stderr_path = dir.path + "/korvane.err";
  auto session = host::start_session(ko, &error);
  if (!session) {
    r.error = "korvane: " + error;
    return r;
  }
  test::LoggedProcess& log = *srv->process;
  const auto deadline = steady_clock::now() + minutes(15);
  auto failed = [&](const std::string& why) {
    r.error = why + "\n" + test::output_of(log);
    return r;
  };

  // Up to the stream step: korvane connects and the pipeline opens.
  size_t cursor = 0;
  for (;;) {
    host::Frame f;
    const host::ReadStatus st = host::next_event(*session, 20, f);
    if (st != host::ReadStatus::frame && st != host::ReadStatus::timeout)
      return failed("korvane's output ended before the stream");
    if (test::wait_for_prefix(log, "STEP n=4", 0, &cursor)) break;
    if (test::wait_for_prefix(log, "ERROR", 0)) return failed("server error");
    if (steady_clock::now() > deadline) return failed("no stream step in time");
  }
  // The server encodes now; korvane has nothing to do and sends nothing.
  const auto idle_from = steady_clock::now();
  const std::optional<Cpu> idle_cpu = cpu_of(session->child.pid);
  const auto start_line = test::wait_for_prefix(log, "GFX-STREAM-START", 15 * 60 * 1000, &cursor);
  const std::optional<Cpu> before = cpu_of(session->child.pid);
  if (!start_line || !before || !idle_cpu) return failed("the stream did not start");
  r.idle_ns = before->run_ns - idle_cpu->run_ns;
  r.idle_ms =
      static_cast<uint64_t>(duration_cast<milliseconds>(steady_clock::now() - idle_from).count());

  auto count = [&](const host::Frame& f) {
    r.bytes_out += kFrameHeaderSize + f.payload.size();
    if (f.type == EVT_H264)
      ++r.h264_events;
    else if (f.type == EVT_RECT)
      ++r.rect_events;
    else
      ++r.other_events;
  };
  std::optional<std::string> end_line;
  while (!end_line) {
    host::Frame f;
    const host::ReadStatus st = host::next_event(*session, 20, f);
    if (st == host::ReadStatus::frame) {
      count(f);
      continue;
    }
    if (st != host::ReadStatus::timeout) return failed("korvane's output ended during the stream");
    end_line = test::wait_for_prefix(log, "GFX-STREAM frames=", 0, &cursor);
    if (test::wait_for_prefix(log, "ERROR", 0)) return failed("server error");
    if (steady_clock::now() > deadline) return failed("the stream did not end in time");
  }
  // Every frame is acknowledged, so all korvane wrote for it is in the pipe.
  host::pump_events(*session, 300, count);
  const std::optional<Cpu> after = cpu_of(session->child.pid);
  if (!after) return failed("korvane is gone");
  r.cpu = {after->run_ns - before->run_ns, after->utime - before->utime,
           after->stime - before->stime};
  r.frames = field_of(*end_line, "frames");
  r.bytes_in = field_of(*end_line, "bytes");
  r.server_ms = field_of(*end_line, "ms");
  const auto ending = host::finish_session(*session, 15000);
  if (!ending.exit || !ending.exit->exited() || ending.exit->code != 0)
    return failed("korvane did not end cleanly");
  r.ok = true;
  return r;
}

void print(const char* name, const Result& r) {
  const double cpu_ms = static_cast<double>(r.cpu.run_ns) / 1e6;
  const double per_frame = r.frames ? cpu_ms / static_cast<double>(r.frames) : 0;
  const double tick_ms = 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
  std::printf(
      "%-13s %6llu %11llu %12llu %8.3f %9.1f %10.3f %7.0f/%-6.0f %8llu %7.1f   %llu H264 %llu "
      "RECT\n",
      name, static_cast<unsigned long long>(r.frames), static_cast<unsigned long long>(r.bytes_in),
      static_cast<unsigned long long>(r.bytes_out),
      r.bytes_in ? static_cast<double>(r.bytes_out) / static_cast<double>(r.bytes_in) : 0.0, cpu_ms,
      per_frame, static_cast<double>(r.cpu.utime) * tick_ms,
      static_cast<double>(r.cpu.stime) * tick_ms, static_cast<unsigned long long>(r.server_ms),
      r.server_ms ? 1000.0 * static_cast<double>(r.frames) / static_cast<double>(r.server_ms) : 0.0,
      static_cast<unsigned long long>(r.h264_events),
      static_cast<unsigned long long>(r.rect_events));
}

}  // namespace

int main(int argc, char** argv) {
  uint32_t frames = 300, width = 1920, height = 1080;
  std::string korvane = GFX_BENCH_KORVANE_PATH;
  std::string server = GFX_BENCH_TEST_SERVER_PATH;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string arg = argv[i];
    const char* v = argv[i + 1];
    if (arg == "--frames")
      frames = static_cast<uint32_t>(std::strtoul(v, nullptr, 10));
    else if (arg == "--width")
      width = static_cast<uint32_t>(std::strtoul(v, nullptr, 10));
    else if (arg == "--height")
      height = static_cast<uint32_t>(std::strtoul(v, nullptr, 10));
    else if (arg == "--korvane")
      korvane = v;
    else if (arg == "--server")
      server = v;
    else {
      std::fprintf(
          stderr,
          "usage: %s [--frames N] [--width W] [--height H] [--korvane PATH] [--server PATH]\n",
          argv[0]);
      return 2;
    }
  }
  if (frames == 0 || width < 64 || height < 64 || width % 2 || height % 2) {
    std::fprintf(stderr, "want frames > 0 and an even size of at least 64x64\n");
    return 2;
  }
  std::printf(
      "gfx_bench: %u frames of %ux%u, AVC420 at QP 18 (the test server's encoder), over TLS on "
      "127.0.0.1\n",
      frames, width, height);
  std::fflush(stdout);
  const Result pass = run(korvane, server, "avc420", frames, width, height);
  if (!pass.ok) {
    std::fprintf(stderr, "pass-through run failed: %s\n", pass.error.c_str());
    return 1;
  }
  const Result decoded = run(korvane, server, "avc444v2-main", frames, width, height);
  if (!decoded.ok) {
    std::fprintf(stderr, "decoded run failed: %s\n", decoded.error.c_str());
    return 1;
  }
  std::printf("%-13s %6s %11s %12s %8s %9s %10s %14s %8s %7s   %s\n", "mode", "frames", "in (B)",
              "out (B)", "out/in", "cpu (ms)", "cpu/frame", "user/sys (ms)", "wall ms", "fps",
              "events");
  print("pass-through", pass);
  print("decoded", decoded);
  std::printf(
      "korvane idle while the server encoded: %.1f ms of CPU in %llu ms (pass-through run), "
      "%.1f ms in %llu ms (decoded run)\n",
      static_cast<double>(pass.idle_ns) / 1e6, static_cast<unsigned long long>(pass.idle_ms),
      static_cast<double>(decoded.idle_ns) / 1e6, static_cast<unsigned long long>(decoded.idle_ms));
  const double pass_per = static_cast<double>(pass.cpu.run_ns) / static_cast<double>(pass.frames);
  const double dec_per =
      static_cast<double>(decoded.cpu.run_ns) / static_cast<double>(decoded.frames);
  const double ratio = pass_per > 0 ? dec_per / pass_per : 0;
  std::printf("CPU per frame, decoded / pass-through: %.1fx (target at least 10x: %s)\n", ratio,
              ratio >= 10.0 ? "met" : "NOT met");
  return 0;
}
