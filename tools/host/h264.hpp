// Decoding of EVT_H264 payloads into the canvas (libavcodec, libswscale).
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "host/canvas.hpp"

namespace korvane::host {

// How a payload's codec data was taken apart. The frame does not say whether it carries an
// AVC420 bitstream or an AVC444 bitmap stream, so the bytes have to tell.
enum class H264Kind {
  avc420,   // plain Annex-B bitstream
  avc444,   // AVC444 stream: info word, then one or two metablock-prefixed AVC420 streams
  unknown,  // neither
};

struct H264Parts {
  H264Kind kind = H264Kind::unknown;
  std::span<const uint8_t> main;  // Annex-B data that decodes as a 4:2:0 picture (may be empty)
  std::span<const uint8_t> aux;   // AVC444 chroma stream, not decoded here (may be empty)
};

H264Parts split_h264(std::span<const uint8_t> codec_data);

struct H264Stats {
  uint64_t payloads = 0;   // EVT_H264 frames handed in
  uint64_t avc420 = 0;     // of those, plain bitstreams
  uint64_t avc444 = 0;     // of those, AVC444 streams (main view decoded)
  uint64_t undecoded = 0;  // payloads or AVC444 chroma streams that were only counted
  uint64_t pictures = 0;   // decoded pictures painted into the canvas
  uint64_t errors = 0;     // bitstreams the decoder rejected
  // EVT_H264_CODEC frames, by the codec they name; unknown ids and malformed headers are
  // counted in codec_unknown and not decoded.
  uint64_t codec_avc420 = 0;
  uint64_t codec_avc444 = 0;
  uint64_t codec_avc444v2 = 0;
  uint64_t codec_unknown = 0;
};

// Decoder contexts, one per stream; opaque so libav headers stay out of users' includes.
struct H264Streams;
void free_h264_streams(H264Streams* streams);

struct H264Decoder {
  std::unique_ptr<H264Streams, void (*)(H264Streams*)> streams{nullptr, free_h264_streams};
  H264Stats stats;
};

// Decodes one EVT_H264 payload and paints what it yields at (left, top), clipped to the
// payload's width x height and to the canvas. Returns "" or what went wrong.
std::string paint_h264(H264Decoder& decoder, Canvas& canvas, std::span<const uint8_t> payload);

// Decodes one EVT_H264_CODEC payload and paints the picture at (left, top), clipped to width x
// height and to the canvas. AVC420 is one view. For AVC444 and AVC444v2 the main and auxiliary
// views go through one decoder in the order they come (the encoders code them as one sequence
// of pictures, each view predicted from the picture before it); the last picture of each view
// is kept, so an update of one view combines with the other's previous picture. Nothing is
// painted until a main view has been decoded. Returns "" or what went wrong.
std::string paint_h264_codec(H264Decoder& decoder, Canvas& canvas,
                             std::span<const uint8_t> payload);

}  // namespace korvane::host
