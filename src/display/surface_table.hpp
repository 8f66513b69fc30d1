// Where each graphics-pipeline surface sits on the desktop.
#pragma once

#include <array>
#include <cstdint>
#include <utility>

namespace korvane {

struct SurfaceSlot {
  uint32_t surface_id = 0;
  int32_t origin_x = 0;
  int32_t origin_y = 0;
  uint32_t in_use = 0;
};

// Slots are never freed, so the used ones always form a prefix and a surface holds at most
// one slot. Not thread-safe: the caller holds the surface-table lock.
struct SurfaceTable {
  std::array<SurfaceSlot, 32> slots{};
};

// Records or updates a surface's origin; a 33rd distinct surface is not remembered.
void surface_table_map(SurfaceTable& table, uint32_t surface_id, int32_t x, int32_t y);
// The surface's origin, or (0, 0) for one that was never mapped.
std::pair<int32_t, int32_t> surface_table_origin(const SurfaceTable& table, uint32_t surface_id);

}  // namespace korvane
