// korvane-web: a reference web gateway. Serves one page and connects each browser tab, over a
// WebSocket, to its own korvane child. korvane's frames cross the WebSocket unchanged (one frame
// per binary message) so the page speaks the host protocol itself; what the page sends back is
// checked frame by frame (policy.hpp) and only input, clipboard and resize commands reach korvane.
//
//   korvane-web --config FILE [--listen ADDR] [--port N] [--korvane PATH] [--web-root DIR]
//               [--origin ORIGIN]...
//
// One thread runs every socket (http.hpp, tab.hpp); each session has one more thread that reads
// korvane's output.

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "gateway.hpp"
#include "http.hpp"
#include "tab.hpp"

namespace korvane::web {

void log_line(const std::string& text) {
  std::fprintf(stderr, "[korvane-web] %s\n", text.c_str());
  std::fflush(stderr);
}

namespace {

std::string self_dir() {
  std::error_code ec;
  const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string(".") : exe.parent_path().string();
}

int usage() {
  std::fprintf(stderr,
               "usage: korvane-web --config FILE [--listen ADDR] [--port N] [--korvane PATH]\n"
               "                   [--web-root DIR] [--origin ORIGIN]...\n");
  return 2;
}

int run(int argc, char** argv) {
  std::string config_path, listen, korvane, web_root;
  std::optional<long> port;
  std::vector<std::string> origins;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (i + 1 >= argc) return usage();
    const std::string v = argv[++i];
    if (a == "--config")
      config_path = v;
    else if (a == "--listen")
      listen = v;
    else if (a == "--port") {
      try {
        port = std::stol(v);
      } catch (const std::exception&) {
        return usage();
      }
      if (*port < 0 || *port > 65535) return usage();
    } else if (a == "--korvane")
      korvane = v;
    else if (a == "--web-root")
      web_root = v;
    else if (a == "--origin")
      origins.push_back(v);
    else
      return usage();
  }
  if (config_path.empty()) return usage();
  std::string error;
  auto config = load_config(config_path, &error);
  if (!config) {
    log_line("configuration: " + error);
    return 2;
  }
  Gateway g;
  g.config = std::move(*config);
  if (!listen.empty()) g.config.listen = listen;
  if (port) g.config.port = static_cast<uint16_t>(*port);
  if (!korvane.empty()) g.config.korvane = korvane;
  if (!web_root.empty()) g.config.web_root = web_root;
  for (auto& o : origins) g.config.origins.push_back(o);
  g.korvane_path = g.config.korvane;
  if (g.korvane_path.empty()) {
    const std::string beside = self_dir() + "/korvane";
    g.korvane_path = access(beside.c_str(), X_OK) == 0 ? beside : "korvane";
  }
  g.web_root = g.config.web_root.empty() ? std::string(KORVANE_WEB_ROOT) : g.config.web_root;

  signal(SIGPIPE, SIG_IGN);
  tcp::acceptor acceptor(g.io);
  beast::error_code ec;
  const auto address = net::ip::make_address(g.config.listen, ec);
  if (ec) {
    log_line("cannot use listen address " + g.config.listen);
    return 2;
  }
  const tcp::endpoint endpoint(address, g.config.port);
  acceptor.open(endpoint.protocol(), ec);
  if (!ec) acceptor.set_option(net::socket_base::reuse_address(true), ec);
  if (!ec) acceptor.bind(endpoint, ec);
  if (!ec) acceptor.listen(net::socket_base::max_listen_connections, ec);
  if (ec) {
    log_line("cannot listen on " + g.config.listen + ":" + std::to_string(g.config.port) + ": " +
             ec.message());
    return 1;
  }
  const uint16_t bound = acceptor.local_endpoint().port();
  const std::string host = address.is_v6() ? "[" + g.config.listen + "]" : g.config.listen;
  g.origins.insert("http://" + host + ":" + std::to_string(bound));
  if (address.is_loopback()) g.origins.insert("http://localhost:" + std::to_string(bound));
  for (const auto& o : g.config.origins) g.origins.insert(o);
  std::printf("korvane-web: open http://%s:%u/\n", host.c_str(), bound);
  std::fflush(stdout);
  log_line("listening on " + host + ":" + std::to_string(bound) + ", " +
           std::to_string(g.config.targets.size()) + " target(s), korvane " + g.korvane_path);

  net::signal_set signals(g.io, SIGINT, SIGTERM);
  signals.async_wait([&](beast::error_code, int) {
    g.stopping = true;
    beast::error_code ignored;
    acceptor.close(ignored);
    g.io.stop();
  });
  accept_next(g, acceptor);
  g.io.run();
  // Every reader thread ends its korvane within a second of seeing the flag; the tabs hold
  // their links, so the flag is set on each through the io objects that are left.
  log_line("stopping");
  close_all_links(g);
  // Each reader thread ends its korvane within a second of the flag; they use the gateway, so
  // it must outlive them.
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  while (g.live_threads > 0 && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (g.live_threads > 0) {
    log_line("a session did not end in time");
    std::fflush(stderr);
    _exit(1);
  }
  return 0;
}

}  // namespace
}  // namespace korvane::web

int main(int argc, char** argv) { return korvane::web::run(argc, argv); }
