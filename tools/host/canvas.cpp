#include "host/canvas.hpp"

#include <algorithm>
#include <cstring>

#include <zlib.h>

#include "host_link/extensions.hpp"
#include "host_link/protocol.hpp"

namespace korvane::host {

std::string paint_rect_deflate(Canvas& canvas, std::span<const uint8_t> payload) {
  const auto r = parse_rect_deflate(payload);
  if (!r)
    return "RECT_DEFLATE payload of " + std::to_string(payload.size()) + " bytes is malformed";
  const std::string where = "RECT_DEFLATE x=" + std::to_string(r->x) +
                            " y=" + std::to_string(r->y) + " w=" + std::to_string(r->w) +
                            " h=" + std::to_string(r->h);
  // Checked before inflating: the canvas bounds what a hostile stream can make the host allocate.
  if (r->x < 0 || r->y < 0 ||
      static_cast<int64_t>(r->x) + r->w > static_cast<int64_t>(canvas.width) ||
      static_cast<int64_t>(r->y) + r->h > static_cast<int64_t>(canvas.height)) {
    return where + ": outside the " + std::to_string(canvas.width) + "x" +
           std::to_string(canvas.height) + " canvas";
  }
  const size_t expected = static_cast<size_t>(r->w) * static_cast<size_t>(r->h) * 4;
  std::vector<uint8_t> pixels(expected);
  uLongf size = static_cast<uLongf>(expected);
  const int z =
      uncompress(pixels.data(), &size, r->stream.data(), static_cast<uLong>(r->stream.size()));
  if (z != Z_OK || size != expected)
    return where + ": the stream does not inflate to " + std::to_string(expected) +
           " bytes (zlib " + std::to_string(z) + ", " + std::to_string(size) + " bytes)";
  blit(canvas, r->x, r->y, static_cast<uint32_t>(r->w), static_cast<uint32_t>(r->h), pixels.data(),
       static_cast<size_t>(r->w) * 4);
  return {};
}

void resize_canvas(Canvas& canvas, uint32_t width, uint32_t height) {
  canvas.width = width;
  canvas.height = height;
  canvas.rgba.assign(static_cast<size_t>(width) * height * 4, 0);
  for (size_t i = 3; i < canvas.rgba.size(); i += 4) canvas.rgba[i] = 255;
}

std::string paint_rect(Canvas& canvas, std::span<const uint8_t> payload) {
  const auto rect = parse_rect(payload);
  if (!rect) {
    return "RECT payload of " + std::to_string(payload.size()) +
           " bytes is shorter than its header";
  }
  const auto [x, y, w, h, pixels] = *rect;
  const std::string where = "RECT x=" + std::to_string(x) + " y=" + std::to_string(y) +
                            " w=" + std::to_string(w) + " h=" + std::to_string(h);
  if (w < 0 || h < 0) return where + ": negative size";
  const uint64_t pixel_bytes = static_cast<uint64_t>(w) * static_cast<uint64_t>(h) * 4;
  if (pixels.size() != pixel_bytes) {
    return where + ": payload carries " + std::to_string(pixels.size()) +
           " pixel bytes, expected " + std::to_string(pixel_bytes);
  }
  if (x < 0 || y < 0 || static_cast<int64_t>(x) + w > static_cast<int64_t>(canvas.width) ||
      static_cast<int64_t>(y) + h > static_cast<int64_t>(canvas.height)) {
    return where + ": outside the " + std::to_string(canvas.width) + "x" +
           std::to_string(canvas.height) + " canvas";
  }
  blit(canvas, x, y, static_cast<uint32_t>(w), static_cast<uint32_t>(h), pixels.data(),
       static_cast<size_t>(w) * 4);
  return {};
}

void blit(Canvas& canvas, int64_t x, int64_t y, uint32_t width, uint32_t height,
          const uint8_t* pixels, size_t stride) {
  const int64_t x0 = std::max<int64_t>(x, 0);
  const int64_t y0 = std::max<int64_t>(y, 0);
  const int64_t x1 = std::min<int64_t>(x + width, canvas.width);
  const int64_t y1 = std::min<int64_t>(y + height, canvas.height);
  if (x0 >= x1 || y0 >= y1) return;
  const size_t row_bytes = static_cast<size_t>(x1 - x0) * 4;
  for (int64_t row = y0; row < y1; ++row) {
    const uint8_t* src =
        pixels + static_cast<size_t>(row - y) * stride + static_cast<size_t>(x0 - x) * 4;
    uint8_t* dst = canvas.rgba.data() +
                   (static_cast<size_t>(row) * canvas.width + static_cast<size_t>(x0)) * 4;
    std::memcpy(dst, src, row_bytes);
  }
}

void fill(Canvas& canvas, uint32_t x, uint32_t y, uint32_t width, uint32_t height, uint8_t r,
          uint8_t g, uint8_t b, uint8_t a) {
  const auto x1 = static_cast<uint32_t>(std::min<uint64_t>(canvas.width, uint64_t{x} + width));
  const auto y1 = static_cast<uint32_t>(std::min<uint64_t>(canvas.height, uint64_t{y} + height));
  for (uint32_t row = y; row < y1; ++row) {
    for (uint32_t col = x; col < x1; ++col) {
      uint8_t* p = canvas.rgba.data() + (static_cast<size_t>(row) * canvas.width + col) * 4;
      p[0] = r;
      p[1] = g;
      p[2] = b;
      p[3] = a;
    }
  }
}

}  // namespace korvane::host
