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

// Stores p under a new token valid for kTokenLifetime from now, after dropping expired ones;
// nullopt when kMaxPendingTokens are waiting already.
std::optional<std::string> issue_token(Tokens& tokens, Pending p, Clock::time_point now);

// Takes the request of a token; an unknown or expired token gives nothing, and either way the
// token is gone: a token opens one WebSocket, once.
std::optional<Pending> take_token(Tokens& tokens, const std::string& token, Clock::time_point now);

// The token comes as the WebSocket subprotocol "token.HEX" beside "korvane": never in the URL,
// so it is in no access log or browser history. protocols: the Sec-WebSocket-Protocol value.
std::optional<std::string> token_of_protocols(std::string_view protocols);

}  // namespace korvane::web
