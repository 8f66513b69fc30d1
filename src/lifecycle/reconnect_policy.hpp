// The attempts after a dropped connection: how many, how long to wait before each, and when to
// stop trying. Pure: the caller makes the attempts and reports how each ended.
#pragma once

#include <cstdint>
#include <optional>

#include "host_link/extensions.hpp"
#include "host_link/session_extensions.hpp"

namespace korvane {

struct ReconnectAttempt {
  uint32_t number = 0;    // from 1
  uint32_t delay_ms = 0;  // to wait before it
  bool operator==(const ReconnectAttempt&) const = default;
};

struct ReconnectAttempts {
  explicit ReconnectAttempts(const ReconnectPolicy& host_policy) : policy(host_policy) {}
  // The next attempt; nullopt: give up (every attempt made, or the last failed for good).
  std::optional<ReconnectAttempt> next();
  // The attempt just made failed this way.
  void failed(const EndFacts& facts);
  // The number of the last attempt made (0: none yet).
  uint32_t made() const { return attempt; }

 private:
  ReconnectPolicy policy;
  uint32_t attempt = 0;
  bool hopeless = false;
};

}  // namespace korvane
