#include "host/cursor.hpp"

#include <algorithm>

#include "host_link/extensions.hpp"
#include "host_link/protocol.hpp"

namespace korvane::host {

bool is_cursor_event(uint8_t type) {
  return type >= EVT_CURSOR_SHAPE && type <= EVT_CURSOR_POSITION;
}

std::string apply_cursor_event(Cursor& cursor, const Frame& frame) {
  const auto& p = frame.payload;
  switch (frame.type) {
    case EVT_CURSOR_SHAPE: {
      const auto h = parse_cursor_shape(p);
      if (!h) return "CURSOR_SHAPE: header short or pixels not matching its size";
      if (cursor.shapes.size() >= kMaxCursorShapes && !cursor.shapes.count(h->id)) {
        auto victim = cursor.shapes.begin();
        if (cursor.mode == Cursor::Mode::shape && victim->first == cursor.current) ++victim;
        cursor.shapes.erase(victim);
      }
      CursorShape& s = cursor.shapes[h->id];
      s.hotspot_x = h->hotspot_x;
      s.hotspot_y = h->hotspot_y;
      s.width = h->width;
      s.height = h->height;
      s.rgba.assign(p.begin() + static_cast<std::ptrdiff_t>(kCursorShapeHeaderSize), p.end());
      break;
    }
    case EVT_CURSOR_USE: {
      const auto use = parse_cursor_use(p);
      if (!use) return "CURSOR_USE: payload shorter than 4 bytes";
      const uint32_t id = *use;
      if (!cursor.shapes.count(id)) return "CURSOR_USE of unknown shape " + std::to_string(id);
      cursor.mode = Cursor::Mode::shape;
      cursor.current = id;
      break;
    }
    case EVT_CURSOR_HIDDEN: cursor.mode = Cursor::Mode::hidden; break;
    case EVT_CURSOR_DEFAULT: cursor.mode = Cursor::Mode::system_default; break;
    case EVT_CURSOR_POSITION: {
      const auto at = parse_cursor_position(p);
      if (!at) return "CURSOR_POSITION: payload shorter than 8 bytes";
      note_pointer(cursor, at->x, at->y);
      break;
    }
    default: return "not a cursor event";
  }
  cursor.events++;
  return {};
}

void note_pointer(Cursor& cursor, uint32_t x, uint32_t y) {
  cursor.x = x;
  cursor.y = y;
}

const CursorShape* visible_shape(const Cursor& cursor) {
  if (cursor.mode != Cursor::Mode::shape || !cursor.x || !cursor.y) return nullptr;
  const auto it = cursor.shapes.find(cursor.current);
  return it == cursor.shapes.end() ? nullptr : &it->second;
}

bool draw_cursor(const Cursor& cursor, Canvas& canvas) {
  const CursorShape* s = visible_shape(cursor);
  if (!s) return false;
  const int64_t x = int64_t{*cursor.x} - s->hotspot_x;
  const int64_t y = int64_t{*cursor.y} - s->hotspot_y;
  const int64_t x0 = std::max<int64_t>(x, 0), y0 = std::max<int64_t>(y, 0);
  const int64_t x1 = std::min<int64_t>(x + s->width, canvas.width);
  const int64_t y1 = std::min<int64_t>(y + s->height, canvas.height);
  if (x0 >= x1 || y0 >= y1) return false;
  for (int64_t row = y0; row < y1; ++row) {
    for (int64_t col = x0; col < x1; ++col) {
      const uint8_t* src =
          s->rgba.data() +
          (static_cast<size_t>(row - y) * s->width + static_cast<size_t>(col - x)) * 4;
      uint8_t* dst = canvas.rgba.data() +
                     (static_cast<size_t>(row) * canvas.width + static_cast<size_t>(col)) * 4;
      const uint32_t a = src[3];
      for (int c = 0; c < 3; ++c) {
        dst[c] = static_cast<uint8_t>((src[c] * a + dst[c] * (255 - a) + 127) / 255);
      }
    }
  }
  return true;
}

}  // namespace korvane::host
