// The gateway's process-wide record, and the Boost names its files share.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>  // before Boost.Asio, whose awaitable.hpp uses std::exchange
#include <vector>
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include "cluster.hpp"
#include "config.hpp"
#include "registry.hpp"
#include "tokens.hpp"

namespace korvane::web {

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace net = boost::asio;
using tcp = net::ip::tcp;

struct Link;

// Set up by main before the io thread runs; only the members marked below change afterwards.
struct Gateway {
  Config config;
  std::string korvane_path;
  std::string web_root;
  std::set<std::string> origins;
  net::io_context io;
  Tokens tokens;
  Shares shares;                           // the io thread's only
  std::mutex mutex;                        // guards next_session and links
  uint64_t next_session = 1;               // guarded by mutex
  std::vector<std::weak_ptr<Link>> links;  // guarded by mutex; for stopping
  std::atomic<int> live_threads{0};        // korvane reader threads still running
  std::atomic<bool> stopping{false};       // set once by the signal handler (io thread)
  // On several machines (config.node set): the registry, kept by the registry thread and asked
  // by the io thread; whether its last exchange went well; and a drain (no new sessions).
  Registry registry;
  std::atomic<bool> registry_ok{true};
  std::atomic<bool> draining{false};  // set by the signal handler (io thread)
  // The registry thread waits on keeper_wake for its next round, for a session that started or
  // ended (keeper_due), for work of the io thread's (registry_jobs), or for the end.
  std::mutex keeper_mutex;
  std::condition_variable keeper_wake;
  bool keeper_due = false, keeper_stop = false;     // guarded by keeper_mutex
  std::deque<std::function<void()>> registry_jobs;  // guarded by keeper_mutex
};

// Runs `job` on the registry thread (on several machines only): what the io thread asks of the
// registry, which answers back through g.io. Any thread.
void on_registry_thread(Gateway& g, std::function<void()> job);

// A session started or ended: the registry thread brings the registry up to date now. Any thread.
void registry_changed(Gateway& g);

bool cluster(const Gateway& g);
// A token of `kind` ("token", "share") valid for `seconds`: signed on several machines, else
// random. Any thread.
std::string make_token(const Gateway& g, std::string_view kind, int64_t seconds);
int64_t unix_now();

void log_line(const std::string& text);

}  // namespace korvane::web
