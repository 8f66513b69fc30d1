#include "display/surface_table.hpp"

namespace korvane {

void surface_table_map(SurfaceTable& table, uint32_t surface_id, int32_t x, int32_t y) {
  for (auto& slot : table.slots) {
    if (!slot.in_use || slot.surface_id == surface_id) {
      slot = SurfaceSlot{surface_id, x, y, 1};
      return;
    }
  }
}

std::pair<int32_t, int32_t> surface_table_origin(const SurfaceTable& table, uint32_t surface_id) {
  for (const auto& slot : table.slots) {
    if (slot.in_use && slot.surface_id == surface_id) return {slot.origin_x, slot.origin_y};
  }
  return {0, 0};
}

}  // namespace korvane
