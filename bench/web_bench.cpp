// korvane-web's speed in a real browser: headless Chromium on the gateway's page against
// korvane and FreeRDP's shadow server on a 1920x1080 Xvfb desktop, raw rectangles and H.264
// (AVC420 through WebCodecs) side by side.
//   - frames/s: the page's own readout (animation frames that painted something) while the
//     bench repaints the whole X screen as fast as it can;
//   - latency: from the X change (xsetroot has returned) to the page's canvas showing it, read
//     by a page-side poll every few milliseconds that notes the wall-clock time of the change;
//   - the gateway's CPU (user+sys from /proc) per frame the page painted.
// With --viewers none,paused each run is made again with a view-only share of the tab open in a
// second tab, whose JavaScript is paused in the debugger (a tab that stops reading): the owner's
// frames/s must not fall with it.
// With --via direct,node,haproxy each run is made again on a node of scripts/web-cluster.sh
// (one node with its registry, behind HAProxy): at the node's own address, then through
// HAProxy. The difference is what the load balancer adds.
// The browser helpers are the web test's, without its assertions.
//
// web_bench [--seconds S] [--samples N] [--viewers none,watching,paused]
//           [--via direct,node,haproxy]

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "devtools.hpp"
#include "host/process.hpp"
#include "logged_process.hpp"
#include "net.hpp"
#include "proc_stats.hpp"
#include "shadow.hpp"
#include "x_display.hpp"

using Clock = std::chrono::steady_clock;

namespace korvane::test {
namespace {

long ms_since(Clock::time_point t0) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count());
}

bool have_program(const std::string& name) {
  host::SpawnOptions o;
  o.argv = {"sh", "-c", "command -v " + name};
  const auto r = host::run_capture(o, 5000);
  return r.status && r.status->exited() && r.status->code == 0;
}

// The shared driver; a command the browser refuses is reported.
std::optional<Browser> start_browser(const std::string& log_path) {
  auto b = test::start_browser(log_path, 1920, 1080);
  if (b) b->on_error = [](const std::string& what) { std::fprintf(stderr, "%s\n", what.c_str()); };
  return b;
}

std::optional<GatewayRun> start_gateway(const std::string& dir, const std::string& config,
                                        std::string* error) {
  return test::start_gateway(KORVANE_WEB_PATH, KORVANE_PATH, dir, config, error);
}

long wall_ms() {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::system_clock::now().time_since_epoch())
                               .count());
}

struct Run {
  bool ok = false;
  double fps = 0, mbit = 0, gateway_ms_per_frame = 0;
  std::vector<long> latencies;
  std::string codec_seen;
  int viewer_resyncs = 0;  // the gateway's "a viewer fell behind" lines
};

// The page notes when the canvas pixel at (8, 8) turns the colour it is told to wait for.
const char* kWatch =
    "window.benchWatch = (r, g, b) => new Promise((resolve) => {"
    "  const c = document.getElementById('screen').getContext('2d', {willReadFrequently: true});"
    "  const t0 = Date.now();"
    "  const poll = () => {"
    "    const p = c.getImageData(8, 8, 1, 1).data;"
    "    if (Math.abs(p[0] - r) < 24 && Math.abs(p[1] - g) < 24 && Math.abs(p[2] - b) < 24)"
    "      return resolve(String(Date.now()));"
    "    if (Date.now() - t0 > 5000) return resolve('timeout');"
    "    setTimeout(poll, 1);"
    "  };"
    "  poll();"
    "}); 'ok'";

// Where the page is opened: a gateway on its own, or a node of a one-node cluster, at its own
// address or through HAProxy (`via`). Stops what it started.
struct Site {
  std::optional<GatewayRun> gateway;
  std::string cluster;  // the cluster's folder, when one runs
  std::string base, log;
  int pid = 0;
  ~Site() {
    if (cluster.empty()) return;
    host::SpawnOptions o;
    o.argv = {"bash", KORVANE_WEB_CLUSTER, "stop", cluster};
    host::run_capture(o, 30000);
  }
};

bool start_site(Site& site, const std::string& via, const std::string& dir,
                const std::string& config) {
  std::string error;
  if (via == "direct") {
    site.gateway = start_gateway(dir, config, &error);
    if (!site.gateway) std::fprintf(stderr, "gateway: %s\n", error.c_str());
    if (!site.gateway) return false;
    site.base = "http://127.0.0.1:" + std::to_string(site.gateway->port);
    site.pid = site.gateway->process.pid;
    site.log = site.gateway->log_path;
    return true;
  }
  site.cluster = dir + "/cluster";
  std::ofstream(dir + "/targets.conf") << config;
  const uint16_t front = free_tcp_port();
  host::SpawnOptions o;
  o.argv = {"bash", KORVANE_WEB_CLUSTER,  "start", site.cluster, dir + "/targets.conf",
            "1",    std::to_string(front)};
  o.env = {std::string("KORVANE_WEB=") + KORVANE_WEB_PATH};
  o.stderr_path = "-";
  const auto r = host::run_capture(o, 60000);
  int node_port = 0;
  std::istringstream(read_file(site.cluster + "/ports")) >> node_port;
  if (!r.status || r.status->code != 0 || !node_port) {
    std::fprintf(stderr, "cluster: %s\n", r.out.c_str());
    return false;
  }
  site.base = via == "haproxy" ? "http://127.0.0.1:" + std::to_string(front)
                               : "http://127.0.0.2:" + std::to_string(node_port);
  site.pid = std::stoi(read_file(site.cluster + "/node1.pid"));
  site.log = site.cluster + "/node1.log";
  return true;
}

Run run_one(XServer& x, const std::string& codec, int seconds, int samples, const std::string& dir,
            const std::string& viewer, const std::string& via) {
  Run run;
  std::string error;
  ShadowOptions so;
  auto shadow = start_shadow(x, so, &error);
  if (!shadow) {
    std::fprintf(stderr, "shadow: %s\n", error.c_str());
    return run;
  }
  Site site;
  if (!start_site(site, via, dir,
                  "[target desk]\nhost = 127.0.0.1\nport = " + std::to_string(shadow->port) +
                      "\nuser = test\npassword = test\nflags = 1\n"))
    return run;
  auto b = start_browser(dir + "/chromium-" + codec + ".log");
  if (!b) return run;
  auto t = open_tab(*b, site.base + "/?target=desk&connect=1&codec=" + codec);
  if (!t || !wait_page(*b, *t, "window.korvane.phase === 'connected'", 30000)) {
    std::fprintf(stderr, "not connected: %s\n", t ? page_state(*b, *t).c_str() : "no tab");
    return run;
  }
  std::optional<Tab> watcher;
  if (viewer != "none") {
    eval(*b, *t, "document.querySelector('#share form').requestSubmit(), ''");
    wait_page(*b, *t, "window.korvane.share.links.length === 1", 10000);
    watcher = open_tab(*b, eval(*b, *t, "window.korvane.share.links[0].url").value_or(""));
    if (!watcher || !wait_page(*b, *watcher, "window.korvane.phase === 'connected'", 30000)) {
      std::fprintf(stderr, "the viewer did not join\n");
      return run;
    }
    if (viewer == "paused") {
      cdp(*b, "Debugger.enable", "{}", watcher->session);
      cdp(*b, "Debugger.pause", "{}", watcher->session);
    }
  }
  std::this_thread::sleep_for(std::chrono::seconds(2));
  eval(*b, *t, kWatch);
  auto xrun = [&](const std::vector<std::string>& argv) {
    host::SpawnOptions o;
    o.argv = argv;
    o.env = {x.env()};
    host::run_capture(o, 10000);
  };
  // Latency: the whole root changes colour, the page's pixel follows.
  const char* colours[2] = {"#ff0000", "#0000ff"};
  const int rgb[2][3] = {{255, 0, 0}, {0, 0, 255}};
  for (int i = 0; i < samples; ++i) {
    const int c = i % 2;
    // The watch starts before the change; its promise is collected after.
    eval(*b, *t,
         "window.benchResult = window.benchWatch(" + std::to_string(rgb[c][0]) + "," +
             std::to_string(rgb[c][1]) + "," + std::to_string(rgb[c][2]) + "); 'ok'");
    xrun({"xsetroot", "-solid", colours[c]});
    const long changed = wall_ms();
    const auto seen = eval(*b, *t, "window.benchResult");
    if (seen && *seen != "timeout") run.latencies.push_back(std::stol(*seen) - changed);
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
  }
  // Frames/s: the screen repainted without pause for S seconds.
  const double gw0 = test::cpu_seconds(site.pid);
  const auto t0 = Clock::now();
  double fps_sum = 0, mbit_sum = 0;
  int reads = 0;
  int i = 0;
  while (ms_since(t0) < seconds * 1000) {
    xrun({"xsetroot", "-solid", colours[i++ % 2]});
    if (ms_since(t0) > 1500 && i % 8 == 0) {
      const auto fps = eval(*b, *t, "String(window.korvane.fps)");
      const auto kbps = eval(*b, *t, "String(window.korvane.kbps)");
      if (fps && kbps) {
        fps_sum += std::stod(*fps);
        mbit_sum += std::stod(*kbps) / 1000;
        ++reads;
      }
    }
  }
  const double elapsed = static_cast<double>(ms_since(t0)) / 1000.0;
  const double gw1 = test::cpu_seconds(site.pid);
  run.fps = reads ? fps_sum / reads : 0;
  run.mbit = reads ? mbit_sum / reads : 0;
  const double frames = run.fps * elapsed;
  run.gateway_ms_per_frame = frames > 0 ? (gw1 - gw0) * 1000.0 / frames : 0;
  run.codec_seen = eval(*b, *t,
                        "'chunks ' + window.korvane.h264Chunks + ', decoded ' + "
                        "window.korvane.decodedFrames + ', errors ' + window.korvane.decodeErrors "
                        "+ ', rects ' + window.korvane.rects")
                       .value_or("?");
  run.ok = true;
  const std::string log = read_file(site.log);
  for (size_t at = 0; (at = log.find("a viewer fell behind", at)) != std::string::npos; ++at)
    ++run.viewer_resyncs;
  cdp(*b, "Browser.close", "{}", "", 3000);
  host::wait_exit(b->process, 3000);
  return run;
}

long percentile(std::vector<long> v, double p) {
  if (v.empty()) return -1;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

}  // namespace
}  // namespace korvane::test

int main(int argc, char** argv) {
  using namespace korvane::test;
  int seconds = 10, samples = 40;
  std::vector<std::string> viewers = {"none"}, vias = {"direct"};
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--seconds")) {
      seconds = std::atoi(argv[i + 1]);
    } else if (!std::strcmp(argv[i], "--samples")) {
      samples = std::atoi(argv[i + 1]);
    } else if (!std::strcmp(argv[i], "--viewers") || !std::strcmp(argv[i], "--via")) {
      auto& list = !std::strcmp(argv[i], "--via") ? vias : viewers;
      list.clear();
      std::istringstream in(argv[i + 1]);
      for (std::string v; std::getline(in, v, ',');) list.push_back(v);
    }
  }
  if (!have_program("chromium")) {
    std::fprintf(stderr, "chromium is not installed (scripts/setup.sh)\n");
    return 2;
  }
  TempDir dir = make_temp_dir("korvane-web-bench");
  std::string error;
  auto xs = start_xvfb(1920, 1080, dir.path, &error);
  if (!xs) {
    std::fprintf(stderr, "Xvfb: %s\n", error.c_str());
    return 1;
  }
  XServer x = std::move(*xs);
  draw_desktop(x, "#336699", &error);
  int status = 0;
  for (const std::string& via : vias) {
    for (const std::string& viewer : viewers) {
      for (const std::string codec : {"raw", "h264"}) {
        const Run r = run_one(x, codec, seconds, samples, dir.path, viewer, via);
        if (!r.ok) {
          std::printf("%s, viewer %s, %s: failed\n", codec.c_str(), viewer.c_str(), via.c_str());
          status = 1;
          continue;
        }
        std::printf(
            "%-5s 1920x1080, %s, viewer %s: %.1f frames/s, %.2f Mbit/s, gateway CPU %.2f "
            "ms/frame; latency X change -> canvas p50 %ld ms, p90 %ld ms (%zu of %d seen); %s; "
            "viewer re-synced %d times\n",
            codec.c_str(), via.c_str(), viewer.c_str(), r.fps, r.mbit, r.gateway_ms_per_frame,
            percentile(r.latencies, 0.5), percentile(r.latencies, 0.9), r.latencies.size(), samples,
            r.codec_seen.c_str(), r.viewer_resyncs);
        std::fflush(stdout);
      }
    }
  }
  return status;
}
