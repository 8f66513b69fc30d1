// The connection's progress steps as the host sees them: each once, in order, none left out.
// Reaching a step means the ones before it happened, however briefly; a reactivation runs
// through the library's states again, unannounced. Pure: the caller holds the lock and sends.
#pragma once

#include <cstdint>
#include <vector>

namespace korvane {

struct ConnectSteps {
  // The steps to send, in order, now that `step` is reached (none when it was already).
  std::vector<uint8_t> reach(uint8_t step);
  // The last step sent (0: none yet).
  uint8_t last() const { return last_step; }

 private:
  uint8_t last_step = 0;
};

}  // namespace korvane
