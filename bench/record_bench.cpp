// What recording a session costs, and how fast a recording becomes a video. The reference host
// (korvane-host) connects to FreeRDP's shadow server on a private Xvfb desktop where an xterm
// scrolls `seq` output the whole session, once without --record and once with it, on each
// path: classic (the server without the graphics pipeline, RemoteFX and NSCodec: rectangles)
// and H.264 (the graphics pipeline, AVC420 passed through). Prints, per path, the CPU of the
// host and korvane together (getrusage of the reaped children) with and without the recording,
// the recording's bytes per minute and the size of an hour at that rate, then the export of the
// recording to MP4 (--video) as a multiple of real time. Asserts nothing.
//
//   record_bench [--seconds S] [--width W] [--height H] [--paths classic,h264]
#include <sys/resource.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include "host/process.hpp"
#include "net.hpp"
#include "shadow_rig.hpp"
#include "x_display.hpp"

using namespace korvane;

namespace {

double children_cpu_s() {
  rusage u{};
  getrusage(RUSAGE_CHILDREN, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

struct Run {
  std::string error;
  double cpu_s = 0, fps = 0;  // fps: korvane's events a second, as korvane-host counts them
};

// One session of `seconds` through korvane-host; the CPU of it and its korvane.
Run session(const std::string& host_path, uint16_t port, uint32_t w, uint32_t h, int seconds,
            bool h264, const std::string& record, const std::string& dir) {
  Run r;
  host::SpawnOptions o;
  o.argv = {host_path,
            "--korvane",
            BENCH_KORVANE_PATH,
            "--host",
            "127.0.0.1",
            "--port",
            std::to_string(port),
            "--user",
            "test",
            "--password",
            "test",
            "--flags",
            "1",
            "--width",
            std::to_string(w),
            "--height",
            std::to_string(h),
            "--seconds",
            std::to_string(seconds),
            "--quiet",
            "--korvane-log",
            dir + "/korvane.log"};
  if (h264) o.argv.insert(o.argv.end(), {"--h264", "avc420"});
  if (!record.empty()) o.argv.insert(o.argv.end(), {"--record", record});
  const double cpu0 = children_cpu_s();
  const auto out = host::run_capture(o, (seconds + 60) * 1000);
  r.cpu_s = children_cpu_s() - cpu0;
  std::smatch m;
  if (!out.status || out.status->code != 0) r.error = "korvane-host failed:\n" + out.out;
  if (std::regex_search(out.out, m, std::regex("SUMMARY .* fps=([0-9.]+)")))
    r.fps = std::stod(m[1]);
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  int seconds = 60;
  uint32_t width = 1280, height = 800;
  std::string paths = "classic,h264";
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string arg = argv[i];
    if (arg == "--seconds") {
      seconds = std::atoi(argv[i + 1]);
    } else if (arg == "--width") {
      width = static_cast<uint32_t>(std::atoi(argv[i + 1]));
    } else if (arg == "--height") {
      height = static_cast<uint32_t>(std::atoi(argv[i + 1]));
    } else if (arg == "--paths") {
      paths = argv[i + 1];
    } else {
      std::fprintf(stderr, "usage: %s [--seconds S] [--width W] [--height H] [--paths L]\n",
                   argv[0]);
      return 2;
    }
  }
  if (seconds < 5 || seconds > 3600) {
    std::fprintf(stderr, "record_bench: --seconds wants 5..3600\n");
    return 2;
  }
  test::TempDir dir = test::make_temp_dir("korvane-record-bench");
  std::string error;
  auto x = test::start_xvfb(width, height, dir.path, &error);
  if (!x) {
    std::fprintf(stderr, "record_bench: Xvfb: %s\n", error.c_str());
    return 1;
  }
  // The xterm scrolls as fast as it can for as long as the benchmark runs.
  host::SpawnOptions xo;
  xo.argv = {"xterm", "-geometry", "160x60+0+0", "-e", "sh", "-c", "seq 1 1000000000000"};
  xo.env = {x->env()};
  xo.stdout_path = xo.stderr_path = "/dev/null";
  xo.term_grace_ms = 500;
  auto xterm = host::spawn(xo, &error);
  if (!xterm) {
    std::fprintf(stderr, "record_bench: xterm: %s\n", error.c_str());
    return 1;
  }
  std::printf("%ux%u, an xterm scrolling, %d s a session\n", width, height, seconds);
  std::printf("%-8s %10s %10s %10s %8s %8s %10s %10s %10s\n", "path", "cpu_plain", "cpu_rec",
              "cost_%cpu", "events/s", "ev/s_rec", "MB/min", "MB/hour", "export_x");
  for (const bool h264 : {false, true}) {
    const char* name = h264 ? "h264" : "classic";
    if (paths.find(name) == std::string::npos) continue;
    auto shadow = bench::start_shadow(
        *x, h264 ? std::vector<std::string>{} : std::vector<std::string>{"-gfx", "-rfx", "-nsc"},
        error);
    if (!shadow) {
      std::fprintf(stderr, "record_bench: %s\n", error.c_str());
      return 1;
    }
    const std::string file = dir.path + "/" + name + ".kvr";
    const Run plain =
        session(KORVANE_HOST_PATH, shadow->port, width, height, seconds, h264, "", dir.path);
    const Run recorded =
        session(KORVANE_HOST_PATH, shadow->port, width, height, seconds, h264, file, dir.path);
    if (!plain.error.empty() || !recorded.error.empty()) {
      std::fprintf(stderr, "record_bench: %s%s\n", plain.error.c_str(), recorded.error.c_str());
      return 1;
    }
    struct stat st {};
    stat(file.c_str(), &st);
    const double mb_min = static_cast<double>(st.st_size) / 1e6 / (seconds / 60.0);
    // The export's own time, as its VIDEO line gives it (the replay before it is not counted).
    host::SpawnOptions e;
    e.argv = {KORVANE_HOST_PATH, "--replay", file, "--quiet", "--video", dir.path + "/out.mp4"};
    const auto exported = host::run_capture(e, 3600 * 1000);
    std::smatch m;
    std::string mode = "?";
    double realtime = 0;
    if (std::regex_search(exported.out, m,
                          std::regex("VIDEO \\S+ mode=(\\w+) .* realtime=([0-9.]+)x"))) {
      mode = m[1];
      realtime = std::stod(m[2]);
    }
    std::printf("%-8s %10.2f %10.2f %10.1f %8.1f %8.1f %10.2f %10.1f %7.1f (%s)\n", name,
                plain.cpu_s, recorded.cpu_s, 100 * (recorded.cpu_s - plain.cpu_s) / seconds,
                plain.fps, recorded.fps, mb_min, mb_min * 60, realtime, mode.c_str());
  }
  return 0;
}
