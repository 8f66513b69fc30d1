// Cutting a rectangle out of the renderer's frame buffer into an EVT_RECT payload.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "host_link/protocol.hpp"

namespace korvane {

struct Rect {
  int32_t x = 0, y = 0, w = 0, h = 0;
};

// True when the rectangle is non-empty, has no negative origin and lies wholly inside a
// width x height buffer. Rectangles that stick out are refused, not clipped.
bool rect_fits(const Rect& r, int32_t width, int32_t height);

// x, y, w, h as the payload of EVT_RECT begins.
std::array<uint8_t, kRectHeaderSize> encode_rect_header(const Rect& r);

// The renderer draws in the library's native order (blue, green, red, then a byte it may leave
// at anything: some servers send it zero). The host gets red, green, blue and alpha, opaque:
// a remote desktop has no transparency.
void bgrx_to_rgba(const uint8_t* src, uint8_t* dst, size_t pixels);

// Rows [first, first + count) of the rectangle, as RGBA, packed at `out` (count * w * 4 bytes).
// The rectangle must satisfy rect_fits for a buffer of `stride` bytes a row.
void pack_rect_rows(const Rect& r, const uint8_t* frame, uint32_t stride, int32_t first,
                    int32_t count, uint8_t* out);

// How many leading bytes of AVC420 data are its region metablock (a u32 count n, n 8-byte
// rectangles, n 2-byte quality pairs). 0 when the data would be left empty or is too short:
// then the data goes to the host as it is.
size_t avc420_metablock_skip(std::span<const uint8_t> data);

}  // namespace korvane
