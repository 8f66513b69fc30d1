#include "lifecycle/reconnect_policy.hpp"

namespace korvane {

std::optional<ReconnectAttempt> ReconnectAttempts::next() {
  if (hopeless || attempt >= policy.max_attempts) return std::nullopt;
  ++attempt;
  return ReconnectAttempt{attempt, reconnect_delay_ms(policy, attempt)};
}

void ReconnectAttempts::failed(const EndFacts& facts) {
  hopeless = hopeless || reconnect_hopeless(facts);
}

}  // namespace korvane
