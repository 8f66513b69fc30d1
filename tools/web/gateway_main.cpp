// korvane-web: a reference web gateway. Serves one page and connects each browser tab, over a
// WebSocket, to its own korvane child. korvane's frames cross the WebSocket unchanged (one frame
// per binary message) so the page speaks the host protocol itself; what the page sends back is
// checked frame by frame and only input, clipboard and resize commands reach korvane.
//
//   korvane-web --config FILE [--listen ADDR] [--port N] [--korvane PATH] [--web-root DIR]
//               [--origin ORIGIN]...
//
// One thread runs every socket; each session has one more thread that reads korvane's output.

#include <signal.h>
#include <sys/random.h>
#include <unistd.h>

#include <atomic>
#include <utility>  // before Boost.Asio, whose awaitable.hpp uses std::exchange
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "config.hpp"
#include "host/session.hpp"
#include "host_link/extensions.hpp"
#include "host_link/protocol.hpp"
#include "host_link/session_extensions.hpp"

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace net = boost::asio;
using tcp = net::ip::tcp;
using Clock = std::chrono::steady_clock;

namespace korvane::web {
namespace {

// A slow browser must not make the gateway hold a desktop's worth of frames after another: past
// this much queued for the WebSocket, korvane's output is left unread (korvane then waits).
constexpr size_t kQueueLimit = 8u << 20;
constexpr size_t kMaxFramePayload = 64u << 20;
constexpr size_t kMaxClipboard = 16u << 20;
constexpr auto kTokenLifetime = std::chrono::seconds(60);

void log_line(const std::string& text) {
  std::fprintf(stderr, "[korvane-web] %s\n", text.c_str());
  std::fflush(stderr);
}

std::string random_token() {
  uint8_t bytes[16];
  size_t got = 0;
  while (got < sizeof bytes) {
    const ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
    if (n <= 0) continue;
    got += static_cast<size_t>(n);
  }
  static const char* hex = "0123456789abcdef";
  std::string out;
  for (const uint8_t b : bytes) {
    out += hex[b >> 4];
    out += hex[b & 15];
  }
  return out;
}

// What a POST /session asked for, kept until its WebSocket arrives (once) or it expires.
struct Pending {
  std::string target;
  std::string user, domain, password;  // typed into the page; empty: the configuration's
  uint32_t width = 1024, height = 768;
  bool h264 = false;
  Clock::time_point expires;
};

struct Gateway {
  Config config;
  std::string korvane_path;
  std::string web_root;
  std::set<std::string> origins;
  net::io_context io;
  std::mutex mutex;
  std::map<std::string, Pending> pending;  // by token
  uint64_t next_session = 1;
  std::atomic<int> live_threads{0};
  std::atomic<bool> stopping{false};
  std::vector<std::weak_ptr<struct Link>> links;  // guarded by mutex; for stopping
};

// ---- one browser tab and its korvane

struct Link {  // korvane's side, shared with the reader thread
  host::Session session;
  std::mutex mutex;  // guards everything below, and writes to korvane's stdin
  std::condition_variable changed;
  size_t queued_bytes = 0;
  bool closing = false;  // the tab went: end korvane
};

struct Tab {
  uint64_t id = 0;
  Gateway* gateway = nullptr;
  websocket::stream<beast::tcp_stream> ws;
  beast::flat_buffer in;
  std::deque<std::shared_ptr<std::vector<uint8_t>>> out;  // io thread only
  bool writing = false;
  bool korvane_done = false;  // no more frames will come: close once the queue is sent
  bool closed = false;
  std::shared_ptr<Link> link;
  explicit Tab(tcp::socket&& s) : ws(std::move(s)) {}
};

void end_tab(const std::shared_ptr<Tab>& tab, const char* why) {
  if (!tab->closed) {
    tab->closed = true;
    log_line("session " + std::to_string(tab->id) + ": browser side ended (" + why + ")");
  }
  std::lock_guard lock(tab->link->mutex);
  tab->link->closing = true;
  tab->link->changed.notify_all();
}

void close_when_sent(const std::shared_ptr<Tab>& tab) {
  if (tab->closed || tab->writing || !tab->out.empty() || !tab->korvane_done) return;
  tab->closed = true;
  tab->ws.async_close(websocket::close_code::normal, [tab](beast::error_code) {});
}

void write_next(const std::shared_ptr<Tab>& tab) {
  if (tab->writing || tab->closed) return;
  if (tab->out.empty()) {
    close_when_sent(tab);
    return;
  }
  tab->writing = true;
  auto msg = tab->out.front();
  tab->ws.binary(true);
  tab->ws.async_write(net::buffer(*msg), [tab, msg](beast::error_code ec, size_t) {
    tab->writing = false;
    tab->out.pop_front();
    {
      std::lock_guard lock(tab->link->mutex);
      tab->link->queued_bytes -= msg->size();
      tab->link->changed.notify_all();
    }
    if (ec) {
      tab->out.clear();
      end_tab(tab, "write failed");
      return;
    }
    write_next(tab);
  });
}

// Only what a page may ask of korvane: input, clipboard, resize, the cursor again, and ending.
// Never CMD_CONNECT (the gateway alone chooses the target) nor a certificate verdict.
bool allowed_command(uint8_t type, size_t payload) {
  switch (type) {
    case CMD_MOUSE_MOVE: case CMD_MOUSE_BUTTON: case CMD_MOUSE_WHEEL: case CMD_KEY:
    case CMD_DISCONNECT: case CMD_CLIP_REQUEST: case CMD_RESIZE: case CMD_CURSOR_STATE:
    case CMD_UNICODE: case CMD_SYNC_LOCKS:
      return payload <= 64;
    case CMD_CLIP_FORMATS: case CMD_CLIP_DATA:
      return payload <= kMaxClipboard;
    default:
      return false;
  }
}

void read_next(const std::shared_ptr<Tab>& tab) {
  tab->ws.async_read(tab->in, [tab](beast::error_code ec, size_t) {
    if (ec) {
      end_tab(tab, ec == websocket::error::closed ? "closed" : "gone");
      return;
    }
    const auto data = tab->in.cdata();
    const auto* p = static_cast<const uint8_t*>(data.data());
    const size_t n = data.size();
    const bool framed = tab->ws.got_binary() && n >= 5 && get_u32(p + 1) == n - 5;
    if (!framed || !allowed_command(p[0], n - 5)) {
      log_line("session " + std::to_string(tab->id) + ": refused a message from the page (type " +
               std::to_string(n ? p[0] : 0) + ", " + std::to_string(n) + " bytes)");
      tab->in.consume(n);
      tab->closed = true;
      tab->ws.async_close(websocket::close_code::policy_error, [tab](beast::error_code) {});
      end_tab(tab, "refused message");
      return;
    }
    bool ok = true;
    {
      std::lock_guard lock(tab->link->mutex);
      if (!tab->link->closing && tab->link->session.child.stdin_fd) {
        // korvane reads its commands promptly; one that stops reading for a second is stuck.
        ok = host::write_all(tab->link->session.child.stdin_fd.get(),
                             std::span<const uint8_t>(p, n), 1000);
      }
    }
    tab->in.consume(n);
    if (!ok) {
      end_tab(tab, "korvane stopped taking commands");
      return;
    }
    read_next(tab);
  });
}

// Reads korvane's frames and hands them to the io thread, never more than kQueueLimit ahead of
// the browser; when the tab goes, ends korvane at once.
void pump_korvane(Gateway* gateway, std::weak_ptr<Tab> weak, std::shared_ptr<Link> link, uint64_t id) {
  host::Session& s = link->session;
  s.reader.max_payload = kMaxFramePayload;
  std::string ending = "korvane's output ended";
  for (;;) {
    {
      std::unique_lock lock(link->mutex);
      link->changed.wait_for(lock, std::chrono::milliseconds(100),
                             [&] { return link->closing || link->queued_bytes < kQueueLimit; });
      if (link->closing) {
        ending = "tab closed";
        break;
      }
      if (link->queued_bytes >= kQueueLimit) continue;
    }
    host::Frame f;
    const host::ReadStatus st = host::next_event(s, 100, f);
    if (st == host::ReadStatus::timeout) continue;
    if (st != host::ReadStatus::frame) {
      ending = std::string("korvane's output: ") + host::to_string(st);
      break;
    }
    auto msg = std::make_shared<std::vector<uint8_t>>(5 + f.payload.size());
    (*msg)[0] = f.type;
    put_u32(msg->data() + 1, static_cast<uint32_t>(f.payload.size()));
    std::copy(f.payload.begin(), f.payload.end(), msg->begin() + 5);
    {
      std::lock_guard lock(link->mutex);
      link->queued_bytes += msg->size();
    }
    auto tab = weak.lock();
    if (!tab) break;
    net::post(gateway->io, [tab, msg] {
      tab->out.push_back(msg);
      write_next(tab);
    });
  }
  // A closed tab is a session nobody sees: ask korvane to end it, then make sure it does.
  {
    std::lock_guard lock(link->mutex);
    link->closing = true;
    if (s.child.stdin_fd) {
      const uint8_t bye[5] = {CMD_DISCONNECT, 0, 0, 0, 0};
      host::write_all(s.child.stdin_fd.get(), bye, 100);
      host::close_stdin(s.child);
    }
  }
  auto status = host::wait_exit(s.child, 300);
  if (!status) status = host::terminate(s.child, 400);
  log_line("session " + std::to_string(id) + ": " + ending + "; korvane " + host::describe(*status));
  if (auto tab = weak.lock()) {
    net::post(gateway->io, [tab] {
      tab->korvane_done = true;
      if (tab->out.empty()) close_when_sent(tab);
    });
  }
  gateway->live_threads--;
}

std::vector<uint8_t> extension_block(const Target& target, bool h264) {
  // The page keeps its canvas, so only what changed needs to come, and deflated where that is
  // smaller: a fraction of the raw pixels for the WebSocket.
  uint32_t mask = EXT_CURSOR | EXT_RESIZE | EXT_STATUS | EXT_TEXT | EXT_CHANGED_ONLY | EXT_DEFLATE;
  std::vector<ExtensionField> fields;
  if (h264) {
    mask |= EXT_H264;
    fields.push_back({FIELD_H264_CODECS, {H264_AVC420}});
  }
  std::vector<uint8_t> timeout;
  append_u32(timeout, 30000);
  fields.push_back({FIELD_CONNECT_TIMEOUT, timeout});
  if (!target.fingerprints.empty()) {
    mask |= EXT_CERTIFICATE;
    fields.push_back({FIELD_CERT_MODE, {CERT_MODE_PINNED}});
    fields.push_back({FIELD_CERT_FINGERPRINTS,
                      std::vector<uint8_t>(target.fingerprints.begin(), target.fingerprints.end())});
  }
  if (target.keyboard_layout) {
    std::vector<uint8_t> v;
    append_u32(v, *target.keyboard_layout);
    fields.push_back({FIELD_KEYBOARD_LAYOUT, v});
  }
  return encode_extensions(mask, fields);
}

void start_tab(Gateway& g, tcp::socket&& socket, http::request<http::string_body>&& req,
               Pending&& p) {
  const Target& target = g.config.targets.at(p.target);
  host::SessionOptions o;
  o.korvane_path = g.korvane_path;
  o.request.host = target.host;
  o.request.port = target.port;
  o.request.username = p.user.empty() ? target.user : p.user;
  o.request.domain = p.user.empty() ? target.domain : p.domain;
  o.request.password = p.password.empty() ? target.password : p.password;
  o.request.width = p.width;
  o.request.height = p.height;
  o.request.flags = target.flags;
  o.request.drive = "";  // the gateway's own folders are never offered to the server
  o.extension_block = extension_block(target, p.h264);
  o.die_with_host = true;  // spawned on the io thread, which lives as long as the gateway

  auto tab = std::make_shared<Tab>(std::move(socket));
  tab->gateway = &g;
  {
    std::lock_guard lock(g.mutex);
    tab->id = g.next_session++;
  }
  std::string error;
  auto session = host::start_session(o, &error);
  if (!session) {
    log_line("session " + std::to_string(tab->id) + ": cannot start korvane: " + error);
    return;  // the socket closes with the tab; the page sees the WebSocket fail
  }
  tab->link = std::make_shared<Link>();
  tab->link->session = std::move(*session);
  {
    std::lock_guard lock(g.mutex);
    std::erase_if(g.links, [](const std::weak_ptr<Link>& l) { return l.expired(); });
    g.links.push_back(tab->link);
  }
  log_line("session " + std::to_string(tab->id) + ": target " + p.target + ", " +
           std::to_string(p.width) + "x" + std::to_string(p.height) +
           (p.h264 ? ", H.264" : ", rectangles") + ", korvane pid " +
           std::to_string(tab->link->session.child.pid));

  tab->ws.read_message_max(kMaxClipboard + 5);
  tab->ws.set_option(websocket::stream_base::timeout::suggested(beast::role_type::server));
  tab->ws.set_option(websocket::stream_base::decorator([](websocket::response_type& res) {
    res.set(http::field::sec_websocket_protocol, "korvane");
  }));
  g.live_threads++;
  std::thread(pump_korvane, &g, std::weak_ptr<Tab>(tab), tab->link, tab->id).detach();
  tab->ws.async_accept(req, [tab](beast::error_code ec) {
    if (ec) {
      end_tab(tab, "handshake failed");
      return;
    }
    read_next(tab);
  });
}

// ---- plain HTTP

std::string url_decode(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '+') out += ' ';
    else if (s[i] == '%' && i + 2 < s.size()) {
      out += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else out += s[i];
  }
  return out;
}

std::map<std::string, std::string> parse_form(const std::string& body) {
  std::map<std::string, std::string> out;
  std::istringstream in(body);
  std::string pair;
  while (std::getline(in, pair, '&')) {
    const auto eq = pair.find('=');
    if (eq == std::string::npos) continue;
    try {
      out[url_decode(pair.substr(0, eq))] = url_decode(pair.substr(eq + 1));
    } catch (const std::exception&) {
      // A malformed escape: the field is left out.
    }
  }
  return out;
}

std::string json_string(const std::string& s) {
  std::string out = "\"";
  for (const char c : s) {
    if (c == '"' || c == '\\') out += '\\', out += c;
    else if (static_cast<unsigned char>(c) < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else out += c;
  }
  return out + "\"";
}

using Response = http::response<http::string_body>;

Response make_response(const http::request<http::string_body>& req, http::status status,
                       std::string body, const std::string& type) {
  Response res{status, req.version()};
  res.set(http::field::server, "korvane-web");
  res.set(http::field::content_type, type);
  res.set(http::field::cache_control, "no-store");
  res.set("X-Content-Type-Options", "nosniff");
  res.set("X-Frame-Options", "DENY");
  res.set("Referrer-Policy", "no-referrer");
  res.set("Content-Security-Policy",
          "default-src 'self'; img-src 'self' data: blob:; connect-src 'self'; "
          "frame-ancestors 'none'");
  res.keep_alive(req.keep_alive());
  res.body() = std::move(body);
  res.prepare_payload();
  return res;
}

Response refuse(const http::request<http::string_body>& req, http::status status,
                const std::string& why) {
  return make_response(req, status, why + "\n", "text/plain; charset=utf-8");
}

bool origin_ok(const Gateway& g, const http::request<http::string_body>& req) {
  const auto it = req.find(http::field::origin);
  return it != req.end() && g.origins.count(std::string(it->value())) > 0;
}

Response serve_file(const Gateway& g, const http::request<http::string_body>& req,
                    std::string name) {
  if (name.empty()) name = "index.html";
  for (const char c : name) {  // no folders, no dot-dot: only the page's own files
    const bool ok = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.';
    if (!ok || name[0] == '.') return refuse(req, http::status::not_found, "not found");
  }
  std::string type;
  if (name.ends_with(".html")) type = "text/html; charset=utf-8";
  else if (name.ends_with(".js")) type = "text/javascript; charset=utf-8";
  else if (name.ends_with(".css")) type = "text/css; charset=utf-8";
  else if (name.ends_with(".svg")) type = "image/svg+xml";
  else return refuse(req, http::status::not_found, "not found");
  std::ifstream f(g.web_root + "/" + name, std::ios::binary);
  if (!f) return refuse(req, http::status::not_found, "not found");
  std::stringstream ss;
  ss << f.rdbuf();
  return make_response(req, http::status::ok, ss.str(), type);
}

Response handle_http(Gateway& g, const http::request<http::string_body>& req) {
  std::string target(req.target());
  const auto q = target.find('?');
  const std::string path = target.substr(0, q);
  if (req.method() == http::verb::get && path == "/targets") {
    std::string body = "[";
    for (const auto& [name, t] : g.config.targets) {
      if (body.size() > 1) body += ",";
      body += "{\"name\":" + json_string(name) +
              ",\"needs_login\":" + (t.password.empty() ? "true" : "false") + "}";
    }
    return make_response(req, http::status::ok, body + "]", "application/json");
  }
  if (path == "/session") {
    if (req.method() != http::verb::post) return refuse(req, http::status::method_not_allowed, "POST only");
    if (!origin_ok(g, req)) {
      log_line("refused a session request: origin not allowed");
      return refuse(req, http::status::forbidden, "origin not allowed");
    }
    auto form = parse_form(req.body());
    const std::string name = form["target"];
    if (!valid_target_name(name) || !g.config.targets.count(name)) {
      log_line("refused a session request: no such target");
      return refuse(req, http::status::not_found, "no such target");
    }
    Pending p;
    p.target = name;
    p.user = form["user"];
    p.domain = form["domain"];
    p.password = form["password"];
    p.h264 = form["codec"] == "h264";
    try {
      p.width = static_cast<uint32_t>(std::clamp(std::stol(form["width"]), 200L, 8192L));
      p.height = static_cast<uint32_t>(std::clamp(std::stol(form["height"]), 200L, 8192L));
    } catch (const std::exception&) {
      // No usable size: the defaults; the page resizes afterwards.
    }
    p.width &= ~1u;
    p.expires = Clock::now() + kTokenLifetime;
    const std::string token = random_token();
    {
      std::lock_guard lock(g.mutex);
      for (auto it = g.pending.begin(); it != g.pending.end();) {
        it = it->second.expires < Clock::now() ? g.pending.erase(it) : std::next(it);
      }
      if (g.pending.size() >= 64) return refuse(req, http::status::too_many_requests, "busy");
      g.pending[token] = std::move(p);
    }
    return make_response(req, http::status::ok, "{\"token\":\"" + token + "\"}", "application/json");
  }
  if (req.method() != http::verb::get && req.method() != http::verb::head)
    return refuse(req, http::status::method_not_allowed, "not allowed");
  return serve_file(g, req, path.substr(1));
}

// The token comes as the WebSocket subprotocol "token.HEX" beside "korvane": never in the URL,
// so it is in no access log or browser history.
std::optional<std::string> token_of(const http::request<http::string_body>& req) {
  const auto it = req.find(http::field::sec_websocket_protocol);
  if (it == req.end()) return std::nullopt;
  std::string list(it->value());
  std::istringstream in(list);
  std::string item;
  while (std::getline(in, item, ',')) {
    const auto b = item.find_first_not_of(' ');
    if (b == std::string::npos) continue;
    item = item.substr(b);
    if (item.rfind("token.", 0) == 0) return item.substr(6);
  }
  return std::nullopt;
}

struct HttpConn {
  beast::tcp_stream stream;
  beast::flat_buffer buffer;
  std::optional<http::request_parser<http::string_body>> parser;
  explicit HttpConn(tcp::socket&& s) : stream(std::move(s)) {}
};

void read_request(Gateway& g, std::shared_ptr<HttpConn> c);

void send_response(Gateway& g, std::shared_ptr<HttpConn> c, Response res) {
  auto r = std::make_shared<Response>(std::move(res));
  http::async_write(c->stream, *r, [&g, c, r](beast::error_code ec, size_t) {
    if (ec || !r->keep_alive()) {
      beast::error_code ignored;
      c->stream.socket().shutdown(tcp::socket::shutdown_both, ignored);
      return;
    }
    read_request(g, c);
  });
}

void read_request(Gateway& g, std::shared_ptr<HttpConn> c) {
  c->parser.emplace();
  c->parser->body_limit(64 * 1024);
  c->stream.expires_after(std::chrono::seconds(30));
  http::async_read(c->stream, c->buffer, *c->parser, [&g, c](beast::error_code ec, size_t) {
    if (ec) return;
    auto req = c->parser->release();
    if (!websocket::is_upgrade(req)) {
      send_response(g, c, handle_http(g, req));
      return;
    }
    std::string path(req.target());
    if (path != "/ws") {
      send_response(g, c, refuse(req, http::status::not_found, "not found"));
      return;
    }
    if (!origin_ok(g, req)) {
      log_line("refused a WebSocket: origin not allowed");
      send_response(g, c, refuse(req, http::status::forbidden, "origin not allowed"));
      return;
    }
    const auto token = token_of(req);
    std::optional<Pending> p;
    if (token) {
      std::lock_guard lock(g.mutex);
      const auto it = g.pending.find(*token);
      if (it != g.pending.end()) {
        if (it->second.expires >= Clock::now()) p = std::move(it->second);
        g.pending.erase(it);  // a token opens one WebSocket, once
      }
    }
    if (!p) {
      log_line(std::string("refused a WebSocket: ") + (token ? "unknown token" : "no token"));
      send_response(g, c, refuse(req, http::status::forbidden, "no valid session token"));
      return;
    }
    c->stream.expires_never();
    start_tab(g, c->stream.release_socket(), std::move(req), std::move(*p));
  });
}

void accept_next(Gateway& g, tcp::acceptor& acceptor) {
  acceptor.async_accept(net::make_strand(g.io), [&g, &acceptor](beast::error_code ec, tcp::socket s) {
    if (ec) {
      if (!g.stopping) accept_next(g, acceptor);
      return;
    }
    read_request(g, std::make_shared<HttpConn>(std::move(s)));
    accept_next(g, acceptor);
  });
}

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
    if (a == "--config") config_path = v;
    else if (a == "--listen") listen = v;
    else if (a == "--port") {
      try {
        port = std::stol(v);
      } catch (const std::exception&) {
        return usage();
      }
      if (*port < 0 || *port > 65535) return usage();
    } else if (a == "--korvane") korvane = v;
    else if (a == "--web-root") web_root = v;
    else if (a == "--origin") origins.push_back(v);
    else return usage();
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
  {
    std::lock_guard lock(g.mutex);
    for (auto& weak : g.links) {
      if (auto link = weak.lock()) {
        std::lock_guard link_lock(link->mutex);
        link->closing = true;
        link->changed.notify_all();
      }
    }
  }
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

int main(int argc, char** argv) {
  return korvane::web::run(argc, argv);
}
