#include "http.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>

#include "tab.hpp"

namespace korvane::web {

namespace {

std::string url_decode(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '+')
      out += ' ';
    else if (s[i] == '%' && i + 2 < s.size()) {
      out += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else
      out += s[i];
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
    if (c == '"' || c == '\\')
      out += '\\', out += c;
    else if (static_cast<unsigned char>(c) < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else
      out += c;
  }
  return out + "\"";
}

using Request = http::request<http::string_body>;
using Response = http::response<http::string_body>;

template <typename Res>
void set_headers(const Request& req, Res& res, const std::string& type) {
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
}

Response make_response(const Request& req, http::status status, std::string body,
                       const std::string& type) {
  Response res{status, req.version()};
  set_headers(req, res, type);
  res.body() = std::move(body);
  res.prepare_payload();
  return res;
}

Response refuse(const Request& req, http::status status, const std::string& why) {
  return make_response(req, status, why + "\n", "text/plain; charset=utf-8");
}

bool origin_ok(const Gateway& g, const Request& req) {
  const auto it = req.find(http::field::origin);
  return it != req.end() && g.origins.count(std::string(it->value())) > 0;
}

Response serve_file(const Gateway& g, const Request& req, std::string name) {
  if (name.empty()) name = "index.html";
  for (const char c : name) {  // no folders, no dot-dot: only the page's own files
    const bool ok =
        (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.';
    if (!ok || name[0] == '.') return refuse(req, http::status::not_found, "not found");
  }
  std::string type;
  if (name.ends_with(".html"))
    type = "text/html; charset=utf-8";
  else if (name.ends_with(".js"))
    type = "text/javascript; charset=utf-8";
  else if (name.ends_with(".css"))
    type = "text/css; charset=utf-8";
  else if (name.ends_with(".svg"))
    type = "image/svg+xml";
  else
    return refuse(req, http::status::not_found, "not found");
  std::ifstream f(g.web_root + "/" + name, std::ios::binary);
  if (!f) return refuse(req, http::status::not_found, "not found");
  std::stringstream ss;
  ss << f.rdbuf();
  return make_response(req, http::status::ok, ss.str(), type);
}

// Why this node takes no new session now, or nullopt. For a load balancer's checks a registry
// that is down is no reason: every node would fail alike, and the page would get the balancer's
// answer instead of the gateway's.
std::optional<std::string> node_refusal(Gateway& g, bool for_health_check = false) {
  NodeLoad load;
  load.cluster = cluster(g);
  load.registry_ok = g.registry_ok || for_health_check;
  load.draining = g.draining;
  load.sessions = static_cast<size_t>(g.live_threads.load()) + pending_tokens(g.tokens);
  load.max_sessions = g.config.max_sessions;
  load.max_memory_mb = g.config.max_memory_mb;
  if (load.max_memory_mb) load.memory_mb = node_memory_mb(g);
  return refusal(load);
}

Response new_session(Gateway& g, const Request& req) {
  if (req.method() != http::verb::post) {
    return refuse(req, http::status::method_not_allowed, "POST only");
  }
  if (!origin_ok(g, req)) {
    log_line("refused a session request: origin not allowed");
    return refuse(req, http::status::forbidden, "origin not allowed");
  }
  if (const auto why = node_refusal(g)) {
    log_line("refused a session request: " + *why);
    return refuse(req, http::status::service_unavailable,
                  "this gateway takes no new session: " + *why);
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
  p.choices = {form["sound"] == "1", page_audio_codecs(form["audio_codecs"]),
               form["microphone"] == "1", form["files"] == "1"};
  try {
    p.width = static_cast<uint32_t>(std::clamp(std::stol(form["width"]), 200L, 8192L));
    p.height = static_cast<uint32_t>(std::clamp(std::stol(form["height"]), 200L, 8192L));
  } catch (const std::exception&) {
    // No usable size: the defaults; the page resizes afterwards.
  }
  try {
    if (form.count("scale"))
      p.scale = static_cast<uint32_t>(std::clamp(std::stol(form["scale"]), 100L, 500L));
  } catch (const std::exception&) {
    // No usable scale: korvane asks for none, as for a page that sends none.
  }
  p.width &= ~1u;
  const auto token = issue_token(g.tokens, std::move(p), Clock::now(),
                                 make_token(g, "token", kTokenLifetime.count()));
  if (!token) return refuse(req, http::status::too_many_requests, "busy");
  return make_response(req, http::status::ok, "{\"token\":\"" + *token + "\"}", "application/json");
}

Response handle_http(Gateway& g, const Request& req) {
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
  if (req.method() == http::verb::get && path == "/recordings") {
    // The recordings of a target that lets the page play them, newest first.
    auto query = parse_form(q == std::string::npos ? "" : target.substr(q + 1));
    const auto it = g.config.targets.find(query["target"]);
    if (it == g.config.targets.end() || !it->second.record_playback)
      return refuse(req, http::status::not_found, "no recordings to play");
    std::vector<std::pair<std::string, uintmax_t>> files;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(it->second.record_dir, ec)) {
      const std::string name = e.path().filename().string();
      if (e.is_regular_file(ec) && is_recording_of(it->first, name))
        files.emplace_back(name, e.file_size(ec));
    }
    std::sort(files.rbegin(), files.rend());
    std::string body = "[";
    for (const auto& [name, bytes] : files) {
      if (body.size() > 1) body += ",";
      body += "{\"name\":" + json_string(name) + ",\"bytes\":" + std::to_string(bytes) + "}";
    }
    return make_response(req, http::status::ok, body + "]", "application/json");
  }
  if (path == "/session") return new_session(g, req);
  if (path == "/healthz") {
    // For a load balancer's checks: 503 sends new sessions elsewhere; running ones go on.
    const auto why = node_refusal(g, true);
    const std::string node = g.config.node.empty() ? "" : " " + g.config.node;
    return make_response(
        req, why ? http::status::service_unavailable : http::status::ok,
        (why ? *why : "ok") + node + " sessions " + std::to_string(g.live_threads.load()) + "\n",
        "text/plain; charset=utf-8");
  }
  if (req.method() != http::verb::get && req.method() != http::verb::head)
    return refuse(req, http::status::method_not_allowed, "not allowed");
  return serve_file(g, req, path.substr(1));
}

struct HttpConn {
  beast::tcp_stream stream;
  beast::flat_buffer buffer;
  std::optional<http::request_parser<http::string_body>> parser;
  explicit HttpConn(tcp::socket&& s) : stream(std::move(s)) {}
};

void read_request(Gateway& g, std::shared_ptr<HttpConn> c);

// Marks a request one node forwarded to another, naming the first.
constexpr const char* kForwardedBy = "X-Korvane-Forwarded-By";

template <typename Body>
void send(Gateway& g, std::shared_ptr<HttpConn> c, std::shared_ptr<http::response<Body>> r) {
  http::async_write(c->stream, *r, [&g, c, r](beast::error_code ec, size_t) {
    if (ec || !r->keep_alive()) {
      beast::error_code ignored;
      c->stream.socket().shutdown(tcp::socket::shutdown_both, ignored);
      return;
    }
    read_request(g, c);
  });
}

void send_response(Gateway& g, std::shared_ptr<HttpConn> c, Response res) {
  send(g, std::move(c), std::make_shared<Response>(std::move(res)));
}

// GET /recording?target=T&name=N: one recording of a target that lets the page play them,
// streamed from its file. Anything else: nullopt.
std::optional<std::string> recording_path(const Gateway& g, const Request& req) {
  const std::string target(req.target());
  if (req.method() != http::verb::get || !target.starts_with("/recording?")) return std::nullopt;
  auto query = parse_form(target.substr(target.find('?') + 1));
  const auto it = g.config.targets.find(query["target"]);
  if (it == g.config.targets.end() || !it->second.record_playback ||
      !is_recording_of(it->first, query["name"]))
    return std::nullopt;
  return (std::filesystem::path(it->second.record_dir) / query["name"]).string();
}

void send_recording(Gateway& g, std::shared_ptr<HttpConn> c, const Request& req,
                    const std::string& path) {
  http::file_body::value_type body;
  beast::error_code ec;
  body.open(path.c_str(), beast::file_mode::scan, ec);
  if (ec) {
    send_response(g, c, refuse(req, http::status::not_found, "not found"));
    return;
  }
  auto res = std::make_shared<http::response<http::file_body>>(
      std::piecewise_construct, std::make_tuple(std::move(body)),
      std::make_tuple(http::status::ok, req.version()));
  set_headers(req, *res, "application/octet-stream");
  res->prepare_payload();
  // A recording may be large: its transfer gets the time a slow link needs.
  c->stream.expires_after(std::chrono::minutes(30));
  send(g, std::move(c), std::move(res));
}

// Bytes from one socket to the other as they come, one buffer at a time (so a side that does
// not read holds the other back); when either side ends, both do.
void pipe_bytes(std::shared_ptr<beast::tcp_stream> from, std::shared_ptr<beast::tcp_stream> to,
                std::shared_ptr<std::array<char, 16384>> buffer) {
  from->async_read_some(net::buffer(*buffer), [from, to, buffer](beast::error_code ec, size_t n) {
    const auto end = [from, to] {
      beast::error_code ignored;
      from->socket().shutdown(tcp::socket::shutdown_both, ignored);
      to->socket().shutdown(tcp::socket::shutdown_both, ignored);
    };
    if (ec) return end();
    net::async_write(*to, net::buffer(buffer->data(), n),
                     [from, to, buffer, end](beast::error_code e, size_t) {
                       if (e) return end();
                       pipe_bytes(from, to, buffer);
                     });
  });
}

// The request goes on, unchanged but for a mark, to the node that holds its session; from then
// on this node passes bytes both ways. A node that cannot be reached is a refusal the page shows.
void forward(Gateway& g, std::shared_ptr<HttpConn> c, Request&& req, const Address& to,
             const std::string& node) {
  auto up = std::make_shared<beast::tcp_stream>(c->stream.get_executor());
  auto resolver = std::make_shared<tcp::resolver>(c->stream.get_executor());
  auto r = std::make_shared<Request>(std::move(req));
  r->set(kForwardedBy, g.config.node);
  const auto fail = [&g, c, r, node](const beast::error_code& ec) {
    log_line("cannot forward a WebSocket to node " + node + ": " + ec.message());
    send_response(g, c,
                  refuse(*r, http::status::bad_gateway, "the node of this session is unreachable"));
  };
  resolver->async_resolve(
      to.host, std::to_string(to.port),
      [c, up, resolver, r, fail](beast::error_code ec, tcp::resolver::results_type found) {
        if (ec) return fail(ec);
        up->expires_after(std::chrono::seconds(3));
        up->async_connect(found, [c, up, r, fail](beast::error_code e, const tcp::endpoint&) {
          if (e) return fail(e);
          http::async_write(*up, *r, [c, up, r, fail](beast::error_code e2, size_t) {
            if (e2) return fail(e2);
            up->expires_never();
            c->stream.expires_never();
            auto down = std::make_shared<beast::tcp_stream>(std::move(c->stream));
            // What the browser sent past the request (nothing, before the handshake's answer).
            auto early = std::make_shared<std::string>(beast::buffers_to_string(c->buffer.data()));
            net::async_write(*up, net::buffer(*early),
                             [down, up, early](beast::error_code e3, size_t) {
                               if (e3) return;
                               pipe_bytes(down, up, std::make_shared<std::array<char, 16384>>());
                               pipe_bytes(up, down, std::make_shared<std::array<char, 16384>>());
                             });
          });
        });
      });
}

// On several machines: whether this node answers the WebSocket. A token no node made, or one
// expired, is refused here; one another node made goes to that node, whose address the registry
// thread looks up (so a slow registry holds no socket of this thread's up).
bool answer_here(Gateway& g, const std::shared_ptr<HttpConn>& c, Request& req,
                 std::string_view offered) {
  const auto share = token_of_protocols(offered, "share.");
  const auto resume = token_of_protocols(offered, "resume.");
  const auto token = share ? share : resume ? resume : token_of_protocols(offered);
  const char* kind = share ? "share" : resume ? "resume" : "token";
  const auto made = token ? check_token(g.config.secret, kind, *token, unix_now()) : std::nullopt;
  if (!made) {
    log_line("refused a WebSocket: no token, or a forged or expired one");
    send_response(g, c, refuse(req, http::status::forbidden, "no valid session token"));
    return false;
  }
  const std::string node = made->node;
  if (node == g.config.node) return true;
  if (req.find(kForwardedBy) != req.end()) {  // never a second hop: the registry is out of step
    log_line("refused a WebSocket forwarded by another node for node " + node);
    send_response(g, c, refuse(req, http::status::misdirected_request, "forwarded twice"));
    return false;
  }
  auto r = std::make_shared<Request>(std::move(req));
  on_registry_thread(g, [&g, c, r, node] {
    std::string error;
    const auto address = registry_get(g.registry, node_key(node), &error);
    net::post(g.io, [&g, c, r, node, error, to = address ? parse_address(*address) : std::nullopt] {
      if (to) return forward(g, c, std::move(*r), *to, node);
      log_line("refused a WebSocket for node " + node + ": " +
               (error.empty() ? "the node is not in the registry" : error));
      send_response(g, c,
                    refuse(*r, http::status::service_unavailable,
                           error.empty() ? "the node of this session is gone"
                                         : "the session registry is unreachable"));
    });
  });
  return false;
}

// A WebSocket to /ws from an allowed origin, with a token still waiting, becomes a tab.
void upgrade(Gateway& g, std::shared_ptr<HttpConn> c, Request&& req) {
  if (req.target() != "/ws") {
    send_response(g, c, refuse(req, http::status::not_found, "not found"));
    return;
  }
  if (!origin_ok(g, req)) {
    log_line("refused a WebSocket: origin not allowed");
    send_response(g, c, refuse(req, http::status::forbidden, "origin not allowed"));
    return;
  }
  const auto protocols = req.find(http::field::sec_websocket_protocol);
  const std::string_view offered =
      protocols == req.end()
          ? std::string_view{}
          : std::string_view{protocols->value().data(), protocols->value().size()};
  if (cluster(g) && !answer_here(g, c, req, offered)) return;
  // A reloaded page takes its session back.
  if (const auto resume = token_of_protocols(offered, "resume.")) {
    if (!session_resumable(*resume)) {
      log_line("refused a WebSocket: no session waits for that page");
      send_response(g, c, refuse(req, http::status::forbidden, "no session to resume"));
      return;
    }
    c->stream.expires_never();
    resume_tab(g, c->stream.release_socket(), std::move(req), *resume);
    return;
  }
  // A share link's viewer joins its owner's session.
  if (const auto share_token = token_of_protocols(offered, "share.")) {
    const auto share = take_share(g.shares, *share_token, Clock::now());
    if (!share || !session_shared(share->session)) {
      log_line("refused a WebSocket: share link unknown, used, expired or its session gone");
      send_response(g, c, refuse(req, http::status::forbidden, "no valid share link"));
      return;
    }
    c->stream.expires_never();
    join_tab(g, c->stream.release_socket(), std::move(req), *share, *share_token);
    return;
  }
  const auto token = protocols == req.end() ? std::nullopt : token_of_protocols(offered);
  std::optional<Pending> p;
  if (token) p = take_token(g.tokens, *token, Clock::now());
  if (!p) {
    log_line(std::string("refused a WebSocket: ") + (token ? "unknown token" : "no token"));
    send_response(g, c, refuse(req, http::status::forbidden, "no valid session token"));
    return;
  }
  c->stream.expires_never();
  start_tab(g, c->stream.release_socket(), std::move(req), std::move(*p));
}

void read_request(Gateway& g, std::shared_ptr<HttpConn> c) {
  c->parser.emplace();
  c->parser->body_limit(64 * 1024);
  c->stream.expires_after(std::chrono::seconds(30));
  http::async_read(c->stream, c->buffer, *c->parser, [&g, c](beast::error_code ec, size_t) {
    if (ec) return;
    auto req = c->parser->release();
    if (websocket::is_upgrade(req)) {
      upgrade(g, c, std::move(req));
    } else if (const auto path = recording_path(g, req)) {
      send_recording(g, c, req, *path);
    } else {
      send_response(g, c, handle_http(g, req));
    }
  });
}

}  // namespace

void accept_next(Gateway& g, tcp::acceptor& acceptor) {
  acceptor.async_accept(net::make_strand(g.io),
                        [&g, &acceptor](beast::error_code ec, tcp::socket s) {
                          if (ec) {
                            if (!g.stopping) accept_next(g, acceptor);
                            return;
                          }
                          read_request(g, std::make_shared<HttpConn>(std::move(s)));
                          accept_next(g, acceptor);
                        });
}

}  // namespace korvane::web
