// The host's picture of the remote desktop: RGBA pixels that events size and paint.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace korvane::host {

struct Canvas {
  uint32_t width = 0;
  uint32_t height = 0;
  std::vector<uint8_t> rgba;  // width * height * 4, rows top to bottom
};

// Sets a new size; the picture starts over as opaque black.
void resize_canvas(Canvas& canvas, uint32_t width, uint32_t height);

// Paints an EVT_RECT payload. Returns an empty string when painted, else what is wrong with it
// (short or inconsistent payload, rectangle not inside the canvas); nothing is painted then.
std::string paint_rect(Canvas& canvas, std::span<const uint8_t> payload);

// Paints an EVT_RECT_DEFLATE payload: the rectangle must lie inside the canvas and its stream
// inflate to exactly its pixels. Same answer as paint_rect.
std::string paint_rect_deflate(Canvas& canvas, std::span<const uint8_t> payload);

// Copies width x height RGBA pixels (stride bytes per row) to (x, y), clipped to the canvas.
void blit(Canvas& canvas, int64_t x, int64_t y, uint32_t width, uint32_t height,
          const uint8_t* pixels, size_t stride);

// Whole rectangle of one colour (tests and demos).
void fill(Canvas& canvas, uint32_t x, uint32_t y, uint32_t width, uint32_t height, uint8_t r,
          uint8_t g, uint8_t b, uint8_t a = 255);

}  // namespace korvane::host
