#include "host_link/audio_wire.hpp"

#include <algorithm>

#include "host_link/protocol.hpp"

namespace korvane {

std::vector<uint8_t> encode_audio_format(const AudioFormat& f) {
  const size_t n = std::min<size_t>(f.codec_data.size(), 0xFFFF);
  std::vector<uint8_t> out;
  out.reserve(kAudioFormatHeaderSize + n);
  append_u16(out, f.tag);
  append_u16(out, f.channels);
  append_u32(out, f.samples_per_sec);
  append_u32(out, f.avg_bytes_per_sec);
  append_u16(out, f.block_align);
  append_u16(out, f.bits_per_sample);
  append_u16(out, static_cast<uint16_t>(n));
  out.insert(out.end(), f.codec_data.begin(),
             f.codec_data.begin() + static_cast<std::ptrdiff_t>(n));
  return out;
}

std::optional<AudioFormat> parse_audio_format(std::span<const uint8_t> payload) {
  if (payload.size() < kAudioFormatHeaderSize) return std::nullopt;
  const uint8_t* p = payload.data();
  AudioFormat f;
  f.tag = get_u16(p);
  f.channels = get_u16(p + 2);
  f.samples_per_sec = get_u32(p + 4);
  f.avg_bytes_per_sec = get_u32(p + 8);
  f.block_align = get_u16(p + 12);
  f.bits_per_sample = get_u16(p + 14);
  const size_t cb = get_u16(p + 16);
  if (payload.size() - kAudioFormatHeaderSize != cb) return std::nullopt;
  f.codec_data.assign(p + kAudioFormatHeaderSize, p + kAudioFormatHeaderSize + cb);
  return f;
}

std::array<uint8_t, kAudioDataHeaderSize> encode_audio_data_header(uint32_t sequence,
                                                                   uint32_t time_ms) {
  std::array<uint8_t, kAudioDataHeaderSize> out{};
  for (size_t i = 0; i < 4; ++i) {
    out[i] = static_cast<uint8_t>(sequence >> (8 * i));
    out[4 + i] = static_cast<uint8_t>(time_ms >> (8 * i));
  }
  return out;
}

std::optional<AudioData> parse_audio_data(std::span<const uint8_t> payload) {
  if (payload.size() < kAudioDataHeaderSize) return std::nullopt;
  return AudioData{get_u32(payload.data()), get_u32(payload.data() + 4),
                   payload.subspan(kAudioDataHeaderSize)};
}

std::vector<uint8_t> encode_audio_volume(uint32_t volume) {
  std::vector<uint8_t> out;
  append_u32(out, volume);
  return out;
}

std::optional<uint32_t> parse_audio_volume(std::span<const uint8_t> payload) {
  if (payload.size() != 4) return std::nullopt;
  return get_u32(payload.data());
}

bool audio_format_taken(const AudioFormat& f, uint8_t codecs) {
  switch (f.tag) {
    case AUDIO_TAG_PCM:
      return f.bits_per_sample == 16 && (f.channels == 1 || f.channels == 2) &&
             (f.samples_per_sec == 44100 || f.samples_per_sec == 48000) &&
             f.block_align == f.channels * 2;
    case AUDIO_TAG_AAC: return (codecs & AUDIO_CODEC_AAC) != 0 && f.channels != 0;
    case AUDIO_TAG_OPUS:
    case AUDIO_TAG_XRDP_OPUS: return (codecs & AUDIO_CODEC_OPUS) != 0 && f.channels != 0;
    case AUDIO_TAG_MP3: return (codecs & AUDIO_CODEC_MP3) != 0 && f.channels != 0;
    default: return false;
  }
}

uint16_t host_audio_tag(uint16_t server_tag) {
  return server_tag == AUDIO_TAG_XRDP_OPUS ? uint16_t{AUDIO_TAG_OPUS} : server_tag;
}

AudioFormat pcm_format_like(const AudioFormat& from) {
  AudioFormat f;
  f.tag = AUDIO_TAG_PCM;
  f.channels = from.channels;
  f.samples_per_sec = from.samples_per_sec;
  f.bits_per_sample = 16;
  f.block_align = static_cast<uint16_t>(from.channels * 2u);
  f.avg_bytes_per_sec = from.samples_per_sec * f.block_align;
  return f;
}

uint32_t audio_block_ms(const AudioFormat& f, size_t size) {
  if (f.avg_bytes_per_sec == 0) return 0;
  const uint64_t ms = uint64_t{size} * 1000 / f.avg_bytes_per_sec;
  return static_cast<uint32_t>(std::min<uint64_t>(ms, 10000));
}

}  // namespace korvane
