// Sending only what changed: the tile compare against korvane's copy of the host's canvas, and
// the merging of changed tiles into rectangles.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "display/changed_tiles.hpp"

using namespace korvane;

namespace {

std::string show(const std::vector<Rect>& rs) {
  std::string out;
  for (const Rect& r : rs)
    out += "{" + std::to_string(r.x) + "," + std::to_string(r.y) + "," + std::to_string(r.w) + "," +
           std::to_string(r.h) + "}";
  return out;
}

// A grid drawn as text: '#' marked, '.' not, one string a row.
std::vector<uint8_t> grid(const std::vector<std::string>& rows) {
  std::vector<uint8_t> out;
  for (const auto& row : rows)
    for (char c : row) out.push_back(c == '#');
  return out;
}

struct Frame {
  int32_t width, height;
  uint32_t stride;
  std::vector<uint8_t> bytes;
  Frame(int32_t w, int32_t h, uint32_t pad = 0)
      : width(w),
        height(h),
        stride(static_cast<uint32_t>(w) * 4 + pad),
        bytes(static_cast<size_t>(stride) * h, 0) {}
  void fill(const Rect& r, uint8_t v) {
    for (int32_t y = r.y; y < r.y + r.h; ++y)
      std::memset(&bytes[static_cast<size_t>(y) * stride + static_cast<size_t>(r.x) * 4], v,
                  static_cast<size_t>(r.w) * 4);
  }
};

// What a host's canvas holds after the rectangles were painted from the frame.
void paint(std::vector<uint8_t>& canvas, const Frame& f, const std::vector<Rect>& rs) {
  for (const Rect& r : rs)
    for (int32_t y = r.y; y < r.y + r.h; ++y)
      std::memcpy(&canvas[(static_cast<size_t>(y) * f.width + r.x) * 4],
                  &f.bytes[static_cast<size_t>(y) * f.stride + static_cast<size_t>(r.x) * 4],
                  static_cast<size_t>(r.w) * 4);
}

bool canvas_equals(const std::vector<uint8_t>& canvas, const Frame& f) {
  for (int32_t y = 0; y < f.height; ++y)
    if (std::memcmp(&canvas[static_cast<size_t>(y) * f.width * 4],
                    &f.bytes[static_cast<size_t>(y) * f.stride], static_cast<size_t>(f.width) * 4))
      return false;
  return true;
}

}  // namespace

TEST(MergeCells, Table) {
  struct Case {
    const char* name;
    std::vector<std::string> rows;
    std::vector<Rect> want;
  };
  const std::vector<Case> cases = {
      {"nothing", {"...", "..."}, {}},
      {"everything is one", {"###", "###"}, {{0, 0, 3, 2}}},
      {"one cell", {"...", ".#."}, {{1, 1, 1, 1}}},
      {"a run", {".##.", "...."}, {{1, 0, 2, 1}}},
      {"two runs of a row", {"#.#"}, {{0, 0, 1, 1}, {2, 0, 1, 1}}},
      {"a column", {".#", ".#", ".#"}, {{1, 0, 1, 3}}},
      {"spans that differ stay apart", {"##.", "###"}, {{0, 0, 2, 1}, {0, 1, 3, 1}}},
      {"a gap row ends a rectangle", {"#", ".", "#"}, {{0, 0, 1, 1}, {0, 2, 1, 1}}},
      {"two columns side by side", {"#.#", "#.#"}, {{0, 0, 1, 2}, {2, 0, 1, 2}}},
      {"an L", {"#..", "#..", "###"}, {{0, 0, 1, 2}, {0, 2, 3, 1}}},
  };
  for (const Case& c : cases) {
    const auto marked = grid(c.rows);
    std::vector<Rect> got;
    merge_cells(marked, static_cast<int32_t>(c.rows[0].size()), static_cast<int32_t>(c.rows.size()),
                got);
    const auto by_pos = [](const Rect& a, const Rect& b) {
      return a.y != b.y ? a.y < b.y : a.x < b.x;
    };
    std::sort(got.begin(), got.end(), by_pos);
    std::vector<Rect> want = c.want;
    std::sort(want.begin(), want.end(), by_pos);
    EXPECT_EQ(show(got), show(want)) << c.name;
    // Every marked cell is covered exactly once, nothing else.
    std::vector<int> cover(marked.size(), 0);
    for (const Rect& r : got)
      for (int32_t y = r.y; y < r.y + r.h; ++y)
        for (int32_t x = r.x; x < r.x + r.w; ++x) ++cover[y * c.rows[0].size() + x];
    for (size_t i = 0; i < marked.size(); ++i) EXPECT_EQ(cover[i], marked[i] ? 1 : 0) << c.name;
  }
}

TEST(HostPicture, Table) {
  // Each case: a frame 100x70 (tiles of 32: 4 x 3, the last ones partial) starts all 0x11 and
  // is sent whole; then `before` changes the frame, `forget` marks an area as painted by
  // someone else, and the paint of `paint` is compared.
  struct Case {
    const char* name;
    std::vector<std::pair<Rect, uint8_t>> change;
    Rect forget;
    Rect paint;
    std::vector<Rect> want;
  };
  const std::vector<Case> cases = {
      {"unchanged pixels resent: nothing", {}, {}, {0, 0, 100, 70}, {}},
      {"one pixel: its tile, clipped to the paint",
       {{{40, 40, 1, 1}, 0x22}},
       {},
       {0, 0, 100, 70},
       {{32, 32, 32, 32}}},
      {"one pixel in a small paint: the paint's part of the tile",
       {{{40, 40, 1, 1}, 0x22}},
       {},
       {38, 38, 4, 4},
       {{38, 38, 4, 4}}},
      {"the bottom-right corner: a partial tile",
       {{{99, 69, 1, 1}, 0x22}},
       {},
       {0, 0, 100, 70},
       {{96, 64, 4, 6}}},
      {"a full-width band: one rectangle",
       {{{0, 33, 100, 2}, 0x22}},
       {},
       {0, 0, 100, 70},
       {{0, 32, 100, 32}}},
      {"two far pixels: two rectangles",
       {{{0, 0, 1, 1}, 0x22}, {{99, 69, 1, 1}, 0x22}},
       {},
       {0, 0, 100, 70},
       {{0, 0, 32, 32}, {96, 64, 4, 6}}},
      {"a change outside the paint is not looked at",
       {{{0, 0, 1, 1}, 0x22}},
       {},
       {50, 50, 10, 10},
       {}},
      {"a change to the same value is no change", {{{5, 5, 3, 3}, 0x11}}, {}, {0, 0, 100, 70}, {}},
      {"forgotten area: sent though unchanged",
       {},
       {33, 1, 2, 2},
       {0, 0, 100, 70},
       {{32, 0, 32, 32}}},
      {"forgotten across tiles", {}, {30, 30, 4, 4}, {0, 0, 100, 70}, {{0, 0, 64, 64}}},
      {"forgotten, the paint covers part of it",
       {},
       {0, 0, 32, 32},
       {10, 10, 5, 5},
       {{10, 10, 5, 5}}},
      {"forgotten outside the picture: nothing", {}, {200, 200, 10, 10}, {0, 0, 100, 70}, {}},
  };
  for (const Case& c : cases) {
    Frame f(100, 70, 12);
    f.fill({0, 0, 100, 70}, 0x11);
    HostPicture picture;
    host_picture_reset(picture, 100, 70);
    std::vector<Rect> first;
    ASSERT_TRUE(host_picture_changes(picture, {0, 0, 100, 70}, f.bytes.data(), f.stride, first));
    ASSERT_EQ(show(first), show({{0, 0, 100, 70}})) << c.name;
    std::vector<uint8_t> canvas(100 * 70 * 4, 0);
    paint(canvas, f, first);
    for (const auto& [r, v] : c.change) f.fill(r, v);
    if (c.forget.w) host_picture_forget(picture, c.forget);
    std::vector<Rect> got;
    ASSERT_TRUE(host_picture_changes(picture, c.paint, f.bytes.data(), f.stride, got));
    EXPECT_EQ(show(got), show(c.want)) << c.name;
    for (const Rect& r : got) {
      EXPECT_TRUE(rect_fits(r, 100, 70)) << c.name;
      EXPECT_TRUE(r.x >= c.paint.x && r.y >= c.paint.y && r.x + r.w <= c.paint.x + c.paint.w &&
                  r.y + r.h <= c.paint.y + c.paint.h)
          << c.name;
    }
    // Painted as sent, the canvas equals the frame wherever the paint looked.
    paint(canvas, f, got);
    if (c.paint.w == 100 && c.paint.h == 70) EXPECT_TRUE(canvas_equals(canvas, f)) << c.name;
    // And the same paint again sends nothing more, unless it left part of a forgotten tile
    // unpainted: that tile stays unknown.
    std::vector<Rect> again;
    ASSERT_TRUE(host_picture_changes(picture, c.paint, f.bytes.data(), f.stride, again));
    const bool whole_paint = c.paint.w == 100 && c.paint.h == 70;
    if (c.forget.w == 0 || whole_paint)
      EXPECT_EQ(show(again), "") << c.name;
    else
      EXPECT_EQ(show(again), show(c.want)) << c.name;
  }
}

TEST(HostPicture, UnknownUntilATileIsPaintedWhole) {
  Frame f(64, 64);
  HostPicture picture;
  host_picture_reset(picture, 64, 64);
  std::vector<Rect> got;
  // Fresh: the host's canvas is unknown, so even black pixels go out.
  ASSERT_TRUE(host_picture_changes(picture, {0, 0, 10, 10}, f.bytes.data(), f.stride, got));
  EXPECT_EQ(show(got), "{0,0,10,10}");
  // The rest of that tile was never sent: still unknown.
  got.clear();
  ASSERT_TRUE(host_picture_changes(picture, {0, 0, 32, 32}, f.bytes.data(), f.stride, got));
  EXPECT_EQ(show(got), "{0,0,32,32}");
  // Now known whole.
  got.clear();
  ASSERT_TRUE(host_picture_changes(picture, {0, 0, 32, 32}, f.bytes.data(), f.stride, got));
  EXPECT_EQ(show(got), "");
  // A reset (a new canvas) forgets it.
  host_picture_reset(picture, 64, 64);
  got.clear();
  ASSERT_TRUE(host_picture_changes(picture, {0, 0, 32, 32}, f.bytes.data(), f.stride, got));
  EXPECT_EQ(show(got), "{0,0,32,32}");
}

TEST(HostPicture, RandomPaintsKeepTheCanvasExact) {
  // Random changes and random paint areas: whatever is sent, painted on a canvas that started
  // from the first full send, gives the frame back wherever the frame was painted since.
  Frame f(203, 117, 8);
  HostPicture picture;
  host_picture_reset(picture, f.width, f.height);
  std::vector<uint8_t> canvas(static_cast<size_t>(f.width) * f.height * 4, 0);
  std::vector<Rect> sent;
  ASSERT_TRUE(
      host_picture_changes(picture, {0, 0, f.width, f.height}, f.bytes.data(), f.stride, sent));
  paint(canvas, f, sent);
  uint32_t s = 12345;
  const auto next = [&](uint32_t n) {
    s ^= s << 13;
    s ^= s >> 17;
    s ^= s << 5;
    return static_cast<int32_t>(s % n);
  };
  size_t bytes_sent = 0;
  for (int round = 0; round < 300; ++round) {
    const int32_t x = next(static_cast<uint32_t>(f.width)),
                  y = next(static_cast<uint32_t>(f.height));
    const Rect change{x, y, 1 + next(static_cast<uint32_t>(f.width - x)),
                      1 + next(static_cast<uint32_t>(std::min(f.height - y, 8)))};
    f.fill(change, static_cast<uint8_t>(next(3)));  // often the value already there
    // The renderer reports a bounding area at least as large as what it drew.
    const Rect whole{0, 0, f.width, f.height};
    sent.clear();
    ASSERT_TRUE(
        host_picture_changes(picture, round % 2 ? whole : change, f.bytes.data(), f.stride, sent));
    for (const Rect& r : sent) bytes_sent += static_cast<size_t>(r.w) * r.h * 4;
    paint(canvas, f, sent);
    ASSERT_TRUE(canvas_equals(canvas, f)) << "round " << round;
  }
  // Less than resending the whole paint every time.
  EXPECT_LT(bytes_sent, static_cast<size_t>(150) * f.width * f.height * 4);
}
