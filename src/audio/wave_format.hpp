// The library's wave format and korvane's, both ways: the sound output and the microphone both
// hand formats across.
#pragma once

#include <freerdp/codec/audio.h>

#include "host_link/audio_wire.hpp"

namespace korvane {

inline AudioFormat to_format(const AUDIO_FORMAT& f) {
  AudioFormat out;
  out.tag = f.wFormatTag;
  out.channels = f.nChannels;
  out.samples_per_sec = f.nSamplesPerSec;
  out.avg_bytes_per_sec = f.nAvgBytesPerSec;
  out.block_align = f.nBlockAlign;
  out.bits_per_sample = f.wBitsPerSample;
  if (f.data && f.cbSize) out.codec_data.assign(f.data, f.data + f.cbSize);
  return out;
}

// Without codec data: `data` would point into `f`, which the caller may not keep.
inline AUDIO_FORMAT to_library_format(const AudioFormat& f) {
  AUDIO_FORMAT out{};
  out.wFormatTag = f.tag;
  out.nChannels = f.channels;
  out.nSamplesPerSec = f.samples_per_sec;
  out.nAvgBytesPerSec = f.avg_bytes_per_sec;
  out.nBlockAlign = f.block_align;
  out.wBitsPerSample = f.bits_per_sample;
  return out;
}

}  // namespace korvane
