// Files through the clipboard: how fast a large file crosses korvane each way, what it costs
// korvane's CPU, and korvane's peak memory.
//
// korvane-test-server offers one file of N MiB (made as it is read: each 8-byte word its own
// offset) on its clipboard, on 127.0.0.1 over TLS; the bench is the host, granted files. Down:
// the bench fetches it with the reference host's FileFetch (four 1 MiB ranges in flight),
// checking every byte. Up: the bench offers a file of the same size and the server reads it
// whole in 4 MiB ranges, one at a time (clip-file-pull), answered by FileOffer. korvane's peak
// resident size (VmHWM) is read after connecting, after the fetch and after the pull; its CPU
// (all threads' run time) over each direction.
//
// usage: files_bench [--mib N] [--korvane PATH] [--server PATH]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "host/files.hpp"
#include "host/session.hpp"
#include "host_link/extensions.hpp"
#include "host_link/protocol.hpp"
#include "logged_process.hpp"
#include "net.hpp"
#include "proc_stats.hpp"

using namespace korvane;
using Clock = std::chrono::steady_clock;

namespace {

void offsets(uint64_t from, std::span<uint8_t> out) {
  for (size_t i = 0; i < out.size(); ++i)
    out[i] = static_cast<uint8_t>(((from + i) & ~uint64_t{7}) >> (8 * ((from + i) & 7)));
}

double seconds_since(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

}  // namespace

int main(int argc, char** argv) {
  uint64_t mib = 200;
  std::string korvane = FILES_BENCH_KORVANE_PATH, server_path = FILES_BENCH_TEST_SERVER_PATH;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--mib")) mib = std::strtoull(argv[i + 1], nullptr, 10);
    if (!std::strcmp(argv[i], "--korvane")) korvane = argv[i + 1];
    if (!std::strcmp(argv[i], "--server")) server_path = argv[i + 1];
  }
  const uint64_t size = mib << 20;
  const auto list = host::encode_file_list(std::vector<host::ListedFile>{{"bench.bin", size}});
  test::TempDir dir = test::make_temp_dir("korvane-files-bench");
  test::TestServerOptions so;
  so.path = server_path;
  so.sec = "tls";
  so.user = so.password = "test";
  so.stderr_path = dir.path + "/server.err";
  so.steps = {"clip-formats 49400:FileGroupDescriptorW",
              "clip-serve 49400 hex:" +
                  [&] {
                    std::string hex;
                    char b[3];
                    for (const uint8_t c : *list) hex.append(b, std::snprintf(b, 3, "%02x", c));
                    return hex;
                  }(),
              "clip-file-serve 0 offsets:" + std::to_string(size),
              "clip-wait-lists 2 600000",
              "clip-file-pull 1 0 4194304 30000",
              "sleep 2000",
              "end"};
  std::string error;
  auto server = test::start_test_server(so, &error);
  if (!server) return std::fprintf(stderr, "test server: %s\n", error.c_str()), 1;
  host::SessionOptions ko;
  ko.korvane_path = korvane;
  ko.request.host = "127.0.0.1";
  ko.request.port = server->port;
  ko.request.username = ko.request.password = "test";
  ko.request.flags = CONNECT_FLAG_TLS;
  ko.extension_block = encode_extensions(EXT_FILES, {});
  ko.stderr_path = dir.path + "/korvane.err";
  auto session = host::start_session(ko, &error);
  if (!session) return std::fprintf(stderr, "korvane: %s\n", error.c_str()), 1;
  const pid_t pid = session->child.pid;

  host::FileFetch fetch;
  fetch.send = [&](uint8_t type, std::span<const uint8_t> p) {
    return host::send_command(*session, type, p);
  };
  host::FileOffer offer;
  offer.files = {{"bench.bin", size}};
  offer.read = [&](size_t, uint64_t position, uint32_t length) {
    std::vector<uint8_t> bytes(std::min<uint64_t>(length, size - position));
    offsets(position, bytes);
    return std::optional(std::move(bytes));
  };
  std::optional<uint64_t> peak_connected, peak_down, peak_up;
  Clock::time_point down_start, up_start;
  test::Cpu cpu_down_start{}, cpu_up_start{};
  double down_s = 0, up_s = 0, cpu_down = 0, cpu_up = 0;
  uint64_t wrong = 0, served = 0;
  std::vector<uint8_t> expected;
  const auto deadline = Clock::now() + std::chrono::minutes(10);
  while (Clock::now() < deadline) {
    host::Frame frame;
    const auto st = host::next_event(*session, 1000, frame);
    if (st == host::ReadStatus::timeout) continue;
    if (st != host::ReadStatus::frame || frame.type == EVT_DISCONNECTED) break;
    if (frame.type == EVT_CLIP_FORMATS && !peak_connected) {
      peak_connected = test::status_field(pid, "VmHWM");
      down_start = Clock::now();
      cpu_down_start = test::cpu_of(pid).value_or(test::Cpu{});
    }
    if (frame.type == EVT_CLIP_FILE_REQUEST) {
      if (!up_start.time_since_epoch().count()) {
        up_start = Clock::now();
        cpu_up_start = test::cpu_of(pid).value_or(test::Cpu{});
      }
      const auto answer = offer.answer(frame.payload);
      served += answer->size() - kFileDataHeaderSize;
      host::send_command(*session, CMD_CLIP_FILE_DATA, *answer);
      if (served >= size + 8 && !peak_up) {  // the size, then every byte
        up_s = seconds_since(up_start);
        cpu_up = static_cast<double>(test::cpu_of(pid)->run_ns - cpu_up_start.run_ns) / 1e9;
        peak_up = test::status_field(pid, "VmHWM");
      }
      continue;
    }
    const bool was_done = fetch.done();
    const auto piece = fetch.on_event(frame, error);
    if (!error.empty()) return std::fprintf(stderr, "fetch: %s\n", error.c_str()), 1;
    if (piece) {
      expected.resize(piece->bytes.size());
      offsets(piece->position, expected);
      wrong += !std::equal(expected.begin(), expected.end(), piece->bytes.begin());
    }
    if (!was_done && fetch.done()) {
      down_s = seconds_since(down_start);
      cpu_down = static_cast<double>(test::cpu_of(pid)->run_ns - cpu_down_start.run_ns) / 1e9;
      peak_down = test::status_field(pid, "VmHWM");
      host::send_command(*session, CMD_CLIP_DATA, offer.data_payload());
      host::send_command(*session, CMD_CLIP_FORMATS, offer.formats_payload());
    }
  }
  host::finish_session(*session, 10000);
  if (!peak_down || !peak_up || wrong)
    return std::fprintf(stderr, "incomplete: down %s, up %s, %llu wrong ranges\n",
                        peak_down ? "done" : "not done", peak_up ? "done" : "not done",
                        static_cast<unsigned long long>(wrong)),
           1;
  const double m = static_cast<double>(mib);
  std::printf("file %llu MiB; korvane peak (VmHWM) connected %.1f MiB\n",
              static_cast<unsigned long long>(mib), static_cast<double>(*peak_connected) / 1024.0);
  std::printf(
      "down (server to host, 4 x 1 MiB in flight): %.2f s, %.0f MiB/s, korvane CPU %.2f s, "
      "peak %.1f MiB\n",
      down_s, m / down_s, cpu_down, static_cast<double>(*peak_down) / 1024.0);
  std::printf(
      "up (host to server, 4 MiB at a time): %.2f s, %.0f MiB/s, korvane CPU %.2f s, "
      "peak %.1f MiB\n",
      up_s, m / up_s, cpu_up, static_cast<double>(*peak_up) / 1024.0);
  return 0;
}
