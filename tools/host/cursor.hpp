// The pointer as the cursor extension reports it: shapes kept by id, which one is in use, and
// where the pointer is, so a host can draw it over its picture of the desktop.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "host/canvas.hpp"
#include "host/frame_io.hpp"

namespace korvane::host {

struct CursorShape {
  uint32_t hotspot_x = 0, hotspot_y = 0, width = 0, height = 0;
  std::vector<uint8_t> rgba;  // width * height * 4, straight (not premultiplied) alpha
};

struct Cursor {
  enum class Mode {
    unknown,         // nothing said yet
    shape,           // `current` is in use
    hidden,          // no pointer drawn
    system_default,  // the system arrow: korvane sends no picture of it
  };
  std::map<uint32_t, CursorShape> shapes;
  Mode mode = Mode::unknown;
  uint32_t current = 0;
  std::optional<uint32_t> x, y;  // last known position: sent by the host or by the server
  uint64_t events = 0;           // cursor events applied
};

// Shapes kept at most; the server's cursor cache is smaller, so the oldest id going is harmless.
inline constexpr size_t kMaxCursorShapes = 1024;

// True for EVT_CURSOR_SHAPE .. EVT_CURSOR_POSITION.
bool is_cursor_event(uint8_t type);

// Applies one cursor event. Returns "" or what is wrong with it (nothing changes then).
std::string apply_cursor_event(Cursor& cursor, const Frame& frame);

// Where the host itself moved the pointer (a move or click it sent).
void note_pointer(Cursor& cursor, uint32_t x, uint32_t y);

// The shape in use, when there is one to draw and the position is known.
const CursorShape* visible_shape(const Cursor& cursor);

// Blends the shape in use over the canvas at the position minus its hotspot, clipped.
// Returns false when nothing was drawn.
bool draw_cursor(const Cursor& cursor, Canvas& canvas);

}  // namespace korvane::host
