#include "clipboard/list_throttle.hpp"

namespace korvane {

ListStep ListThrottle::host_list(Time now) {
  held = unanswered && now - sent_at < kListResponseTimeout;
  return held ? ListStep::wait : ListStep::send;
}

void ListThrottle::sent(Time now) {
  unanswered = true;
  sent_at = now;
}

ListStep ListThrottle::answered() {
  unanswered = false;
  if (!held) return ListStep::wait;
  held = false;
  return ListStep::send;
}

ListStep ListThrottle::tick(Time now) {
  if (!held || (unanswered && now - sent_at < kListResponseTimeout)) return ListStep::wait;
  held = false;
  return unanswered ? ListStep::send_late : ListStep::send;
}

std::optional<ListThrottle::Time> ListThrottle::deadline() const {
  if (!held) return std::nullopt;
  return unanswered ? sent_at + kListResponseTimeout : sent_at;
}

}  // namespace korvane
