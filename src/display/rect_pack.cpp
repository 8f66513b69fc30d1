#include "display/rect_pack.hpp"

#include <cstring>
#include <new>

namespace korvane {

bool rect_fits(const Rect& r, int32_t width, int32_t height) {
  if (r.x < 0 || r.y < 0 || r.w <= 0 || r.h <= 0) return false;
  return static_cast<int64_t>(r.x) + r.w <= width && static_cast<int64_t>(r.y) + r.h <= height;
}

std::array<uint8_t, kRectHeaderSize> encode_rect_header(const Rect& r) {
  std::array<uint8_t, kRectHeaderSize> out{};
  put_u32(&out[0], static_cast<uint32_t>(r.x));
  put_u32(&out[4], static_cast<uint32_t>(r.y));
  put_u32(&out[8], static_cast<uint32_t>(r.w));
  put_u32(&out[12], static_cast<uint32_t>(r.h));
  return out;
}

std::span<const uint8_t> rect_contiguous_pixels(const Rect& r, const uint8_t* frame,
                                                uint32_t stride) {
  const uint64_t row = static_cast<uint64_t>(r.w) * 4;
  if (r.h != 1 && row != stride) return {};
  const uint8_t* start =
      frame + static_cast<uint64_t>(r.y) * stride + static_cast<uint64_t>(r.x) * 4;
  return {start, static_cast<size_t>(row * static_cast<uint64_t>(r.h))};
}

bool pack_rect(const Rect& r, const uint8_t* frame, uint32_t stride, std::vector<uint8_t>& out) {
  const uint64_t row = static_cast<uint64_t>(r.w) * 4;
  try {
    out.resize(static_cast<size_t>(row * static_cast<uint64_t>(r.h)));
  } catch (const std::bad_alloc&) {
    return false;
  }
  const uint8_t* src = frame + static_cast<uint64_t>(r.y) * stride + static_cast<uint64_t>(r.x) * 4;
  uint8_t* dst = out.data();
  for (int32_t i = 0; i < r.h; ++i) {
    std::memcpy(dst, src, row);
    dst += row;
    src += stride;
  }
  return true;
}

size_t avc420_metablock_skip(std::span<const uint8_t> data) {
  if (data.size() < 4) return 0;
  const uint64_t n = get_u32(data.data());
  const uint64_t skip = 4 + 10 * n;  // cannot overflow in 64 bits
  return skip < data.size() ? static_cast<size_t>(skip) : 0;
}

}  // namespace korvane
