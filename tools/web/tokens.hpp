// Session tokens: a POST /session leaves what the page asked for under a random token, and the
// page's WebSocket takes it, once, before it expires.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "policy.hpp"

namespace korvane::web {

using Clock = std::chrono::steady_clock;

inline constexpr auto kTokenLifetime = std::chrono::seconds(60);
inline constexpr size_t kMaxPendingTokens = 64;

// What a POST /session asked for, kept until its WebSocket arrives (once) or it expires.
struct Pending {
  std::string target;
  std::string user, domain, password;  // typed into the page; empty: the configuration's
  uint32_t width = 1024, height = 768;
  bool h264 = false;
  std::optional<uint32_t> scale;  // the page's device pixel ratio in percent, 100..500
  PageChoices choices;
  Clock::time_point expires;
};

struct Tokens {
  std::mutex mutex;                        // the io thread's handlers take it; nobody else
  std::map<std::string, Pending> pending;  // by token; guarded by mutex
};

// 128 random bits in hex.
std::string random_token();

// Stores p under `token` (empty: a new random one) valid for kTokenLifetime from now, after
// dropping expired ones; nullopt when kMaxPendingTokens are waiting already.
std::optional<std::string> issue_token(Tokens& tokens, Pending p, Clock::time_point now,
                                       std::string token = {});
// How many wait for their WebSocket.
size_t pending_tokens(Tokens& tokens);

// Takes the request of a token; an unknown or expired token gives nothing, and either way the
// token is gone: a token opens one WebSocket, once.
std::optional<Pending> take_token(Tokens& tokens, const std::string& token, Clock::time_point now);

// The token comes as the WebSocket subprotocol "token.HEX" beside "korvane": never in the URL,
// so it is in no access log or browser history. protocols: the Sec-WebSocket-Protocol value.
// A share link's token comes the same way as "share.HEX" (prefix "share.").
std::optional<std::string> token_of_protocols(std::string_view protocols,
                                              std::string_view prefix = "token.");

// Share links: the owner of a session lets one more person watch it, or use it too. A link
// opens one viewer, once, before it expires; the viewer is ended when the link is revoked, when
// it expires, or with the owner's session.
inline constexpr size_t kMaxSharesPerSession = 16;

struct Share {
  uint64_t session = 0;  // the owner's
  bool input = false;    // the viewer's keys and pointer reach the server
  Clock::time_point expires;
  bool used = false;
};

struct Shares {  // the io thread's only
  std::map<std::string, Share> by_token;
};

// A new link of `session` for `minutes` (1..kMaxShareMinutes), under `token` (empty: a new
// random one), after dropping expired unused ones; nullopt when the minutes are out of range or
// the session has kMaxSharesPerSession.
std::optional<std::string> issue_share(Shares& shares, uint64_t session, bool input, int minutes,
                                       Clock::time_point now, std::string token = {});
// The link's share, marked used; nullopt for an unknown, used or expired link.
std::optional<Share> take_share(Shares& shares, const std::string& token, Clock::time_point now);
// Forgets a link of `session`; whether it was one.
bool revoke_share(Shares& shares, uint64_t session, const std::string& token);
// Forgets every link of `session` (its owner is gone).
void drop_shares(Shares& shares, uint64_t session);

}  // namespace korvane::web
