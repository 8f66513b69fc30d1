// Rebuilding full-colour pictures from the two 4:2:0 views of an AVC444 stream, and the colour
// conversion RDP's H.264 codecs use. Pure code over planes; no decoder here.
#pragma once

#include <cstdint>
#include <vector>

namespace korvane::host {

// A decoded view: luma of width x height, chroma planes of chroma_width() x chroma_height(),
// each plane tightly packed (stride = its width).
struct Yuv420Picture {
  uint32_t width = 0;
  uint32_t height = 0;
  std::vector<uint8_t> y, u, v;

  uint32_t chroma_width() const { return (width + 1) / 2; }
  uint32_t chroma_height() const { return (height + 1) / 2; }
  // Sizes the planes (contents unspecified).
  void resize(uint32_t w, uint32_t h);
  bool valid() const;  // planes hold what the size says
};

// Full-resolution luma and chroma, each plane width x height, tightly packed.
struct Yuv444Picture {
  uint32_t width = 0;
  uint32_t height = 0;
  std::vector<uint8_t> y, u, v;
};

// Where the auxiliary view keeps the chroma samples the main view lacks; the two codec versions
// differ only in that.
enum class ChromaLayout {
  avc444,    // odd chroma rows in the aux luma, 8-row blocks of U then V; even rows' odd columns
             // in the aux chroma planes
  avc444v2,  // odd chroma columns in the aux luma, U left half and V right half; odd rows'
             // columns 0 and 2 of every 4 in the aux chroma planes, U left and V right
};

// Builds the full-colour picture of main's size. The main view gives luma and one chroma
// sample per 2x2 block (the encoders' block mean); aux (when non-null and of the main view's
// size) the other three, from which the block's top-left sample is worked back out of the
// mean. Without aux every chroma sample of the main view stands for its 2x2 block. Returns
// false (out untouched) when main is not valid.
bool combine_avc444(ChromaLayout layout, const Yuv420Picture& main, const Yuv420Picture* aux,
                    Yuv444Picture& out);

// The AVC420 case on the same terms: each chroma sample stands for its 2x2 block.
bool expand_yuv420(const Yuv420Picture& picture, Yuv444Picture& out);

// BT.709 with full-range levels, as RDP's encoders convert (the stream's VUI is not trusted).
// rgba gets width x height opaque pixels.
void yuv444_to_rgba(const Yuv444Picture& picture, std::vector<uint8_t>& rgba);

}  // namespace korvane::host
