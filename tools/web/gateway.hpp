// The gateway's process-wide record, and the Boost names its files share.
#pragma once

#include <atomic>
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

#include "config.hpp"
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
};

void log_line(const std::string& text);

}  // namespace korvane::web
