// Many sessions on one machine: N korvane processes at once, each against a korvane-test-server
// of its own, each with a mixed workload, as a host that serves many users runs them. Prints
// figures; asserts nothing (the exit code is 1 when a session failed).
//
//   sessions_bench [--sessions N] [--width W] [--height H] [--seconds S] [--idle S]
//                  [--changed-only 0|1] [--env NAME=value ...]
//
// Per session the server's script waits for the host's go (a mouse move, sent once every
// session is connected and the idle figure is taken), then for S seconds: a 128x64 pattern
// every 100 ms (the small changing area), the whole desktop every 5 s, and a 256x256 AVC420
// command every second through the graphics pipeline (passed through as EVT_H264 in the base
// protocol). Memory (PSS and private, from /proc/PID/smaps_rollup) and threads are read after
// connection and after the workload; every session ends with CMD_DISCONNECT and must exit 0.
// A session "fell behind" when its workload took over 1.5 times its scripted length.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "host/session.hpp"
#include "host_link/extensions.hpp"
#include "host_link/protocol.hpp"
#include "logged_process.hpp"
#include "proc_stats.hpp"

using namespace korvane;
using Clock = std::chrono::steady_clock;

namespace {

using test::Memory;
using test::memory_of;

struct Options {
  int sessions = 10;
  uint32_t width = 1920, height = 1080;
  int seconds = 20;
  int idle = 5;
  bool changed_only = false;
  std::vector<std::string> env;  // extra NAME=value for korvane (allocator experiments)
};

std::vector<std::string> workload(const Options& o, int index) {
  std::vector<std::string> s = {"gfx-open", "gfx-surface 1 256 256", "gfx-map 1 0 0",
                                "wait-input 1 600000"};
  const int ticks = o.seconds * 10;
  uint32_t seed = static_cast<uint32_t>(index) * 100000u + 1;
  for (int t = 0; t < ticks; ++t) {
    const uint32_t x = (static_cast<uint32_t>(t) * 136u) % (o.width - 128);
    const uint32_t y = 300 + (static_cast<uint32_t>(t) * 8u) % (o.height - 300 - 64);
    s.push_back("pattern " + std::to_string(x) + " " + std::to_string(y) + " 128 64 " +
                std::to_string(seed++));
    if (t % 50 == 49) s.push_back("full " + std::to_string(seed++));
    if (t % 10 == 5) s.push_back("gfx-avc420 1 0 0 256 256 " + std::to_string(seed++));
    s.push_back("sleep 100");
  }
  s.push_back("sleep 50");  // its STEP line marks the end of the workload
  return s;
}

struct Result {
  bool connected = false, finished = false, disconnected = false, exit0 = false;
  std::string failure;
  Memory after_connect, after_workload;
  double idle_cpu = 0;      // seconds over the idle period
  double work_cpu = 0;      // seconds over the workload
  double work_seconds = 0;  // wall time of the workload
  uint64_t rects = 0, h264 = 0, bytes = 0;
};

// The phases every session thread walks through, released by the main thread.
struct Gate {
  std::mutex mutex;
  std::condition_variable changed;
  int phase = 0;      // 0 connecting, 1 idle, 2 workload, 3 disconnect
  int ready[3] = {};  // sessions past each barrier: connected (or failed), worked, ended
  void arrive(int barrier) {
    std::lock_guard lock(mutex);
    ++ready[barrier];
    changed.notify_all();
  }
};

void run_session(const Options& o, int index, Gate& gate, Result& r) {
  auto wait_phase = [&](int p, host::Session* s) {
    // Keeps the session's output drained while waiting.
    for (int i = 0; i < 20000; ++i) {
      {
        std::lock_guard lock(gate.mutex);
        if (gate.phase >= p) return;
      }
      if (s)
        host::pump_events(*s, 50, {});
      else
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  };
  test::TestServerOptions so;
  so.path = KORVANE_TEST_SERVER_PATH;
  so.sec = "tls";
  so.steps = workload(o, index);
  so.stderr_path = "/dev/null";
  std::string error;
  std::optional<test::TestServer> server;
  {
    // Each server makes an RSA key at start; 50 of them at once on two cores outlast the
    // helper's wait for LISTENING, so servers start one after another (sessions still connect
    // as soon as their server is up, all of them held at once).
    static std::mutex starting;
    std::lock_guard lock(starting);
    server = test::start_test_server(so, &error);
  }
  if (!server) {
    r.failure = "test server: " + error;
    gate.arrive(0);
    gate.arrive(1);  // a failed session has no workload
    wait_phase(3, nullptr);
    gate.arrive(2);
    return;
  }
  host::SessionOptions ko;
  ko.korvane_path = KORVANE_PATH;
  ko.request.host = "127.0.0.1";
  ko.request.port = server->port;
  ko.request.width = o.width;
  ko.request.height = o.height;
  ko.request.flags = CONNECT_FLAG_TLS;
  ko.stderr_path = "/dev/null";
  ko.env = o.env;
  if (o.changed_only) ko.extension_block = encode_extensions(EXT_CHANGED_ONLY);
  auto session = host::start_session(ko, &error);
  if (!session) {
    r.failure = "korvane: " + error;
    gate.arrive(0);
    gate.arrive(1);  // a failed session has no workload
    wait_phase(3, nullptr);
    gate.arrive(2);
    return;
  }
  const pid_t pid = session->child.pid;
  auto sink = [&](const host::Frame& f) {
    if (f.type == EVT_RECT) ++r.rects;
    if (f.type == EVT_H264) ++r.h264;
    r.bytes += f.payload.size() + kFrameHeaderSize;
  };
  r.connected = host::wait_for_event(*session, EVT_CONNECTED, 300000, sink).has_value();
  // The gfx steps before the go: the pipeline is open and its surface mapped.
  if (r.connected) {
    size_t cursor = 0;
    const std::regex mapped("^STEP n=4 ");  // logged as wait-input starts: gfx-map is done
    const auto deadline = Clock::now() + std::chrono::seconds(300);
    while (Clock::now() < deadline && !test::wait_for_line(*server->process, mapped, 0, &cursor))
      host::pump_events(*session, 50, sink);
    host::pump_events(*session, 500, sink);
  }
  if (!r.connected) r.failure = "not connected";
  gate.arrive(0);
  wait_phase(1, &*session);
  r.after_connect = memory_of(pid);
  const double idle0 = test::cpu_seconds(pid);
  wait_phase(2, &*session);
  r.idle_cpu = test::cpu_seconds(pid) - idle0;
  // Go: the workload.
  const uint64_t rects0 = r.rects, h2640 = r.h264;
  const double cpu0 = test::cpu_seconds(pid);
  const auto t0 = Clock::now();
  if (r.connected) {
    host::send_command(*session, CMD_MOUSE_MOVE, host::mouse_move_payload(1, 1));
    const size_t last = workload(o, index).size();
    const std::regex done("^(STEP n=" + std::to_string(last) + " |ERROR|DISCONNECTED)");
    size_t cursor = 0;
    const auto deadline = Clock::now() + std::chrono::seconds(o.seconds * 10 + 120);
    std::optional<std::string> line;
    while (Clock::now() < deadline &&
           !(line = test::wait_for_line(*server->process, done, 0, &cursor))) {
      const auto st = host::pump_events(*session, 50, sink);
      if (st != host::ReadStatus::frame && st != host::ReadStatus::timeout) break;  // korvane gone
    }
    r.work_seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    host::pump_events(*session, 300, sink);
    r.finished = line && line->rfind("STEP", 0) == 0;
    if (!r.finished) r.failure = line ? *line : "workload not finished in time";
  }
  r.work_cpu = test::cpu_seconds(pid) - cpu0;
  r.after_workload = memory_of(pid);
  r.rects -= rects0;
  r.h264 -= h2640;
  gate.arrive(1);
  wait_phase(3, &*session);
  const auto ending = host::finish_session(*session, 60000, {}, true);
  r.disconnected = ending.disconnected;
  r.exit0 = ending.exit && ending.exit->exited() && ending.exit->code == 0;
  if (r.failure.empty() && !r.disconnected)
    r.failure = ending.error.value_or("no EVT_DISCONNECTED");
  if (r.failure.empty() && !r.exit0) r.failure = "exit status not 0";
  server->process->stop = true;
  gate.arrive(2);
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i];
    const int v = std::atoi(argv[i + 1]);
    if (a == "--sessions")
      o.sessions = std::clamp(v, 1, 500);
    else if (a == "--width")
      o.width = static_cast<uint32_t>(std::clamp(v, 640, 8192));
    else if (a == "--height")
      o.height = static_cast<uint32_t>(std::clamp(v, 480, 8192));
    else if (a == "--seconds")
      o.seconds = std::clamp(v, 1, 600);
    else if (a == "--idle")
      o.idle = std::clamp(v, 1, 600);
    else if (a == "--changed-only")
      o.changed_only = v != 0;
    else if (a == "--env")
      o.env.push_back(argv[i + 1]);
  }
  const int n = o.sessions;
  std::vector<Result> results(static_cast<size_t>(n));
  Gate gate;
  std::vector<std::thread> threads;
  const auto start = Clock::now();
  for (int i = 0; i < n; ++i)
    threads.emplace_back([&, i] { run_session(o, i, gate, results[static_cast<size_t>(i)]); });
  auto barrier = [&](int which, int count, int seconds) {
    std::unique_lock lock(gate.mutex);
    gate.changed.wait_for(lock, std::chrono::seconds(seconds),
                          [&] { return gate.ready[which] >= count; });
  };
  barrier(0, n, 900);
  const double connect_s = std::chrono::duration<double>(Clock::now() - start).count();
  {
    std::lock_guard lock(gate.mutex);
    gate.phase = 1;
  }
  gate.changed.notify_all();
  std::this_thread::sleep_for(std::chrono::seconds(o.idle));
  const auto work0 = Clock::now();
  {
    std::lock_guard lock(gate.mutex);
    gate.phase = 2;
  }
  gate.changed.notify_all();
  barrier(1, n, o.seconds * 10 + 300);
  const double work_s = std::chrono::duration<double>(Clock::now() - work0).count();
  {
    std::lock_guard lock(gate.mutex);
    gate.phase = 3;
  }
  gate.changed.notify_all();
  barrier(2, n, 300);
  for (auto& t : threads) t.join();

  std::printf("sessions_bench: %d sessions at %ux%u, %d s workload, %s\n", n, o.width, o.height,
              o.seconds, o.changed_only ? "EXT_CHANGED_ONLY" : "base protocol");
  std::printf("%4s %9s %9s %4s %9s %9s %4s %7s %6s %9s %8s %7s %s\n", "#", "PSS0 KiB", "priv0 KiB",
              "thr0", "PSS1 KiB", "priv1 KiB", "thr1", "idle %", "frames", "ms CPU/fr", "work s",
              "MB out", "status");
  int held = 0, failed = 0, behind = 0;
  uint64_t frames = 0;
  long pss0 = 0, priv0 = 0, pss1 = 0, priv1 = 0;
  double idle_total = 0, cpu_total = 0;
  std::vector<long> priv1s;
  for (int i = 0; i < n; ++i) {
    const auto& r = results[static_cast<size_t>(i)];
    const uint64_t f = r.rects + r.h264;
    const bool ok = r.failure.empty() && r.finished && r.disconnected && r.exit0;
    const bool late = r.work_seconds > 1.5 * o.seconds;
    held += r.connected && r.finished ? 1 : 0;
    failed += ok ? 0 : 1;
    behind += late ? 1 : 0;
    frames += f;
    pss0 += r.after_connect.pss;
    priv0 += r.after_connect.private_kib;
    pss1 += r.after_workload.pss;
    priv1 += r.after_workload.private_kib;
    priv1s.push_back(r.after_workload.private_kib);
    idle_total += r.idle_cpu;
    cpu_total += r.work_cpu;
    std::printf("%4d %9ld %9ld %4ld %9ld %9ld %4ld %7.2f %6llu %9.2f %8.1f %7.1f %s%s\n", i,
                r.after_connect.pss, r.after_connect.private_kib, r.after_connect.threads,
                r.after_workload.pss, r.after_workload.private_kib, r.after_workload.threads,
                100.0 * r.idle_cpu / o.idle, static_cast<unsigned long long>(f),
                f ? r.work_cpu / static_cast<double>(f) * 1e3 : 0.0, r.work_seconds,
                static_cast<double>(r.bytes) / 1e6, ok ? "ok" : r.failure.c_str(),
                late ? " (fell behind)" : "");
  }
  std::sort(priv1s.begin(), priv1s.end());
  std::printf("totals\n");
  std::printf("  connected in              %.1f s (all sessions started at once)\n", connect_s);
  std::printf("  sessions held             %d of %d; failed %d; fell behind %d\n", held, n, failed,
              behind);
  std::printf(
      "  mean PSS / private        %.1f / %.1f MiB after connection, %.1f / %.1f MiB after the "
      "workload\n",
      pss0 / 1024.0 / n, priv0 / 1024.0 / n, pss1 / 1024.0 / n, priv1 / 1024.0 / n);
  std::printf("  median private after work %.1f MiB; sum of PSS %.1f MiB\n",
              priv1s[priv1s.size() / 2] / 1024.0, pss1 / 1024.0);
  std::printf("  idle CPU per session      %.3f%% of a core (mean over %d s)\n",
              100.0 * idle_total / n / o.idle, o.idle);
  std::printf("  aggregate frames/s        %.1f (%llu EVT_RECT + EVT_H264 in %.1f s)\n",
              static_cast<double>(frames) / work_s, static_cast<unsigned long long>(frames),
              work_s);
  std::printf("  korvane CPU per frame     %.3f ms (all sessions); %.1f%% of a core per session\n",
              frames ? cpu_total / static_cast<double>(frames) * 1e3 : 0.0,
              100.0 * cpu_total / n / work_s);
  return failed ? 1 : 0;
}
