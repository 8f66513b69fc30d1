#include "tokens.hpp"

#include <sys/random.h>

#include <iterator>
#include <sstream>

namespace korvane::web {

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

std::optional<std::string> issue_token(Tokens& tokens, Pending p, Clock::time_point now,
                                       std::string token) {
  p.expires = now + kTokenLifetime;
  if (token.empty()) token = random_token();
  std::lock_guard lock(tokens.mutex);
  for (auto it = tokens.pending.begin(); it != tokens.pending.end();) {
    it = it->second.expires < now ? tokens.pending.erase(it) : std::next(it);
  }
  if (tokens.pending.size() >= kMaxPendingTokens) return std::nullopt;
  tokens.pending[token] = std::move(p);
  return token;
}

size_t pending_tokens(Tokens& tokens) {
  std::lock_guard lock(tokens.mutex);
  return tokens.pending.size();
}

std::optional<Pending> take_token(Tokens& tokens, const std::string& token, Clock::time_point now) {
  std::optional<Pending> p;
  std::lock_guard lock(tokens.mutex);
  const auto it = tokens.pending.find(token);
  if (it != tokens.pending.end()) {
    if (it->second.expires >= now) p = std::move(it->second);
    tokens.pending.erase(it);
  }
  return p;
}

std::optional<std::string> token_of_protocols(std::string_view protocols, std::string_view prefix) {
  std::istringstream in{std::string(protocols)};
  std::string item;
  while (std::getline(in, item, ',')) {
    const auto b = item.find_first_not_of(' ');
    if (b == std::string::npos) continue;
    item = item.substr(b);
    if (item.starts_with(prefix)) return item.substr(prefix.size());
  }
  return std::nullopt;
}

std::optional<std::string> issue_share(Shares& shares, uint64_t session, bool input, int minutes,
                                       Clock::time_point now, std::string token) {
  if (minutes < 1 || minutes > kMaxShareMinutes) return std::nullopt;
  size_t of_session = 0;
  for (auto it = shares.by_token.begin(); it != shares.by_token.end();) {
    if (!it->second.used && it->second.expires < now) {
      it = shares.by_token.erase(it);
      continue;
    }
    of_session += it->second.session == session;
    ++it;
  }
  if (of_session >= kMaxSharesPerSession) return std::nullopt;
  if (token.empty()) token = random_token();
  shares.by_token[token] = Share{session, input, now + std::chrono::minutes(minutes), false};
  return token;
}

std::optional<Share> take_share(Shares& shares, const std::string& token, Clock::time_point now) {
  const auto it = shares.by_token.find(token);
  if (it == shares.by_token.end() || it->second.used || it->second.expires < now)
    return std::nullopt;
  it->second.used = true;
  return it->second;
}

bool revoke_share(Shares& shares, uint64_t session, const std::string& token) {
  const auto it = shares.by_token.find(token);
  if (it == shares.by_token.end() || it->second.session != session) return false;
  shares.by_token.erase(it);
  return true;
}

void drop_shares(Shares& shares, uint64_t session) {
  std::erase_if(shares.by_token, [session](const auto& e) { return e.second.session == session; });
}

}  // namespace korvane::web
