// What the host already shows, for hosts that asked to be sent only what changed: a copy of the
// picture korvane last sent, compared tile by tile with the renderer's frame buffer. A copy, not
// a hash per tile: it is exact (no collision can leave the host with a wrong picture), and a
// row compare costs less than hashing the same bytes. Pure code over bytes.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "display/rect_pack.hpp"

namespace korvane {

// Tiles are squares of this many pixels on a grid fixed to the desktop's origin.
inline constexpr int32_t kChangedTile = 32;

struct HostPicture {
  int32_t width = 0, height = 0;
  int32_t tiles_x = 0, tiles_y = 0;
  // width x height pixels in the frame buffer's format, packed: what the host's canvas holds
  // where the tile is known.
  std::vector<uint8_t> pixels;
  // One byte per tile: 1 when the whole tile of `pixels` equals the host's canvas. A tile that
  // is not known goes out the next time the renderer paints over it, whatever it holds.
  std::vector<uint8_t> known;
};

// Forgets everything (the host starts a new canvas): the next paint of any area is sent.
// Nothing is allocated until the first compare.
void host_picture_reset(HostPicture& picture, int32_t width, int32_t height);

// The host's canvas in r now comes from elsewhere (its own H.264 decoder): every tile r touches
// is no longer known. r is clipped to the picture.
void host_picture_forget(HostPicture& picture, const Rect& r);

// Compares r of the frame buffer (width x height, `stride` bytes a row, the picture's size)
// with the copy, brings the copy up to date, and appends to `out` the areas to send: the tiles
// of r whose pixels differ or are not known, clipped to r and merged into few rectangles (runs
// of a tile row, then runs of equal span in consecutive rows). r must satisfy rect_fits.
// Returns false when the copy cannot be allocated: then r is to be sent whole and the copy is
// left unknown.
bool host_picture_changes(HostPicture& picture, const Rect& r, const uint8_t* frame,
                          uint32_t stride, std::vector<Rect>& out);

// Merges marked cells of a cols x rows grid (row-major, nonzero: marked) into rectangles in
// cell units: each row's runs, a run joined with the one above when it spans the same columns.
void merge_cells(std::span<const uint8_t> marked, int32_t cols, int32_t rows,
                 std::vector<Rect>& out);

}  // namespace korvane
