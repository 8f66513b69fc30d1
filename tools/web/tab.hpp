// One browser tab: its WebSocket (io thread) and its korvane, whose frames a thread of the tab's
// own reads and hands to the io thread, never more than kQueueLimit ahead of the browser.
#pragma once

#include <condition_variable>
#include <mutex>

#include "gateway.hpp"
#include "host/recorder.hpp"
#include "host/session.hpp"

namespace korvane::web {

// A slow browser must not make the gateway hold a desktop's worth of frames after another: past
// this much queued for the WebSocket, korvane's output is left unread (korvane then waits).
inline constexpr size_t kQueueLimit = 8u << 20;
inline constexpr size_t kMaxFramePayload = 64u << 20;
// A viewer that falls this far behind loses its queue and is brought up to date again: it never
// holds the owner, korvane or the server back.
inline constexpr size_t kViewerQueueLimit = 8u << 20;

struct Link {       // korvane's side, shared by the io thread and the tab's reader thread
  uint64_t id = 0;  // the session's; these two are set before the link is shared
  int pid = 0;      // korvane's
  host::Session session;
  std::mutex mutex;  // guards everything below, and writes to korvane's stdin
  std::condition_variable changed;
  size_t queued_bytes = 0;
  bool closing = false;  // the tab went: end korvane
  // The session's recording, when its target asks for one: the page's commands (io thread) and
  // korvane's frames (the reader thread) go in under record_mutex, never taken with `mutex`.
  std::mutex record_mutex;
  std::optional<host::Recorder> recorder;
};

// Starts korvane for an upgraded request whose token gave p, and accepts its WebSocket. On the
// io thread.
void start_tab(Gateway& g, tcp::socket&& socket, http::request<http::string_body>&& req,
               Pending&& p);

// Whether session `id`'s owner is still there to be joined. On the io thread.
bool session_shared(uint64_t id);

// Joins a viewer, whose share link gave `share`, to its owner's session and accepts its
// WebSocket. On the io thread.
void join_tab(Gateway& g, tcp::socket&& socket, http::request<http::string_body>&& req,
              const Share& share, const std::string& token);

// The sessions whose korvane still runs. Any thread.
std::vector<uint64_t> live_sessions(Gateway& g);
// What this node's korvanes and the gateway itself hold in memory, in MiB. Any thread.
uint64_t node_memory_mb(Gateway& g);

// A page's resume token is kept while its session lives, for a reloaded page.
inline constexpr int64_t kResumeTokenSeconds = 7 * 86400;
// Whether the token's session waits for its page. On the io thread.
bool session_resumable(const std::string& token);
// Gives the session a reloaded page, whose WebSocket it accepts. On the io thread.
void resume_tab(Gateway& g, tcp::socket&& socket, http::request<http::string_body>&& req,
                const std::string& token);

// Tells every live tab's reader thread to end its korvane (after the io thread stopped).
void close_all_links(Gateway& g);

}  // namespace korvane::web
