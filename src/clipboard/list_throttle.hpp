// When the host's clipboard format lists go to the server. One list at a time is with the
// server; until the server answers it, newer host lists replace each other in one held place,
// so a burst of any length costs one list and only the newest goes out. A server that does not
// answer within kListResponseTimeout no longer holds the newest back. Pure: the caller keeps
// the held list itself, sends it when told, and passes the time.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

namespace korvane {

// How long a host format list waits behind an earlier one the server has not answered. A
// server answers at once; one that does not must not hold the host's clipboard back for ever.
inline constexpr std::chrono::milliseconds kListResponseTimeout{2000};

// wait: nothing goes now (a new list is held, replacing the one held before); send: the list
// (the new one, or the held one) goes now; send_late: the held one goes because the server did
// not answer the one before it in time.
enum class ListStep : uint8_t { wait, send, send_late };

struct ListThrottle {
  using Time = std::chrono::steady_clock::time_point;

  ListStep host_list(Time now);
  // A list went to the server (the library took it); the server's answer is awaited. An empty
  // list after the first gets no answer: the time-out lets the next one through then.
  void sent(Time now);
  ListStep answered();
  ListStep tick(Time now);
  // The channel came or went: nothing awaited, nothing held (after a reconnection the host
  // announces its clipboard again).
  void reset() { *this = ListThrottle{}; }
  // When tick() may next send; nullopt while nothing is held.
  std::optional<Time> deadline() const;

 private:
  bool unanswered = false;
  Time sent_at;
  bool held = false;
};

}  // namespace korvane
