// The audio extension's messages: the format the server chose, the blocks of sound, the volume.
// Pure code over bytes and numbers; it needs only the standard library. The block that asks for
// audio is the one of extensions.hpp (EXT_AUDIO, FIELD_AUDIO_CODECS).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "host_link/registry.hpp"

namespace korvane {

enum : uint8_t {
  AUDIO_CODEC_AAC = 0x01,
  AUDIO_CODEC_OPUS = 0x02,
  AUDIO_CODEC_MP3 = 0x04,
};
inline constexpr uint8_t kKnownAudioCodecs = AUDIO_CODEC_AAC | AUDIO_CODEC_OPUS | AUDIO_CODEC_MP3;

// Wave format tags as the sound channel carries them. The host sees one tag per codec: the first
// four; servers that name a codec otherwise are mapped by host_audio_tag.
enum : uint16_t {
  AUDIO_TAG_PCM = 0x0001,
  AUDIO_TAG_AAC = 0xA106,  // AAC as Windows (and xrdp) name it in a wave format
  AUDIO_TAG_OPUS = 0x704F,
  AUDIO_TAG_MP3 = 0x0055,        // MPEG layer 3
  AUDIO_TAG_XRDP_OPUS = 0x0069,  // xrdp's own tag for Opus
};

// EVT_AUDIO_FORMAT: a wave format as the sound channel carries it (little-endian, 18 bytes, then
// cbSize bytes of codec data), so a host can hand it to a decoder as it is.
inline constexpr size_t kAudioFormatHeaderSize = 18;
struct AudioFormat {
  uint16_t tag = 0;
  uint16_t channels = 0;
  uint32_t samples_per_sec = 0;
  uint32_t avg_bytes_per_sec = 0;
  uint16_t block_align = 0;
  uint16_t bits_per_sample = 0;
  std::vector<uint8_t> codec_data;  // at most 0xFFFF bytes
  bool operator==(const AudioFormat&) const = default;
};
std::vector<uint8_t> encode_audio_format(const AudioFormat& f);
// nullopt unless cbSize matches the bytes after the header exactly.
std::optional<AudioFormat> parse_audio_format(std::span<const uint8_t> payload);

// EVT_AUDIO_DATA's header: korvane's block sequence (0, 1, 2, ... in a session: a gap would be a
// loss, which korvane never has) and the time korvane got the block, in milliseconds of its
// monotonic clock (wraps after 49 days). The bytes are the server's, unchanged.
inline constexpr size_t kAudioDataHeaderSize = 8;
struct AudioData {
  uint32_t sequence = 0;
  uint32_t time_ms = 0;
  std::span<const uint8_t> bytes;
};
std::array<uint8_t, kAudioDataHeaderSize> encode_audio_data_header(uint32_t sequence,
                                                                   uint32_t time_ms);
std::optional<AudioData> parse_audio_data(std::span<const uint8_t> payload);

std::vector<uint8_t> encode_audio_volume(uint32_t volume);
std::optional<uint32_t> parse_audio_volume(std::span<const uint8_t> payload);

// Whether korvane's sound device takes a format from the server as it is: 16-bit PCM at 44.1 or
// 48 kHz, mono or stereo, with a consistent block size; AAC, Opus or MP3 (under any tag of
// theirs) only when the host decodes them (codecs: AUDIO_CODEC_* granted).
bool audio_format_taken(const AudioFormat& f, uint8_t codecs);

// The tag the host is told for a server's: the codec's one tag, so that a host never learns
// which server named Opus how.
uint16_t host_audio_tag(uint16_t server_tag);

// The 16-bit PCM format a decoder turns `from` into: same rate and channels.
AudioFormat pcm_format_like(const AudioFormat& from);

// How long a block of `size` bytes plays, in milliseconds (0 when the format gives no rate),
// at most 10 s: the latency a device that starts playing at once reports.
uint32_t audio_block_ms(const AudioFormat& f, size_t size);

}  // namespace korvane
