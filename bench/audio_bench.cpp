// What the remote desktop's sound costs korvane, and how late it reaches the host.
//
// korvane-test-server streams S seconds of a 48 kHz stereo 16-bit PCM sine sweep in 20 ms wave
// PDUs at play speed (never more than 8 unconfirmed), to the real korvane process over TLS on
// 127.0.0.1, with the audio extension granted; the bench is the host and reads every event.
// One session, in this order: the sound channel opens (a volume PDU waits for the client's
// formats), the server sleeps I seconds (the idle baseline: connected, channel open, no sound),
// then streams, and keeps the session 3 s longer so that korvane is still there to be measured.
//
// CPU is korvane's own, from /proc/PID: the run time of all its threads (task/*/schedstat, ns)
// and utime + stime (stat, clock ticks). The idle baseline is measured over the last I-1 seconds
// of the sleep; the stream from its step starting to the host holding the last block. "Added" is
// the stream's CPU less the baseline's rate over the same wall time, per second of audio.
//
// Latency: the server logs CLOCK_MONOTONIC just before it hands each wave PDU to the channel
// ("SOUND sent ... seq=K t_ns=T"); the bench reads the same clock when next_event returns the
// EVT_AUDIO_DATA of korvane's sequence K (one stream in the session, so korvane's numbering and
// the step's agree). The difference is the server's send, TLS, the library's sound channel,
// korvane's device and the host pipe.
//
// With --mic, the other way: see run_mic.
//
// usage: audio_bench [--mic] [--seconds S] [--idle I] [--korvane PATH] [--server PATH]
#include <dirent.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "host/mic.hpp"
#include "host/session.hpp"
#include "host_link/audio_wire.hpp"
#include "host_link/extensions.hpp"
#include "host_link/protocol.hpp"
#include "logged_process.hpp"
#include "net.hpp"
#include "proc_stats.hpp"

using namespace korvane;
using namespace std::chrono;

namespace {

using test::Cpu;
using test::cpu_of;

Cpu minus(const Cpu& a, const Cpu& b) {
  return {a.run_ns - b.run_ns, a.utime - b.utime, a.stime - b.stime};
}

// The clock the test server stamps its log with.
uint64_t monotonic_ns() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const size_t i = std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())));
  return v[i];
}

// The test server with `steps`, and korvane connected to it with `extension` granted.
struct Bench {
  test::TempDir dir = test::make_temp_dir("korvane-audio-bench");
  std::optional<test::TestServer> server;
  std::optional<host::Session> session;
  std::string start(const std::string& korvane, const std::string& server_path,
                    std::vector<std::string> steps, uint32_t extension) {
    test::TestServerOptions so;
    so.path = server_path;
    so.sec = "tls";
    so.user = "test";
    so.password = "test";
    so.stderr_path = dir.path + "/server.err";
    so.steps = std::move(steps);
    std::string error;
    server = test::start_test_server(so, &error);
    if (!server) return "test server: " + error;
    host::SessionOptions ko;
    ko.korvane_path = korvane;
    ko.request.host = "127.0.0.1";
    ko.request.port = server->port;
    ko.request.username = "test";
    ko.request.password = "test";
    ko.request.flags = CONNECT_FLAG_TLS;
    ko.extension_block = encode_extensions(extension, {});
    ko.stderr_path = dir.path + "/korvane.err";
    session = host::start_session(ko, &error);
    return session ? std::string() : "korvane: " + error;
  }
};

struct Result {
  std::string error;
  Cpu idle, stream;
  double idle_s = 0, stream_s = 0;  // wall time of each window
  uint64_t blocks = 0, bytes = 0;
  double audio_s = 0;
  std::vector<double> latency_ms;
  // The same split at korvane's own stamp (EVT_AUDIO_DATA's time_ms, the same clock in whole
  // milliseconds, taken when the library hands korvane's device the block): server to korvane's
  // device, and korvane's device to the host. Each is +-1 ms from the truncation.
  std::vector<double> to_device_ms, to_host_ms;
  uint64_t unmatched = 0;  // blocks with no receipt or no send time
};

Result run(const std::string& korvane, const std::string& server, uint32_t seconds,
           uint32_t idle_seconds) {
  Result r;
  Bench b;
  r.error = b.start(korvane, server,
                    {"sound-volume 0xFFFFFFFF", "sleep " + std::to_string(idle_seconds * 1000),
                     "sound-pcm 48000 2 " + std::to_string(seconds * 1000), "sound-wait-confirms",
                     "sleep 3000", "end"},
                    EXT_AUDIO);
  if (!r.error.empty()) return r;
  auto& session = b.session;
  test::LoggedProcess& log = *b.server->process;
  const auto deadline = steady_clock::now() + seconds * 1s + idle_seconds * 1s + 120s;
  auto failed = [&](const std::string& why) {
    r.error = why + "\n" + test::output_of(log);
    return r;
  };
  std::map<uint32_t, uint64_t> received_ns;  // korvane's sequence -> host receipt
  std::map<uint32_t, uint32_t> device_ms;    // korvane's sequence -> korvane's stamp
  auto on_frame = [&](const host::Frame& f) {
    if (f.type != EVT_AUDIO_DATA) return;
    const uint64_t now = monotonic_ns();
    const auto d = parse_audio_data(f.payload);
    if (!d) return;
    received_ns.emplace(d->sequence, now);
    device_ms.emplace(d->sequence, d->time_ms);
    r.bytes += d->bytes.size();
  };
  // Reads korvane's events until the server logs a line starting with prefix.
  size_t cursor = 0;
  auto pump_until = [&](const std::string& prefix) -> bool {
    while (steady_clock::now() < deadline) {
      host::Frame f;
      const host::ReadStatus st = host::next_event(*session, 5, f);
      if (st == host::ReadStatus::frame) {
        on_frame(f);
        continue;
      }
      // Frames come faster than the log is looked at: look once more when korvane's output ends.
      if (st != host::ReadStatus::timeout)
        return test::wait_for_prefix(log, prefix, 1000, &cursor).has_value();
      if (test::wait_for_prefix(log, prefix, 0, &cursor)) return true;
      if (test::wait_for_prefix(log, "ERROR", 0)) return false;
    }
    return false;
  };
  if (!pump_until("STEP n=2")) return failed("no sleep step");
  // The first second of the sleep is left out: the connection's own work may still be going on.
  const auto idle_from = steady_clock::now() + 1s;
  while (steady_clock::now() < idle_from) host::pump_events(*session, 50, on_frame);
  const std::optional<Cpu> idle_before = cpu_of(session->child.pid);
  const auto idle_start = steady_clock::now();
  if (!pump_until("STEP n=3")) return failed("no stream step");
  const std::optional<Cpu> stream_before = cpu_of(session->child.pid);
  const auto stream_start = steady_clock::now();
  if (!idle_before || !stream_before) return failed("korvane is gone");
  r.idle = minus(*stream_before, *idle_before);
  r.idle_s = duration<double>(stream_start - idle_start).count();
  const auto done = [&]() -> std::optional<std::string> {
    if (!pump_until("SOUND done ")) return std::nullopt;
    return test::lines_of(log)[cursor - 1];
  }();
  if (!done) return failed("the stream did not end");
  const std::regex done_re("blocks=(\\d+) bytes=(\\d+)");
  std::smatch m;
  if (!std::regex_search(*done, m, done_re)) return failed("no block count");
  r.blocks = std::stoull(m[1].str());
  const uint64_t sent_bytes = std::stoull(m[2].str());
  // The last blocks may still be on their way.
  while (received_ns.size() < r.blocks && steady_clock::now() < deadline) {
    host::Frame f;
    const host::ReadStatus st = host::next_event(*session, 50, f);
    if (st == host::ReadStatus::frame)
      on_frame(f);
    else if (st != host::ReadStatus::timeout)
      return failed("korvane's output ended during the stream");
  }
  const std::optional<Cpu> stream_after = cpu_of(session->child.pid);
  if (!stream_after) return failed("korvane is gone");
  r.stream = minus(*stream_after, *stream_before);
  r.stream_s = duration<double>(steady_clock::now() - stream_start).count();
  if (r.bytes != sent_bytes)
    return failed("the host got " + std::to_string(r.bytes) + " bytes of " +
                  std::to_string(sent_bytes));
  r.audio_s = static_cast<double>(sent_bytes) / 192000.0;

  const std::regex sent_re("^SOUND sent block=\\d+ seq=(\\d+) bytes=\\d+ t_ns=(\\d+)");
  size_t matched = 0;
  for (const auto& line : test::lines_of(log)) {
    if (!std::regex_search(line, m, sent_re)) continue;
    const auto seq = static_cast<uint32_t>(std::stoul(m[1].str()));
    const uint64_t sent = std::stoull(m[2].str());
    const auto got = received_ns.find(seq);
    if (got == received_ns.end()) continue;
    ++matched;
    r.latency_ms.push_back(static_cast<double>(static_cast<int64_t>(got->second - sent)) / 1e6);
    const uint32_t stamp = device_ms[seq];
    // Differences of the clock in milliseconds modulo 2^32, as korvane's stamp wraps.
    const auto ms32 = [](uint64_t ns) { return static_cast<uint32_t>(ns / 1000000); };
    r.to_device_ms.push_back(static_cast<double>(static_cast<int32_t>(stamp - ms32(sent))));
    r.to_host_ms.push_back(static_cast<double>(static_cast<int32_t>(ms32(got->second) - stamp)));
  }
  r.unmatched = r.blocks - std::min<uint64_t>(r.blocks, matched);
  const auto ending = host::finish_session(*session, 15000);
  if (!ending.exit || !ending.exit->exited() || ending.exit->code != 0)
    return failed("korvane did not end cleanly");
  return r;
}

// The microphone (--mic): after the idle baseline the server opens the microphone in 48 kHz stereo
// PCM, and the bench, as the host, sends S seconds of a tone in 20 ms CMD_AUDIO_IN blocks at real
// time. korvane hands each block on as one data PDU, so the server's n-th "MIC data" line is the
// bench's n-th block: the latency is from the bench's send to the server's receipt.
struct MicResult {
  std::string error;
  Cpu idle, stream;
  double idle_s = 0, stream_s = 0, audio_s = 0;
  uint64_t blocks = 0, received = 0;
  std::vector<double> latency_ms;
};

MicResult run_mic(const std::string& korvane, const std::string& server, uint32_t seconds,
                  uint32_t idle_seconds) {
  MicResult r;
  Bench b;
  const uint64_t bytes = uint64_t{seconds} * 192000;
  r.error = b.start(
      korvane, server,
      {"sleep " + std::to_string(idle_seconds * 1000), "mic-open 1 48000 2 960",
       "mic-wait-bytes " + std::to_string(bytes) + " " + std::to_string(seconds * 1000 + 30000),
       "sleep 1000", "end"},
      EXT_MICROPHONE);
  if (!r.error.empty()) return r;
  auto& session = b.session;
  test::LoggedProcess& log = *b.server->process;
  auto failed = [&](const std::string& why) {
    r.error = why + "\n" + test::output_of(log);
    return r;
  };
  const auto deadline = steady_clock::now() + (seconds + idle_seconds) * 1s + 120s;
  host::MicSender mic;
  mic.source.channels = 2;
  mic.source.rate = 48000;
  for (uint64_t i = 0; i < bytes / 4; ++i) {
    const auto v =
        static_cast<int16_t>(std::lround(8000 * std::sin(i * 440.0 * 6.283185307 / 48000)));
    for (int c = 0; c < 4; ++c) mic.source.bytes.push_back(static_cast<uint8_t>(v >> (c % 2 * 8)));
  }
  auto on_frame = [&](const host::Frame& f) { mic.on_event(f, steady_clock::now()); };
  if (!test::wait_for_prefix(log, "STEP n=1", 60000)) return failed("no idle step");
  const auto idle_from = steady_clock::now() + 1s;
  while (steady_clock::now() < idle_from) host::pump_events(*session, 50, on_frame);
  const std::optional<Cpu> idle_before = cpu_of(session->child.pid);
  const auto idle_start = steady_clock::now();
  while (!mic.open && steady_clock::now() < deadline) host::pump_events(*session, 5, on_frame);
  if (!mic.open) return failed("the microphone did not open");
  const std::optional<Cpu> stream_before = cpu_of(session->child.pid);
  const auto stream_start = steady_clock::now();
  if (!idle_before || !stream_before) return failed("korvane is gone");
  r.idle = minus(*stream_before, *idle_before);
  r.idle_s = duration<double>(stream_start - idle_start).count();
  std::vector<uint64_t> sent_ns;
  while (mic.sent < mic.source.bytes.size() && steady_clock::now() < deadline) {
    for (const auto& block : mic.due(steady_clock::now())) {
      sent_ns.push_back(monotonic_ns());
      if (!host::send_command(*session, CMD_AUDIO_IN, block)) return failed("korvane is gone");
    }
    const auto next = mic.next_due().value_or(steady_clock::now());
    const auto wait = std::chrono::ceil<milliseconds>(next - steady_clock::now()).count();
    host::pump_events(*session, static_cast<int>(std::clamp<long long>(wait, 0, 20)), on_frame);
  }
  if (!test::wait_for_prefix(log, "STEP n=4", 30000)) return failed("not every byte arrived");
  const std::optional<Cpu> stream_after = cpu_of(session->child.pid);
  if (!stream_after) return failed("korvane is gone");
  r.stream = minus(*stream_after, *stream_before);
  r.stream_s = duration<double>(steady_clock::now() - stream_start).count();
  r.audio_s = static_cast<double>(bytes) / 192000.0;
  r.blocks = sent_ns.size();
  const std::regex data_re("^MIC data bytes=\\d+ total=\\d+ t_ns=(\\d+)");
  std::smatch m;
  for (const auto& line : test::lines_of(log)) {
    if (!std::regex_search(line, m, data_re)) continue;
    if (r.received < sent_ns.size())
      r.latency_ms.push_back(
          static_cast<double>(static_cast<int64_t>(std::stoull(m[1].str()) - sent_ns[r.received])) /
          1e6);
    ++r.received;
  }
  host::finish_session(*session, 15000);
  return r;
}

int print_mic(const MicResult& r, uint32_t seconds) {
  if (!r.error.empty()) {
    std::fprintf(stderr, "audio_bench --mic failed: %s\n", r.error.c_str());
    return 1;
  }
  const double idle_rate = r.idle_s > 0 ? static_cast<double>(r.idle.run_ns) / 1e6 / r.idle_s : 0;
  const double stream_ms = static_cast<double>(r.stream.run_ns) / 1e6;
  const double added_ms = stream_ms - idle_rate * r.stream_s;
  std::printf(
      "microphone: %u s of 48 kHz stereo PCM in %llu blocks of 20 ms; the server got %llu "
      "data PDUs\n",
      seconds, static_cast<unsigned long long>(r.blocks),
      static_cast<unsigned long long>(r.received));
  std::printf("korvane idle (connected, microphone closed): %.2f ms CPU per s over %.1f s\n",
              idle_rate, r.idle_s);
  std::printf(
      "korvane with the microphone: %.1f ms CPU in %.1f s: %.2f ms per s of audio, %.2f ms per s "
      "added over idle (%.3f%% of a core)\n",
      stream_ms, r.stream_s, stream_ms / r.audio_s, added_ms / r.audio_s,
      added_ms / r.audio_s / 10);
  std::printf(
      "latency host CMD_AUDIO_IN -> server's data PDU: p50 %.3f ms, p99 %.3f ms, max %.3f ms\n",
      percentile(r.latency_ms, 0.50), percentile(r.latency_ms, 0.99),
      percentile(r.latency_ms, 1.0));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  uint32_t seconds = 30, idle = 6;
  bool microphone = false;
  std::string korvane = AUDIO_BENCH_KORVANE_PATH;
  std::string server = AUDIO_BENCH_TEST_SERVER_PATH;
  for (int i = 1; i < argc; i += 2) {
    const std::string arg = argv[i];
    if (arg == "--mic") {
      microphone = true;
      --i;
      continue;
    }
    if (i + 1 >= argc) break;
    const char* v = argv[i + 1];
    if (arg == "--seconds")
      seconds = static_cast<uint32_t>(std::strtoul(v, nullptr, 10));
    else if (arg == "--idle")
      idle = static_cast<uint32_t>(std::strtoul(v, nullptr, 10));
    else if (arg == "--korvane")
      korvane = v;
    else if (arg == "--server")
      server = v;
    else {
      std::fprintf(stderr,
                   "usage: %s [--mic] [--seconds S] [--idle I] [--korvane PATH] [--server PATH]\n",
                   argv[0]);
      return 2;
    }
  }
  if (seconds == 0 || seconds > 600 || idle < 2 || idle > 600) {
    std::fprintf(stderr, "want 1..600 seconds of sound and 2..600 seconds of idle baseline\n");
    return 2;
  }
  if (microphone) return print_mic(run_mic(korvane, server, seconds, idle), seconds);
  std::printf(
      "audio_bench: %u s of 48 kHz stereo 16-bit PCM in 20 ms blocks after %u s idle, "
      "over TLS on 127.0.0.1\n",
      seconds, idle);
  std::fflush(stdout);
  const Result r = run(korvane, server, seconds, idle);
  if (!r.error.empty()) {
    std::fprintf(stderr, "audio_bench failed: %s\n", r.error.c_str());
    return 1;
  }
  const double tick_ms = 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
  const double idle_rate = r.idle_s > 0 ? static_cast<double>(r.idle.run_ns) / 1e6 / r.idle_s : 0;
  const double stream_ms = static_cast<double>(r.stream.run_ns) / 1e6;
  const double added_ms = stream_ms - idle_rate * r.stream_s;
  std::printf("blocks %llu, bytes %llu, audio %.3f s, stream wall %.3f s\n",
              static_cast<unsigned long long>(r.blocks), static_cast<unsigned long long>(r.bytes),
              r.audio_s, r.stream_s);
  std::printf(
      "korvane idle (connected, channel open): %.2f ms CPU per s over %.1f s "
      "(user/sys %.0f/%.0f ms)\n",
      idle_rate, r.idle_s, static_cast<double>(r.idle.utime) * tick_ms,
      static_cast<double>(r.idle.stime) * tick_ms);
  std::printf(
      "korvane streaming: %.1f ms CPU in %.1f s (user/sys %.0f/%.0f ms): %.2f ms per s "
      "of audio, %.2f ms per s added over idle (%.3f%% of a core)\n",
      stream_ms, r.stream_s, static_cast<double>(r.stream.utime) * tick_ms,
      static_cast<double>(r.stream.stime) * tick_ms, stream_ms / r.audio_s, added_ms / r.audio_s,
      added_ms / r.audio_s / 10.0);
  std::printf(
      "latency server send -> host EVT_AUDIO_DATA: p50 %.3f ms, p99 %.3f ms, max %.3f ms "
      "(%zu blocks, %llu unmatched)\n",
      percentile(r.latency_ms, 0.50), percentile(r.latency_ms, 0.99), percentile(r.latency_ms, 1.0),
      r.latency_ms.size(), static_cast<unsigned long long>(r.unmatched));
  std::printf(
      "  of which server send -> korvane's device: p50 %.0f ms, p99 %.0f ms; korvane's "
      "device -> host: p50 %.0f ms, p99 %.0f ms (whole ms of korvane's stamp)\n",
      percentile(r.to_device_ms, 0.50), percentile(r.to_device_ms, 0.99),
      percentile(r.to_host_ms, 0.50), percentile(r.to_host_ms, 0.99));
  return 0;
}
