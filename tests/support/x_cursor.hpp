// The pointer image the X server shows, read with XFixes, so a test can compare what an RDP
// server sent for it. Kept apart from x_display so only the tests that need libXfixes link it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "x_display.hpp"

namespace korvane::test {

struct XCursorImage {
  uint32_t width = 0, height = 0;
  uint32_t hotspot_x = 0, hotspot_y = 0;
  uint64_t serial = 0;
  std::vector<uint32_t> argb;  // premultiplied 0xAARRGGBB, row by row
};

// The cursor on screen now (XFixesGetCursorImage).
std::optional<XCursorImage> x_cursor_image(const XServer& server, std::string* error = nullptr);

}  // namespace korvane::test
