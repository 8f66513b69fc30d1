#include "display/rect_pack.hpp"

#include <bit>
#include <cstring>

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

void bgrx_to_rgba(const uint8_t* src, uint8_t* dst, size_t pixels) {
  // Whole words, so that the compiler turns the loop into vector shifts and masks.
  for (size_t i = 0; i < pixels; ++i) {
    uint32_t p;
    std::memcpy(&p, src + i * 4, 4);
    uint32_t q;
    if constexpr (std::endian::native == std::endian::little)
      q = ((p >> 16) & 0xFFu) | (p & 0xFF00u) | ((p & 0xFFu) << 16) | 0xFF000000u;
    else
      q = ((p >> 16) & 0xFF00u) | (p & 0xFF0000u) | ((p & 0xFF00u) << 16) | 0xFFu;
    std::memcpy(dst + i * 4, &q, 4);
  }
}

void pack_rect_rows(const Rect& r, const uint8_t* frame, uint32_t stride, int32_t first,
                    int32_t count, uint8_t* out) {
  const size_t row = static_cast<size_t>(r.w) * 4;
  const uint8_t* src = frame +
                       (static_cast<uint64_t>(r.y) + static_cast<uint64_t>(first)) * stride +
                       static_cast<uint64_t>(r.x) * 4;
  for (int32_t i = 0; i < count; ++i, src += stride, out += row)
    bgrx_to_rgba(src, out, static_cast<size_t>(r.w));
}

size_t avc420_metablock_skip(std::span<const uint8_t> data) {
  if (data.size() < 4) return 0;
  const uint64_t n = get_u32(data.data());
  const uint64_t skip = 4 + 10 * n;  // cannot overflow in 64 bits
  return skip < data.size() ? static_cast<size_t>(skip) : 0;
}

}  // namespace korvane
