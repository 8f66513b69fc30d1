#include "display/changed_tiles.hpp"

#include <algorithm>
#include <cstring>
#include <new>

namespace korvane {

void host_picture_reset(HostPicture& picture, int32_t width, int32_t height) {
  picture.width = std::max(width, 0);
  picture.height = std::max(height, 0);
  picture.tiles_x = (picture.width + kChangedTile - 1) / kChangedTile;
  picture.tiles_y = (picture.height + kChangedTile - 1) / kChangedTile;
  // Kept at capacity when the size did not grow: a resize back and forth allocates nothing.
  picture.pixels.clear();
  picture.known.clear();
}

void host_picture_forget(HostPicture& picture, const Rect& r) {
  if (picture.known.empty()) return;
  const int64_t x0 = std::max<int64_t>(r.x, 0), y0 = std::max<int64_t>(r.y, 0);
  const int64_t x1 = std::min<int64_t>(static_cast<int64_t>(r.x) + r.w, picture.width);
  const int64_t y1 = std::min<int64_t>(static_cast<int64_t>(r.y) + r.h, picture.height);
  if (x0 >= x1 || y0 >= y1) return;
  for (int64_t ty = y0 / kChangedTile; ty <= (y1 - 1) / kChangedTile; ++ty)
    for (int64_t tx = x0 / kChangedTile; tx <= (x1 - 1) / kChangedTile; ++tx)
      picture.known[static_cast<size_t>(ty * picture.tiles_x + tx)] = 0;
}

void merge_cells(std::span<const uint8_t> marked, int32_t cols, int32_t rows,
                 std::vector<Rect>& out) {
  struct Open {
    int32_t a, b, top;
  };
  std::vector<Open> open, next;
  const auto close_all = [&](std::vector<Open>& list, int32_t row) {
    for (const Open& o : list) out.push_back(Rect{o.a, o.top, o.b - o.a, row - o.top});
    list.clear();
  };
  for (int32_t y = 0; y < rows; ++y) {
    const uint8_t* line = marked.data() + static_cast<size_t>(y) * cols;
    for (int32_t x = 0; x < cols;) {
      if (!line[x]) {
        ++x;
        continue;
      }
      const int32_t a = x;
      while (x < cols && line[x]) ++x;
      // Runs of a row are disjoint and ordered, so at most one open rectangle spans [a, x).
      auto same = std::find_if(open.begin(), open.end(),
                               [&](const Open& o) { return o.a == a && o.b == x; });
      if (same != open.end()) {
        next.push_back(*same);
        open.erase(same);
      } else {
        next.push_back(Open{a, x, y});
      }
    }
    close_all(open, y);
    std::swap(open, next);
  }
  close_all(open, rows);
}

bool host_picture_changes(HostPicture& picture, const Rect& r, const uint8_t* frame,
                          uint32_t stride, std::vector<Rect>& out) {
  const size_t row_bytes = static_cast<size_t>(picture.width) * 4;
  if (picture.pixels.empty()) {
    try {
      picture.pixels.resize(row_bytes * static_cast<size_t>(picture.height));
      picture.known.assign(static_cast<size_t>(picture.tiles_x) * picture.tiles_y, 0);
    } catch (const std::bad_alloc&) {
      picture.pixels.clear();
      picture.known.clear();
      out.push_back(r);
      return false;
    }
  }
  const int32_t tx0 = r.x / kChangedTile, ty0 = r.y / kChangedTile;
  const int32_t tx1 = (r.x + r.w - 1) / kChangedTile, ty1 = (r.y + r.h - 1) / kChangedTile;
  const int32_t cols = tx1 - tx0 + 1, rows = ty1 - ty0 + 1;
  std::vector<uint8_t> changed(static_cast<size_t>(cols) * rows, 0);
  const size_t span_offset = static_cast<size_t>(r.x) * 4,
               span_bytes = static_cast<size_t>(r.w) * 4;
  for (int32_t ty = ty0; ty <= ty1; ++ty) {
    const int32_t y0 = std::max(r.y, ty * kChangedTile);
    const int32_t y1 = std::min(r.y + r.h, (ty + 1) * kChangedTile);
    uint8_t* differs = &changed[static_cast<size_t>(ty - ty0) * cols];
    // Row by row across all of r at once: servers resend unchanged areas over and over, and
    // one compare of the whole row settles it for every tile it crosses. A row that differs is
    // compared again tile by tile, and copied where it differs, so each byte is read at most
    // three times.
    for (int32_t y = y0; y < y1; ++y) {
      const uint8_t* src = frame + static_cast<size_t>(y) * stride;
      uint8_t* dst = picture.pixels.data() + static_cast<size_t>(y) * row_bytes;
      if (std::memcmp(src + span_offset, dst + span_offset, span_bytes) == 0) continue;
      for (int32_t tx = tx0; tx <= tx1; ++tx) {
        const size_t x0 = static_cast<size_t>(std::max(r.x, tx * kChangedTile)) * 4;
        const size_t x1 = static_cast<size_t>(std::min(r.x + r.w, (tx + 1) * kChangedTile)) * 4;
        if (std::memcmp(src + x0, dst + x0, x1 - x0) == 0) continue;
        std::memcpy(dst + x0, src + x0, x1 - x0);
        differs[tx - tx0] = 1;
      }
    }
    for (int32_t tx = tx0; tx <= tx1; ++tx) {
      uint8_t& known = picture.known[static_cast<size_t>(ty) * picture.tiles_x + tx];
      if (known && !differs[tx - tx0]) continue;
      differs[tx - tx0] = 1;
      // A known tile stays known: outside the cell the host's canvas did not change. An
      // unknown one becomes known only when the cell is the whole tile.
      const int32_t x0 = std::max(r.x, tx * kChangedTile);
      const int32_t x1 = std::min(r.x + r.w, (tx + 1) * kChangedTile);
      const bool whole = x0 == tx * kChangedTile && y0 == ty * kChangedTile &&
                         (x1 - x0 == kChangedTile || x1 == picture.width) &&
                         (y1 - y0 == kChangedTile || y1 == picture.height);
      if (whole) known = 1;
    }
  }
  const size_t first = out.size();
  merge_cells(changed, cols, rows, out);
  for (size_t i = first; i < out.size(); ++i) {
    Rect& c = out[i];
    const int32_t x0 = std::max(r.x, (tx0 + c.x) * kChangedTile);
    const int32_t y0 = std::max(r.y, (ty0 + c.y) * kChangedTile);
    const int32_t x1 = std::min(r.x + r.w, (tx0 + c.x + c.w) * kChangedTile);
    const int32_t y1 = std::min(r.y + r.h, (ty0 + c.y + c.h) * kChangedTile);
    c = Rect{x0, y0, x1 - x0, y1 - y0};
  }
  return true;
}

}  // namespace korvane
