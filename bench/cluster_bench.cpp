// The web gateway on several nodes of one machine: N sessions through HAProxy to the nodes of
// scripts/web-cluster.sh, against FreeRDP's shadow server on a WxH Xvfb desktop. Each session is
// a WebSocket client of the bench's that reads every frame, as a page would, without drawing.
// While the bench repaints the whole X screen F times a second for S seconds: the sessions each
// node holds (the registry's keys), each node's CPU and memory with its korvanes, HAProxy's CPU,
// and the frames each session got. Asserts nothing; exit 1 when a session did not start or got
// no picture.
//
//   cluster_bench [--sessions N] [--nodes K] [--seconds S] [--fps F] [--width W] [--height H]

#include <dirent.h>

#include <utility>  // before Boost.Asio, whose awaitable.hpp uses std::exchange
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "host/process.hpp"
#include "host_link/protocol.hpp"
#include "net.hpp"
#include "proc_stats.hpp"
#include "shadow.hpp"
#include "x_display.hpp"

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace net = boost::asio;
using Clock = std::chrono::steady_clock;

namespace korvane::test {
namespace {

struct Session {
  std::unique_ptr<websocket::stream<beast::tcp_stream>> ws;
  std::atomic<uint64_t> frames{0};  // EVT_RECT and EVT_RECT_DEFLATE, counted by its reader
  std::thread reader;
};

// POST /session through the balancer, then the WebSocket with the node cookie it set (as the
// page's browser would send it): false when either is refused.
bool open_session(net::io_context& io, uint16_t front, Session& s) {
  const std::string origin = "http://127.0.0.1:" + std::to_string(front);
  const auto endpoint = net::ip::tcp::endpoint(net::ip::make_address("127.0.0.1"), front);
  beast::tcp_stream stream(io);
  stream.expires_after(std::chrono::seconds(20));
  beast::error_code ec;
  stream.connect(endpoint, ec);
  http::request<http::string_body> req{http::verb::post, "/session", 11};
  req.set(http::field::host, origin.substr(7));
  req.set(http::field::origin, origin);
  req.set(http::field::content_type, "application/x-www-form-urlencoded");
  req.body() = "target=desk&codec=raw&width=1920&height=1080";
  req.prepare_payload();
  if (!ec) http::write(stream, req, ec);
  beast::flat_buffer buffer;
  http::response<http::string_body> res;
  if (!ec) http::read(stream, buffer, res, ec);
  const auto at = res.body().find("\"token\":\"");
  if (ec || res.result_int() != 200 || at == std::string::npos) {
    std::fprintf(stderr, "session refused: %s %s\n", ec.message().c_str(), res.body().c_str());
    return false;
  }
  const std::string token = res.body().substr(at + 9, res.body().find('"', at + 9) - at - 9);
  const std::string cookie(
      res[http::field::set_cookie].substr(0, res[http::field::set_cookie].find(';')));
  s.ws = std::make_unique<websocket::stream<beast::tcp_stream>>(io);
  beast::get_lowest_layer(*s.ws).expires_after(std::chrono::seconds(20));
  beast::get_lowest_layer(*s.ws).connect(endpoint, ec);
  s.ws->set_option(websocket::stream_base::decorator([=](websocket::request_type& r) {
    r.set(http::field::origin, origin);
    r.set(http::field::sec_websocket_protocol, "korvane, token." + token);
    if (!cookie.empty()) r.set(http::field::cookie, cookie);
  }));
  s.ws->read_message_max(80u << 20);
  if (!ec) s.ws->handshake(origin.substr(7), "/ws", ec);
  if (ec) std::fprintf(stderr, "WebSocket refused: %s\n", ec.message().c_str());
  beast::get_lowest_layer(*s.ws).expires_never();
  return !ec;
}

void read_frames(Session& s) {
  for (;;) {
    beast::flat_buffer buffer;
    beast::error_code ec;
    s.ws->read(buffer, ec);
    if (ec) return;
    const uint8_t type = static_cast<const uint8_t*>(buffer.data().data())[0];
    if (s.ws->got_binary() && (type == EVT_RECT || type == EVT_RECT_DEFLATE)) ++s.frames;
  }
}

// A process and its children (korvane under a node): CPU seconds and resident MiB.
std::pair<double, double> with_children(int pid) {
  double cpu = cpu_seconds(pid), kib = static_cast<double>(resident_kib(pid));
  DIR* d = opendir("/proc");
  for (dirent* e; d && (e = readdir(d));) {
    const int child = std::atoi(e->d_name);
    if (child <= 0) continue;
    std::ifstream stat("/proc/" + std::to_string(child) + "/stat");
    std::string line;
    std::getline(stat, line);
    const auto paren = line.rfind(") ");
    int ppid = 0;
    if (paren != std::string::npos) std::istringstream(line.substr(paren + 4)) >> ppid;
    if (ppid == pid) {
      cpu += cpu_seconds(child);
      kib += static_cast<double>(resident_kib(child));
    }
  }
  if (d) closedir(d);
  return {cpu, kib / 1024};
}

// Round trips of GET /healthz on one kept-alive connection: microseconds, sorted.
std::vector<double> round_trips(net::io_context& io, const std::string& address, uint16_t port,
                                int count) {
  std::vector<double> us;
  beast::tcp_stream stream(io);
  beast::error_code ec;
  stream.connect(net::ip::tcp::endpoint(net::ip::make_address(address), port), ec);
  http::request<http::empty_body> req{http::verb::get, "/healthz", 11};
  req.set(http::field::host, address);
  beast::flat_buffer buffer;
  for (int i = 0; i < count && !ec; ++i) {
    const auto t0 = Clock::now();
    http::write(stream, req, ec);
    http::response<http::string_body> res;
    if (!ec) http::read(stream, buffer, res, ec);
    us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
  }
  std::sort(us.begin(), us.end());
  return us;
}

int run(int argc, char** argv) {
  int sessions = 12, nodes = 3, seconds = 10, fps = 2;
  uint32_t width = 1920, height = 1080;
  for (int i = 1; i + 1 < argc; i += 2) {
    const int v = std::atoi(argv[i + 1]);
    if (!std::strcmp(argv[i], "--sessions"))
      sessions = v;
    else if (!std::strcmp(argv[i], "--nodes"))
      nodes = v;
    else if (!std::strcmp(argv[i], "--seconds"))
      seconds = v;
    else if (!std::strcmp(argv[i], "--fps"))
      fps = std::max(1, v);
    else if (!std::strcmp(argv[i], "--width"))
      width = static_cast<uint32_t>(v);
    else if (!std::strcmp(argv[i], "--height"))
      height = static_cast<uint32_t>(v);
  }
  TempDir dir = make_temp_dir("korvane-cluster-bench");
  std::string error;
  auto x = start_xvfb(width, height, dir.path, &error);
  if (!x || !draw_desktop(*x, "#336699", &error)) {
    std::fprintf(stderr, "Xvfb: %s\n", error.c_str());
    return 1;
  }
  auto shadow = start_shadow(*x, {}, &error);
  if (!shadow) {
    std::fprintf(stderr, "shadow: %s\n", error.c_str());
    return 1;
  }
  const std::string run_dir = dir.path + "/cluster";
  std::ofstream(dir.path + "/targets.conf")
      << "[target desk]\nhost = 127.0.0.1\nport = " << shadow->port
      << "\nuser = test\npassword = test\nflags = 1\n";
  const uint16_t front = free_tcp_port();
  host::SpawnOptions o;
  o.argv = {"bash",
            KORVANE_WEB_CLUSTER,
            "start",
            run_dir,
            dir.path + "/targets.conf",
            std::to_string(nodes),
            std::to_string(front)};
  o.env = {std::string("KORVANE_WEB=") + KORVANE_WEB_PATH};
  o.stderr_path = "-";
  const auto started = host::run_capture(o, 60000);
  struct Stop {
    std::string run_dir;
    ~Stop() {
      host::SpawnOptions s;
      s.argv = {"bash", KORVANE_WEB_CLUSTER, "stop", run_dir};
      host::run_capture(s, 30000);
    }
  } stop{run_dir};
  if (!started.status || started.status->code != 0) {
    std::fprintf(stderr, "cluster: %s\n", started.out.c_str());
    return 1;
  }
  int redis_port = 0, node_port = 0;
  std::istringstream(read_file(run_dir + "/ports")) >> node_port >> redis_port;

  net::io_context io;
  std::vector<std::unique_ptr<Session>> all;
  int failed = 0;
  for (int i = 0; i < sessions; ++i) {
    auto s = std::make_unique<Session>();
    if (!open_session(io, front, *s)) {
      ++failed;
      continue;
    }
    s->reader = std::thread(read_frames, std::ref(*s));
    all.push_back(std::move(s));
  }
  // Every session's first picture (bounded).
  for (const auto t0 = Clock::now(); Clock::now() - t0 < std::chrono::seconds(60);) {
    if (std::all_of(all.begin(), all.end(), [](auto& s) { return s->frames > 0; })) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  const auto pictured =
      std::count_if(all.begin(), all.end(), [](auto& s) { return s->frames > 0; });
  std::map<std::string, int> held;
  host::SpawnOptions scan;
  scan.argv = {"redis-cli", "-p",        std::to_string(redis_port),
               "--scan",    "--pattern", "korvane:session:*"};
  std::istringstream keys(host::run_capture(scan, 5000).out);
  for (std::string key; keys >> key;) ++held[key.substr(16, key.rfind(':') - 16)];

  std::vector<int> pids;
  for (int n = 1; n <= nodes; ++n)
    pids.push_back(std::atoi(read_file(run_dir + "/node" + std::to_string(n) + ".pid").c_str()));
  const int haproxy = std::atoi(read_file(run_dir + "/haproxy.pid").c_str());
  std::vector<double> cpu0;
  for (const int pid : pids) cpu0.push_back(with_children(pid).first);
  const double haproxy0 = cpu_seconds(haproxy);
  std::vector<uint64_t> frames0;
  for (auto& s : all) frames0.push_back(s->frames);
  const auto t0 = Clock::now();
  for (int i = 0; Clock::now() - t0 < std::chrono::seconds(seconds); ++i) {
    run_x(*x, {"xsetroot", "-solid", i % 2 ? "#336699" : "#993366"});
    std::this_thread::sleep_until(t0 + std::chrono::milliseconds(1000 * (i + 1) / fps));
  }
  const double elapsed = std::chrono::duration<double>(Clock::now() - t0).count();
  std::vector<double> per_session;
  for (size_t i = 0; i < all.size(); ++i)
    per_session.push_back(static_cast<double>(all[i]->frames - frames0[i]) / elapsed);
  std::sort(per_session.begin(), per_session.end());

  std::printf("%d sessions at %ux%u through HAProxy to %d nodes: %zu started, %zu with a picture\n",
              sessions, width, height, nodes, all.size(), static_cast<size_t>(pictured));
  for (int n = 0; n < nodes; ++n) {
    const auto [cpu, mib] = with_children(pids[static_cast<size_t>(n)]);
    const std::string name = "node" + std::to_string(n + 1);
    std::printf("  %s: %d sessions, CPU %.0f%% of a core, %.0f MiB with its korvanes\n",
                name.c_str(), held[name], 100 * (cpu - cpu0[static_cast<size_t>(n)]) / elapsed,
                mib);
  }
  std::printf("  HAProxy: CPU %.1f%% of a core\n",
              100 * (cpu_seconds(haproxy) - haproxy0) / elapsed);
  if (!per_session.empty())
    std::printf(
        "  rectangles per session and second while the screen changed %d times a second: "
        "min %.1f, median %.1f\n",
        fps, per_session.front(), per_session[per_session.size() / 2]);
  // What HAProxy adds to a request: the same small request to a node, and through HAProxy.
  const auto direct = round_trips(io, "127.0.0.2", static_cast<uint16_t>(node_port), 2000);
  const auto balanced = round_trips(io, "127.0.0.1", front, 2000);
  if (!direct.empty() && !balanced.empty())
    std::printf(
        "  GET /healthz round trip, %zu on one connection: to a node p50 %.0f us, p99 %.0f us; "
        "through HAProxy p50 %.0f us, p99 %.0f us\n",
        direct.size(), direct[direct.size() / 2], direct[direct.size() * 99 / 100],
        balanced[balanced.size() / 2], balanced[balanced.size() * 99 / 100]);
  for (auto& s : all) {
    beast::error_code ec;
    beast::get_lowest_layer(*s->ws).socket().shutdown(net::ip::tcp::socket::shutdown_both, ec);
    s->reader.join();
  }
  return failed || pictured < static_cast<long>(all.size()) ? 1 : 0;
}

}  // namespace
}  // namespace korvane::test

int main(int argc, char** argv) { return korvane::test::run(argc, argv); }
