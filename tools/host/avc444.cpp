#include "host/avc444.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace korvane::host {

void Yuv420Picture::resize(uint32_t w, uint32_t h) {
  width = w;
  height = h;
  y.resize(size_t{w} * h);
  u.resize(size_t{chroma_width()} * chroma_height());
  v.resize(u.size());
}

bool Yuv420Picture::valid() const {
  const size_t chroma = size_t{chroma_width()} * chroma_height();
  return width > 0 && height > 0 && y.size() == size_t{width} * height && u.size() == chroma &&
         v.size() == chroma;
}

namespace {

void resize_444(Yuv444Picture& out, uint32_t w, uint32_t h) {
  out.width = w;
  out.height = h;
  const size_t n = size_t{w} * h;
  out.y.resize(n);
  out.u.resize(n);
  out.v.resize(n);
}

// Luma as it is, and each chroma sample over its 2x2 block (clipped at odd edges).
void spread_main(const Yuv420Picture& main, Yuv444Picture& out) {
  resize_444(out, main.width, main.height);
  std::memcpy(out.y.data(), main.y.data(), main.y.size());
  const uint32_t w = main.width, h = main.height, cw = main.chroma_width();
  for (uint32_t row = 0; row < h; ++row) {
    const uint8_t* su = main.u.data() + size_t{row / 2} * cw;
    const uint8_t* sv = main.v.data() + size_t{row / 2} * cw;
    uint8_t* du = out.u.data() + size_t{row} * w;
    uint8_t* dv = out.v.data() + size_t{row} * w;
    for (uint32_t col = 0; col < w; ++col) {
      du[col] = su[col / 2];
      dv[col] = sv[col / 2];
    }
  }
}

void place_v1(const Yuv420Picture& aux, Yuv444Picture& out) {
  const uint32_t w = out.width, h = out.height, cw = aux.chroma_width();
  // Odd rows of U and V, whole: U's k-th odd row sits in aux luma row 16*(k/8) + k%8, V's
  // eight rows further down. A short aux picture lacks the last block's rows; those rows keep
  // the main view's chroma.
  for (uint32_t k = 0; 2 * k + 1 < h; ++k) {
    const uint32_t u_row = k / 8 * 16 + k % 8;
    const uint32_t v_row = u_row + 8;
    const size_t dst = size_t{2 * k + 1} * w;
    if (u_row < aux.height) std::memcpy(out.u.data() + dst, aux.y.data() + size_t{u_row} * w, w);
    if (v_row < aux.height) std::memcpy(out.v.data() + dst, aux.y.data() + size_t{v_row} * w, w);
  }
  // Odd columns of even rows, from the aux chroma planes.
  for (uint32_t r = 0; 2 * r < h; ++r) {
    const uint8_t* su = aux.u.data() + size_t{r} * cw;
    const uint8_t* sv = aux.v.data() + size_t{r} * cw;
    uint8_t* du = out.u.data() + size_t{2 * r} * w;
    uint8_t* dv = out.v.data() + size_t{2 * r} * w;
    for (uint32_t x = 0; 2 * x + 1 < w; ++x) {
      du[2 * x + 1] = su[x];
      dv[2 * x + 1] = sv[x];
    }
  }
}

void place_v2(const Yuv420Picture& aux, Yuv444Picture& out) {
  const uint32_t w = out.width, h = out.height, cw = aux.chroma_width();
  // The right halves start at half the picture's width, as the encoder lays them out.
  const uint32_t half = aux.width / 2;
  const uint32_t quarter = aux.width / 4;
  // Odd columns of every row: U from the aux luma's left half, V from its right half.
  for (uint32_t row = 0; row < h; ++row) {
    const uint8_t* s = aux.y.data() + size_t{row} * w;
    uint8_t* du = out.u.data() + size_t{row} * w;
    uint8_t* dv = out.v.data() + size_t{row} * w;
    for (uint32_t x = 0; 2 * x + 1 < w && half + x < w; ++x) {
      du[2 * x + 1] = s[x];
      dv[2 * x + 1] = s[half + x];
    }
  }
  // Even columns of odd rows: columns 4x from the aux U plane, 4x+2 from the aux V plane,
  // U on the left and V on the right of each.
  for (uint32_t r = 0; 2 * r + 1 < h; ++r) {
    const uint8_t* su = aux.u.data() + size_t{r} * cw;
    const uint8_t* sv = aux.v.data() + size_t{r} * cw;
    uint8_t* du = out.u.data() + size_t{2 * r + 1} * w;
    uint8_t* dv = out.v.data() + size_t{2 * r + 1} * w;
    for (uint32_t x = 0; 4 * x < w && quarter + x < cw; ++x) {
      du[4 * x] = su[x];
      dv[4 * x] = su[quarter + x];
      if (4 * x + 2 < w) {
        du[4 * x + 2] = sv[x];
        dv[4 * x + 2] = sv[quarter + x];
      }
    }
  }
}

uint8_t clamp_byte(int32_t v) { return static_cast<uint8_t>(std::clamp(v, 0, 255)); }

// Encoders put the mean of each 2x2 chroma block in the main view, not its top-left sample.
// With the other three samples known, the top-left one is four times the mean less their sum;
// that is taken only when it differs clearly from the mean, since coding noise in the mean is
// multiplied by four (the threshold is the one RDP clients use, so pictures match theirs).
void restore_block_corners(std::vector<uint8_t>& plane, uint32_t w, uint32_t h) {
  constexpr int32_t kThreshold = 30;
  for (uint32_t y = 0; y + 1 < h; y += 2) {
    uint8_t* top = plane.data() + size_t{y} * w;
    const uint8_t* below = top + w;
    for (uint32_t x = 0; x + 1 < w; x += 2) {
      const int32_t mean = top[x];
      const int32_t corner = clamp_byte(4 * mean - top[x + 1] - below[x] - below[x + 1]);
      if (std::abs(corner - mean) >= kThreshold) top[x] = static_cast<uint8_t>(corner);
    }
  }
}

}  // namespace

bool expand_yuv420(const Yuv420Picture& picture, Yuv444Picture& out) {
  if (!picture.valid()) return false;
  spread_main(picture, out);
  return true;
}

bool combine_avc444(ChromaLayout layout, const Yuv420Picture& main, const Yuv420Picture* aux,
                    Yuv444Picture& out) {
  if (!main.valid()) return false;
  spread_main(main, out);
  if (!aux || !aux->valid() || aux->width != main.width || aux->height != main.height) return true;
  if (layout == ChromaLayout::avc444) {
    place_v1(*aux, out);
  } else {
    place_v2(*aux, out);
  }
  restore_block_corners(out.u, out.width, out.height);
  restore_block_corners(out.v, out.width, out.height);
  return true;
}

void yuv444_to_rgba(const Yuv444Picture& picture, std::vector<uint8_t>& rgba) {
  const size_t n = size_t{picture.width} * picture.height;
  rgba.resize(n * 4);
  // BT.709 (Kr 0.2126, Kb 0.0722) in 16.16 fixed point, rounded.
  constexpr int32_t kRv = 103206;  // 1.5748
  constexpr int32_t kGu = 12276;   // 0.18732
  constexpr int32_t kGv = 30679;   // 0.46812
  constexpr int32_t kBu = 121609;  // 1.8556
  constexpr int32_t kHalf = 1 << 15;
  for (size_t i = 0; i < n; ++i) {
    const int32_t y = int32_t{picture.y[i]} << 16;
    const int32_t d = int32_t{picture.u[i]} - 128;
    const int32_t e = int32_t{picture.v[i]} - 128;
    uint8_t* o = rgba.data() + i * 4;
    o[0] = clamp_byte((y + kRv * e + kHalf) >> 16);
    o[1] = clamp_byte((y - kGu * d - kGv * e + kHalf) >> 16);
    o[2] = clamp_byte((y + kBu * d + kHalf) >> 16);
    o[3] = 255;
  }
}

}  // namespace korvane::host
