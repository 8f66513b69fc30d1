#include "lifecycle/connect_steps.hpp"

namespace korvane {

std::vector<uint8_t> ConnectSteps::reach(uint8_t step) {
  std::vector<uint8_t> out;
  for (unsigned s = last_step + 1u; s <= step; ++s) out.push_back(static_cast<uint8_t>(s));
  if (step > last_step) last_step = step;
  return out;
}

}  // namespace korvane
