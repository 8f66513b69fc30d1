#include "input/pending_input.hpp"

namespace korvane {

bool PendingInputQueue::offer(const PendingInput& e) {
  if (up) return true;
  if (queued.size() == kMaxPendingInput) queued.pop_front();
  queued.push_back(e);
  return false;
}

std::vector<PendingInput> PendingInputQueue::connection_up() {
  std::vector<PendingInput> out(queued.begin(), queued.end());
  queued = {};
  up = true;
  return out;
}

}  // namespace korvane
