// korvane-web: a reference web gateway. Serves one page and connects each browser tab, over a
// WebSocket, to its own korvane child. korvane's frames cross the WebSocket unchanged (one frame
// per binary message) so the page speaks the host protocol itself; what the page sends back is
// checked frame by frame (policy.hpp) and only input, clipboard and resize commands reach korvane.
//
//   korvane-web --config FILE [--listen ADDR] [--port N] [--korvane PATH] [--web-root DIR]
//               [--origin ORIGIN]... [--node NAME] [--advertise HOST:PORT] [--registry HOST:PORT]
//
// One thread runs every socket (http.hpp, tab.hpp); each session has one more thread that reads
// korvane's output. On several machines (a node name) one more keeps the registry.

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <functional>
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

bool cluster(const Gateway& g) { return !g.config.node.empty(); }

void on_registry_thread(Gateway& g, std::function<void()> job) {
  {
    std::lock_guard lock(g.keeper_mutex);
    g.registry_jobs.push_back(std::move(job));
  }
  g.keeper_wake.notify_all();
}

void registry_changed(Gateway& g) {
  if (!cluster(g)) return;
  {
    std::lock_guard lock(g.keeper_mutex);
    g.keeper_due = true;
  }
  g.keeper_wake.notify_all();
}

int64_t unix_now() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string make_token(const Gateway& g, std::string_view kind, int64_t seconds) {
  if (!cluster(g)) return random_token();
  return sign_token(g.config.secret, kind, g.config.node, unix_now() + seconds, random_token());
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
               "                   [--web-root DIR] [--origin ORIGIN]... [--node NAME]\n"
               "                   [--advertise HOST:PORT] [--registry HOST:PORT]\n");
  return 2;
}

// Keeps this node and its sessions in the registry, each key refreshed well within its expiry,
// and says in the log when the registry stops or starts answering; between rounds, does the io
// thread's registry work, so that a slow registry never holds a socket up. At the end its keys
// go.
void keep_registry(Gateway& g) {
  std::vector<uint64_t> kept;
  const std::string& node = g.config.node;
  auto next_round = Clock::now();
  for (;;) {
    if (Clock::now() >= next_round) {
      std::string error;
      bool ok =
          registry_set(g.registry, node_key(node), g.config.advertise, kRegistryTtlSeconds, &error);
      const std::vector<uint64_t> live = live_sessions(g);
      for (const uint64_t id : live)
        ok = ok &&
             registry_set(g.registry, session_key(node, id), node, kRegistryTtlSeconds, &error);
      for (const uint64_t id : kept)
        if (ok && std::find(live.begin(), live.end(), id) == live.end())
          ok = registry_del(g.registry, session_key(node, id), &error);
      if (ok) kept = live;
      if (ok != g.registry_ok.exchange(ok))
        log_line(ok ? "the registry answers again"
                    : "the registry fails (" + error + "): no new sessions until it answers");
      next_round = Clock::now() + std::chrono::seconds(kRegistryTtlSeconds / 3);
    }
    std::deque<std::function<void()>> jobs;
    {
      std::unique_lock lock(g.keeper_mutex);
      g.keeper_wake.wait_until(lock, next_round, [&] {
        return g.keeper_stop || g.keeper_due || !g.registry_jobs.empty();
      });
      if (g.keeper_stop) break;
      if (g.keeper_due) next_round = Clock::now();
      g.keeper_due = false;
      jobs.swap(g.registry_jobs);
    }
    for (auto& job : jobs) job();
  }
  for (const uint64_t id : kept) registry_del(g.registry, session_key(node, id), nullptr);
  registry_del(g.registry, node_key(node), nullptr);
}

int run(int argc, char** argv) {
  std::string config_path, listen, korvane, web_root, node, advertise, registry;
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
    else if (a == "--node")
      node = v;
    else if (a == "--advertise")
      advertise = v;
    else if (a == "--registry")
      registry = v;
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
  if (!node.empty()) g.config.node = node;
  if (!advertise.empty()) g.config.advertise = advertise;
  if (!registry.empty()) g.config.registry = registry;
  if (const std::string problem = finish_cluster_config(g.config); !problem.empty()) {
    log_line("configuration: " + problem);
    return 2;
  }
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

  if (g.config.advertise.empty()) g.config.advertise = host + ":" + std::to_string(bound);
  std::thread registry_thread;
  if (cluster(g)) {
    const auto at = parse_address(g.config.registry);
    g.registry.host = at->host;
    g.registry.port = at->port;
    log_line("node " + g.config.node + " at " + g.config.advertise + ", registry " +
             g.config.registry);
    registry_thread = std::thread(keep_registry, std::ref(g));
  }

  // SIGINT stops at once. SIGUSR1 drains: no new sessions, the running ones go on, and the
  // gateway stops when they ended or drain_seconds passed. On several machines SIGTERM drains
  // too (what an orchestrator sends first), and a second one stops at once.
  const auto stop = [&] {
    g.stopping = true;
    beast::error_code ignored;
    acceptor.close(ignored);
    g.io.stop();
  };
  net::signal_set signals(g.io, SIGINT, SIGTERM, SIGUSR1);
  net::steady_timer drain_timer(g.io);
  Clock::time_point drain_until;
  std::function<void()> check_drain = [&] {
    if (g.live_threads == 0 || Clock::now() >= drain_until) {
      log_line(g.live_threads == 0 ? "drained" : "the drain's bound passed");
      return stop();
    }
    drain_timer.expires_after(std::chrono::milliseconds(200));
    drain_timer.async_wait([&](beast::error_code waited) {
      if (!waited) check_drain();
    });
  };
  std::function<void(beast::error_code, int)> on_signal = [&](beast::error_code failed, int sig) {
    if (failed) return;
    const bool drain = sig == SIGUSR1 || (sig == SIGTERM && cluster(g));
    if (!drain || g.draining) return stop();
    g.draining = true;
    log_line("draining: no new sessions; " + std::to_string(g.live_threads.load()) +
             " running, at most " + std::to_string(g.config.drain_seconds) + " s more");
    drain_until = Clock::now() + std::chrono::seconds(g.config.drain_seconds);
    check_drain();
    signals.async_wait(on_signal);
  };
  signals.async_wait(on_signal);
  accept_next(g, acceptor);
  g.io.run();
  if (registry_thread.joinable()) {
    {
      std::lock_guard lock(g.keeper_mutex);
      g.keeper_stop = true;
    }
    g.keeper_wake.notify_all();
    registry_thread.join();
  }
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
