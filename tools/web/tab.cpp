#include "tab.hpp"

#include <unistd.h>

#include <chrono>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>

#include "host_link/protocol.hpp"
#include "policy.hpp"

namespace korvane::web {

namespace {

using Bytes = std::shared_ptr<std::vector<uint8_t>>;

struct Message {
  Bytes bytes;
  bool text = false;  // the gateway's own answer to the owner, never korvane's
};

struct Tab {
  uint64_t id = 0;  // the session's (a viewer's is its owner's)
  Gateway* gateway = nullptr;
  websocket::stream<beast::tcp_stream> ws;
  beast::flat_buffer in;
  std::deque<Message> out;  // everything below: the io thread's only
  bool writing = false;
  bool korvane_done = false;  // no more frames will come: close once the queue is sent
  bool closed = false;
  std::shared_ptr<Link> link;
  // A viewer's: joined through a share link, with or without input.
  bool viewer = false, input = false;
  std::string share;
  std::weak_ptr<Tab> owner;
  size_t queued = 0;    // bytes waiting for its socket
  bool behind = false;  // its queue was dropped: brought up to date once what is in flight went
  std::optional<net::steady_timer> expiry;
  // An owner's: its viewers, and the last frame of each kind that tells a joining viewer the
  // session's state (its grant, size, layout, sound format, pointer).
  std::vector<std::shared_ptr<Tab>> viewers;
  std::map<uint8_t, Bytes> state;
  // The picture's frames since the last H.264 key frame (none without one, or past the limit):
  // a joining viewer's decoder starts there, whether or not the server's refresh brings one.
  std::vector<Bytes> since_key;
  size_t since_key_bytes = 0;
  // An owner's, with resume_seconds: the token a reloaded page resumes with; while its page is
  // gone (detached) korvane goes on for the grace, and a resumed page's tab is its successor,
  // which holds it (the reader thread knows the first tab only).
  std::string resume;
  bool detached = false;
  std::optional<net::steady_timer> grace;
  std::shared_ptr<Tab> predecessor;
  std::weak_ptr<Tab> successor;
  explicit Tab(tcp::socket&& s) : ws(std::move(s)) {}
};

// The owner's tab now: a resumed page's, if any.
std::shared_ptr<Tab> current(std::shared_ptr<Tab> tab) {
  while (auto next = tab->successor.lock()) tab = std::move(next);
  return tab;
}

// Owners that may be resumed, by token: the io thread's only.
std::map<std::string, std::weak_ptr<Tab>> resumable;

// Owners by session, to join viewers to: the io thread's only.
std::map<uint64_t, std::weak_ptr<Tab>> owners;

void end_viewer(const std::shared_ptr<Tab>& v, const char* why) {
  if (v->closed) return;
  v->closed = true;
  if (v->expiry) v->expiry->cancel();
  log_line("session " + std::to_string(v->id) + ": a viewer left (" + why + ")");
  if (auto owner = v->owner.lock()) std::erase(owner->viewers, v);
  // One write at a time: a close waits for the write in flight, whose handler sends it.
  if (!v->writing) v->ws.async_close(websocket::close_code::normal, [v](beast::error_code) {});
}

void end_tab(const std::shared_ptr<Tab>& tab, const char* why) {
  if (tab->viewer) {
    end_viewer(tab, why);
    return;
  }
  if (!tab->closed) {
    tab->closed = true;
    log_line("session " + std::to_string(tab->id) + ": browser side ended (" + why + ")");
  }
  if (tab->detached && why != std::string_view("not resumed")) return;  // waits already
  // A page that may come back (a reload) finds its session for resume_seconds.
  const auto grace = std::chrono::seconds(tab->gateway->config.resume_seconds);
  if (!tab->resume.empty() && !tab->detached && !tab->korvane_done && grace.count() > 0 &&
      (why == std::string_view("closed") || why == std::string_view("gone"))) {
    tab->detached = true;
    size_t dropped = 0;
    while (tab->out.size() > (tab->writing ? 1u : 0u)) {
      if (!tab->out.back().text) dropped += tab->out.back().bytes->size();
      tab->out.pop_back();
    }
    {
      std::lock_guard lock(tab->link->mutex);
      tab->link->queued_bytes -= dropped;
      tab->link->changed.notify_all();
    }
    tab->grace.emplace(tab->ws.get_executor());
    tab->grace->expires_after(grace);
    tab->grace->async_wait([tab](beast::error_code ec) {
      if (ec || !tab->successor.expired()) return;
      log_line("session " + std::to_string(tab->id) + ": not resumed in time");
      tab->detached = false;
      end_tab(tab, "not resumed");
    });
    return;
  }
  resumable.erase(tab->resume);
  // Nobody watches a session its owner left.
  for (auto viewers = tab->viewers; auto& v : viewers) end_viewer(v, "the owner left");
  drop_shares(tab->gateway->shares, tab->id);
  owners.erase(tab->id);
  std::lock_guard lock(tab->link->mutex);
  tab->link->closing = true;
  tab->link->changed.notify_all();
}

void close_when_sent(const std::shared_ptr<Tab>& tab) {
  if (tab->closed || tab->detached || tab->writing || !tab->out.empty() || !tab->korvane_done)
    return;
  tab->closed = true;
  tab->ws.async_close(websocket::close_code::normal, [tab](beast::error_code) {});
}

void resync(const std::shared_ptr<Tab>& v, const std::shared_ptr<Tab>& owner);

void write_next(const std::shared_ptr<Tab>& tab) {
  if (tab->writing || tab->closed) return;
  if (tab->out.empty()) {
    close_when_sent(tab);
    return;
  }
  tab->writing = true;
  const Message msg = tab->out.front();
  tab->ws.binary(!msg.text);
  tab->ws.async_write(net::buffer(*msg.bytes), [tab, msg](beast::error_code ec, size_t) {
    tab->writing = false;
    tab->out.pop_front();
    if (tab->viewer) {
      tab->queued -= msg.bytes->size();
      if (tab->closed) {
        tab->ws.async_close(websocket::close_code::normal, [tab](beast::error_code) {});
        return;
      }
      // Caught up after falling behind: brought up to date now, not at the owner's next frame
      // (which may be long in coming).
      if (tab->behind && tab->out.empty() && !ec)
        if (const auto owner = tab->owner.lock()) resync(tab, owner);
    } else if (!msg.text) {
      std::lock_guard lock(tab->link->mutex);
      tab->link->queued_bytes -= msg.bytes->size();
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

// A command for korvane, as it came: false when korvane stopped taking them.
bool to_korvane(const std::shared_ptr<Tab>& tab, std::span<const uint8_t> message) {
  std::lock_guard lock(tab->link->mutex);
  if (tab->link->closing || !tab->link->session.child.stdin_fd) return true;
  // korvane reads its commands promptly; one that stops reading for a second is stuck.
  return host::write_all(tab->link->session.child.stdin_fd.get(), message, 1000);
}

void send_text(const std::shared_ptr<Tab>& tab, const std::string& text) {
  tab->out.push_back({std::make_shared<std::vector<uint8_t>>(text.begin(), text.end()), true});
  write_next(tab);
}

void queue_for_viewer(const std::shared_ptr<Tab>& v, const Bytes& msg) {
  v->queued += msg->size();
  v->out.push_back({msg, false});
}

// Brings a viewer up to date: the session's state, then the server's whole picture, which
// korvane asks for (the owner gets it too, and loses nothing by it).
// What brings a page up to date with the owner's session: the frames of its state, then the
// picture's since the last key frame.
std::vector<Bytes> catch_up(const Tab& owner) {
  std::vector<Bytes> frames;
  for (const uint8_t type : {EVT_EXTENSIONS, EVT_CONNECTED, EVT_RESIZE, EVT_MONITORS,
                             EVT_AUDIO_FORMAT, EVT_CURSOR_SHAPE, EVT_CURSOR_USE})
    if (const auto it = owner.state.find(type); it != owner.state.end())
      frames.push_back(it->second);
  frames.insert(frames.end(), owner.since_key.begin(), owner.since_key.end());
  return frames;
}

// A tab's WebSocket as the gateway accepts it: "korvane" its subprotocol, messages up to `max`.
void set_up_socket(Tab& tab, size_t max) {
  tab.ws.read_message_max(max);
  tab.ws.set_option(websocket::stream_base::timeout::suggested(beast::role_type::server));
  tab.ws.set_option(websocket::stream_base::decorator([](websocket::response_type& res) {
    res.set(http::field::sec_websocket_protocol, "korvane");
  }));
}

void resync(const std::shared_ptr<Tab>& v, const std::shared_ptr<Tab>& owner) {
  v->behind = false;
  for (const Bytes& msg : catch_up(*owner)) queue_for_viewer(v, msg);
  write_next(v);
  to_korvane(owner, encode_frame(CMD_REFRESH, {}));
}

// A frame of korvane's for a viewer; one that fell kViewerQueueLimit behind loses what waits
// and is brought up to date once what is in flight went.
void offer(const std::shared_ptr<Tab>& v, const std::shared_ptr<Tab>& owner, const Bytes& msg) {
  if (v->closed) return;
  if (v->behind) {
    if (v->writing || !v->out.empty()) return;
    resync(v, owner);
  }
  if (v->queued + msg->size() > kViewerQueueLimit) {
    while (v->out.size() > (v->writing ? 1u : 0u)) {
      v->queued -= v->out.back().bytes->size();
      v->out.pop_back();
    }
    v->behind = true;
    log_line("session " + std::to_string(v->id) + ": a viewer fell behind; it will be re-synced");
    return;
  }
  queue_for_viewer(v, msg);
  write_next(v);
}

// korvane's frame for the owner and its viewers.
void deliver(const std::shared_ptr<Tab>& first, const Bytes& msg) {
  const std::shared_ptr<Tab> tab = current(first);
  switch (const uint8_t type = (*msg)[0]) {
    case EVT_CURSOR_HIDDEN:
    case EVT_CURSOR_DEFAULT:
    case EVT_CURSOR_USE: tab->state[EVT_CURSOR_USE] = msg; break;
    case EVT_EXTENSIONS:
    case EVT_CONNECTED:
    case EVT_RESIZE:
    case EVT_MONITORS:
    case EVT_AUDIO_FORMAT:
    case EVT_CURSOR_SHAPE: tab->state[type] = msg; break;
    case EVT_H264_CODEC:
    case EVT_RECT:
    case EVT_RECT_DEFLATE: {
      const std::span<const uint8_t> payload(msg->data() + kFrameHeaderSize,
                                             msg->size() - kFrameHeaderSize);
      if (type == EVT_H264_CODEC && h264_key_frame(payload)) {
        tab->since_key.clear();
        tab->since_key_bytes = 0;
      } else if (tab->since_key.empty()) {
        break;
      }
      tab->since_key_bytes += msg->size();
      tab->since_key.push_back(msg);
      // Too long a run to send a joiner: it waits for the next key frame instead.
      if (tab->since_key_bytes > kViewerQueueLimit / 2) {
        tab->since_key.clear();
        tab->since_key_bytes = 0;
      }
      break;
    }
    default: break;
  }
  if (tab->detached) {  // nobody to send it to until the page is back
    std::lock_guard lock(tab->link->mutex);
    tab->link->queued_bytes -= msg->size();
    tab->link->changed.notify_all();
  } else {
    tab->out.push_back({msg, false});
    write_next(tab);
  }
  for (auto viewers = tab->viewers; auto& v : viewers) offer(v, tab, msg);
}

// The owner's text messages: share links made and revoked, answered in text.
void on_share_request(const std::shared_ptr<Tab>& tab, const std::string& text) {
  const auto r = parse_share_request(text);
  Shares& shares = tab->gateway->shares;
  if (!r) {
    send_text(tab, "refused " + std::string(text.substr(0, 16)));
    return;
  }
  if (r->revoke) {
    const bool known = revoke_share(shares, tab->id, r->token);
    if (known && cluster(*tab->gateway))
      if (const auto link = check_token(tab->gateway->config.secret, "share", r->token, 0))
        on_registry_thread(*tab->gateway, [g = tab->gateway, key = share_key(link->nonce)] {
          registry_del(g->registry, key, nullptr);
        });
    for (auto viewers = tab->viewers; auto& v : viewers)
      if (v->share == r->token) end_viewer(v, "its link was revoked");
    send_text(tab, (known ? "revoked " : "refused revoke ") + r->token);
    return;
  }
  Gateway& g = *tab->gateway;
  const auto token = issue_share(shares, tab->id, r->input, r->minutes, Clock::now(),
                                 make_token(g, "share", int64_t{r->minutes} * 60));
  if (!token) {
    send_text(tab, "refused share: too many links");
    return;
  }
  // On several machines the registry lists the link, by its nonce, for its minutes.
  if (cluster(g))
    if (const auto link = check_token(g.config.secret, "share", *token, unix_now()))
      on_registry_thread(g, [&g, key = share_key(link->nonce), minutes = r->minutes] {
        registry_set(g.registry, key, g.config.node, minutes * 60, nullptr);
      });
  owners[tab->id] = tab;
  log_line("session " + std::to_string(tab->id) + ": a share link made (" +
           (r->input ? "input" : "view only") + ", " + std::to_string(r->minutes) + " min)");
  send_text(tab,
            "shared " + *token + (r->input ? " input " : " view ") + std::to_string(r->minutes));
}

// Each message from the page is one frame; only those the policy allows reach korvane, as they
// came. Anything else closes the tab.
void read_next(const std::shared_ptr<Tab>& tab) {
  tab->ws.async_read(tab->in, [tab](beast::error_code ec, size_t) {
    if (ec) {
      end_tab(tab, ec == websocket::error::closed ? "closed" : "gone");
      return;
    }
    const auto data = tab->in.cdata();
    const std::span<const uint8_t> message(static_cast<const uint8_t*>(data.data()), data.size());
    if (tab->viewer) {
      // A viewer's input goes on when its link allows it; anything else is let go silently.
      if (tab->ws.got_binary() && !message.empty() && viewer_may_send(tab->input, message[0]) &&
          page_message_verdict(true, message) == PageVerdict::allowed)
        to_korvane(tab, message);
      tab->in.consume(message.size());
      read_next(tab);
      return;
    }
    if (!tab->ws.got_binary()) {
      on_share_request(tab, std::string(message.begin(), message.end()));
      tab->in.consume(message.size());
      read_next(tab);
      return;
    }
    if (page_message_verdict(tab->ws.got_binary(), message) != PageVerdict::allowed) {
      log_line("session " + std::to_string(tab->id) + ": refused a message from the page (type " +
               std::to_string(message.empty() ? 0 : message[0]) + ", " +
               std::to_string(message.size()) + " bytes)");
      tab->in.consume(message.size());
      tab->closed = true;
      tab->ws.async_close(websocket::close_code::policy_error, [tab](beast::error_code) {});
      end_tab(tab, "refused message");
      return;
    }
    if (tab->link->recorder) {
      std::lock_guard lock(tab->link->record_mutex);
      tab->link->recorder->add(true, message[0], message.subspan(kFrameHeaderSize),
                               std::chrono::steady_clock::now());
    }
    const bool ok = to_korvane(tab, message);
    tab->in.consume(message.size());
    if (!ok) {
      end_tab(tab, "korvane stopped taking commands");
      return;
    }
    read_next(tab);
  });
}

// Reads korvane's frames and hands them to the io thread, never more than kQueueLimit ahead of
// the browser; when the tab goes, ends korvane at once.
void pump_korvane(Gateway* gateway, std::weak_ptr<Tab> weak, std::shared_ptr<Link> link,
                  uint64_t id) {
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
    if (link->recorder) {
      std::lock_guard lock(link->record_mutex);
      const auto now = std::chrono::steady_clock::now();
      if (st == host::ReadStatus::frame) link->recorder->add(false, f.type, f.payload, now);
      link->recorder->tick(now);
    }
    if (st == host::ReadStatus::timeout) continue;
    if (st != host::ReadStatus::frame) {
      ending = std::string("korvane's output: ") + host::to_string(st);
      break;
    }
    // korvane's frames cross the WebSocket unchanged, one per binary message.
    auto msg = std::make_shared<std::vector<uint8_t>>(encode_frame(f.type, f.payload));
    {
      std::lock_guard lock(link->mutex);
      link->queued_bytes += msg->size();
    }
    auto tab = weak.lock();
    if (!tab) break;
    net::post(gateway->io, [tab, msg] { deliver(tab, msg); });
  }
  // A closed tab is a session nobody sees: ask korvane to end it, then make sure it does.
  {
    std::lock_guard lock(link->mutex);
    link->closing = true;
    if (s.child.stdin_fd) {
      host::write_frame(s.child.stdin_fd.get(), CMD_DISCONNECT, {}, 100);
      host::close_stdin(s.child);
    }
  }
  registry_changed(*gateway);
  auto status = host::wait_exit(s.child, 300);
  if (!status) status = host::terminate(s.child, 400);
  log_line("session " + std::to_string(id) + ": " + ending + "; korvane " +
           host::describe(*status));
  if (link->recorder) {
    std::lock_guard lock(link->record_mutex);
    link->recorder->finish();
    log_line("session " + std::to_string(id) + ": recorded " +
             std::to_string(link->recorder->stored_bytes) + " bytes" +
             (link->recorder->error.empty() ? "" : " (" + link->recorder->error + ")"));
  }
  if (auto first = weak.lock()) {
    net::post(gateway->io, [first] {
      const auto tab = current(first);
      if (tab->grace) tab->grace->cancel();
      resumable.erase(tab->resume);
      tab->korvane_done = true;
      if (tab->out.empty()) close_when_sent(tab);
      for (auto viewers = tab->viewers; auto& v : viewers) end_viewer(v, "the session ended");
      drop_shares(tab->gateway->shares, tab->id);
      owners.erase(tab->id);
    });
  }
  gateway->live_threads--;
}

// The target's older recordings pruned, then this session's opened. A folder that cannot be
// written leaves the session unrecorded, said in the log.
void start_recording(Link& link, const Target& target, uint64_t id) {
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::create_directories(target.record_dir, ec);
  std::vector<RecordingFile> files;
  const auto now = fs::file_time_type::clock::now();
  for (const auto& e : fs::directory_iterator(target.record_dir, ec)) {
    const std::string name = e.path().filename().string();
    if (!e.is_regular_file(ec) || !is_recording_of(target.name, name)) continue;
    const auto age = std::chrono::duration_cast<std::chrono::seconds>(now - e.last_write_time(ec));
    files.push_back({name, e.file_size(ec), age.count()});
  }
  for (const auto& name : recordings_to_prune(files, target.record_max_mb, target.record_max_days))
    if (fs::remove(fs::path(target.record_dir) / name, ec))
      log_line("session " + std::to_string(id) + ": removed the old recording " + name);
  const auto unix_s = std::chrono::duration_cast<std::chrono::seconds>(
                          std::chrono::system_clock::now().time_since_epoch())
                          .count();
  const std::string path =
      (fs::path(target.record_dir) / recording_name(target.name, unix_s, id)).string();
  link.recorder.emplace();
  if (!link.recorder->open(path, target.record_what, std::chrono::steady_clock::now(),
                           static_cast<uint64_t>(unix_s) * 1000)) {
    log_line("session " + std::to_string(id) + ": not recorded: " + link.recorder->error);
    link.recorder.reset();
    return;
  }
  log_line("session " + std::to_string(id) + ": recording to " + path);
}

}  // namespace

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
  o.extension_block = gateway_extension_block(target, p.h264, p.scale, p.choices);
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
  tab->link->id = tab->id;
  tab->link->session = std::move(*session);
  tab->link->pid = tab->link->session.child.pid;
  {
    std::lock_guard lock(g.mutex);
    std::erase_if(g.links, [](const std::weak_ptr<Link>& l) { return l.expired(); });
    g.links.push_back(tab->link);
  }
  registry_changed(g);
  if (!target.record_dir.empty()) start_recording(*tab->link, target, tab->id);
  log_line("session " + std::to_string(tab->id) + ": target " + p.target + ", " +
           std::to_string(p.width) + "x" + std::to_string(p.height) +
           (p.scale ? " at " + std::to_string(*p.scale) + "%" : "") +
           (p.h264 ? ", H.264" : ", rectangles") + ", korvane pid " +
           std::to_string(tab->link->session.child.pid));

  set_up_socket(*tab, kMaxClipboard + kFrameHeaderSize);
  g.live_threads++;
  std::thread(pump_korvane, &g, std::weak_ptr<Tab>(tab), tab->link, tab->id).detach();
  tab->ws.async_accept(req, [tab](beast::error_code ec) {
    if (ec) {
      end_tab(tab, "handshake failed");
      return;
    }
    if (tab->gateway->config.resume_seconds > 0) {
      tab->resume = make_token(*tab->gateway, "resume", kResumeTokenSeconds);
      resumable[tab->resume] = tab;
      send_text(tab, "resume " + tab->resume);
    }
    read_next(tab);
  });
}

bool session_resumable(const std::string& token) {
  const auto it = resumable.find(token);
  const auto tab = it == resumable.end() ? nullptr : it->second.lock();
  return tab && tab->detached && !tab->korvane_done;
}

void resume_tab(Gateway& g, tcp::socket&& socket, http::request<http::string_body>&& req,
                const std::string& token) {
  const auto old = resumable.at(token).lock();
  auto tab = std::make_shared<Tab>(std::move(socket));
  tab->id = old->id;
  tab->gateway = &g;
  tab->link = old->link;
  tab->resume = token;
  tab->state = old->state;
  tab->since_key = old->since_key;
  tab->since_key_bytes = old->since_key_bytes;
  tab->viewers = old->viewers;
  for (auto& v : tab->viewers) v->owner = tab;
  if (owners.count(tab->id)) owners[tab->id] = tab;
  tab->predecessor = old;
  tab->detached = true;  // until its WebSocket is accepted: what comes meanwhile is not sent
  old->successor = tab;
  old->viewers.clear();
  if (old->grace) old->grace->cancel();
  resumable[token] = tab;
  set_up_socket(*tab, kMaxClipboard + kFrameHeaderSize);
  log_line("session " + std::to_string(tab->id) + ": resumed by a reloaded page");
  tab->ws.async_accept(req, [tab](beast::error_code ec) {
    tab->detached = false;
    if (ec || tab->korvane_done) {
      end_tab(tab, "gone");  // waits again for a page, unless korvane ended
      close_when_sent(tab);
      return;
    }
    // The session's state and picture as a joining viewer gets them; each counts as korvane's
    // output until sent.
    const std::vector<Bytes> first = catch_up(*tab);
    {
      std::lock_guard lock(tab->link->mutex);
      for (const Bytes& msg : first) tab->link->queued_bytes += msg->size();
    }
    for (const Bytes& msg : first) tab->out.push_back({msg, false});
    write_next(tab);
    send_text(tab, "resume " + tab->resume);
    to_korvane(tab, encode_frame(CMD_REFRESH, {}));
    read_next(tab);
  });
}

bool session_shared(uint64_t id) {
  const auto it = owners.find(id);
  const auto owner = it == owners.end() ? nullptr : it->second.lock();
  return owner && !owner->closed && !owner->korvane_done;
}

void join_tab(Gateway& g, tcp::socket&& socket, http::request<http::string_body>&& req,
              const Share& share, const std::string& token) {
  const auto owner = owners.at(share.session).lock();
  auto v = std::make_shared<Tab>(std::move(socket));
  v->id = share.session;
  v->gateway = &g;
  v->link = owner->link;
  v->viewer = true;
  v->input = share.input;
  v->share = token;
  v->owner = owner;
  set_up_socket(*v, kMaxInputPayload + kFrameHeaderSize);
  v->ws.async_accept(req, [v, expires = share.expires](beast::error_code ec) {
    const auto joined = v->owner.lock();
    if (ec || !joined || joined->closed || joined->korvane_done) {
      v->closed = true;
      return;
    }
    joined->viewers.push_back(v);
    log_line("session " + std::to_string(v->id) + ": a viewer joined (" +
             (v->input ? "input" : "view only") + ")");
    v->expiry.emplace(v->ws.get_executor());
    v->expiry->expires_at(expires);
    v->expiry->async_wait([v](beast::error_code e) {
      if (!e) end_viewer(v, "its link expired");
    });
    resync(v, joined);
    read_next(v);
  });
}

std::vector<uint64_t> live_sessions(Gateway& g) {
  std::vector<uint64_t> ids;
  std::lock_guard lock(g.mutex);
  for (auto& weak : g.links)
    if (const auto link = weak.lock()) {
      std::lock_guard link_lock(link->mutex);
      if (!link->closing) ids.push_back(link->id);
    }
  return ids;
}

namespace {
uint64_t rss_bytes(const std::string& statm) {
  std::ifstream in(statm);
  uint64_t pages = 0, resident = 0;
  in >> pages >> resident;
  return resident * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
}
}  // namespace

uint64_t node_memory_mb(Gateway& g) {
  uint64_t bytes = rss_bytes("/proc/self/statm");
  std::vector<int> pids;
  {
    std::lock_guard lock(g.mutex);
    for (auto& weak : g.links)
      if (const auto link = weak.lock()) pids.push_back(link->pid);
  }
  for (const int pid : pids) bytes += rss_bytes("/proc/" + std::to_string(pid) + "/statm");
  return bytes >> 20;
}

void close_all_links(Gateway& g) {
  std::lock_guard lock(g.mutex);
  for (auto& weak : g.links) {
    if (auto link = weak.lock()) {
      std::lock_guard link_lock(link->mutex);
      link->closing = true;
      link->changed.notify_all();
    }
  }
}

}  // namespace korvane::web
