// The microphone extension's messages and its pacing: which formats the host sends, the server's
// open (EVT_MIC_OPEN) and close (EVT_MIC_CLOSED), the host's blocks (CMD_AUDIO_IN), and what
// korvane does with blocks that come early, late or in another format. Pure; the standard library
// only.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "host_link/audio_wire.hpp"

namespace korvane {

// FIELD_MIC_FORMATS: what the host can send. Absent: the four PCM formats. A field naming none
// korvane knows leaves the extension ungranted.
enum : uint8_t {
  MIC_PCM_44100_MONO = 0x01,
  MIC_PCM_44100_STEREO = 0x02,
  MIC_PCM_48000_MONO = 0x04,
  MIC_PCM_48000_STEREO = 0x08,
  MIC_OPUS = 0x10,  // Opus packets (RFC 6716), mono or stereo, as the server's format says
};
inline constexpr uint8_t kMicPcmFormats =
    MIC_PCM_44100_MONO | MIC_PCM_44100_STEREO | MIC_PCM_48000_MONO | MIC_PCM_48000_STEREO;
inline constexpr uint8_t kKnownMicFormats = kMicPcmFormats | MIC_OPUS;

// The formats a request lets korvane's microphone take: the field's known bits, or all PCM.
uint8_t mic_formats_of(std::optional<uint8_t> field);

// Whether the microphone device takes a server's format as the host sends it: 16-bit PCM at one of
// the named rates and channel counts, or Opus (any tag of its) for a host that encodes it. Other
// formats the library encodes itself from one of these.
bool mic_format_taken(const AudioFormat& f, uint8_t formats);

// EVT_MIC_OPEN: frames per packet (u32, as the server asked), then the format the host is to send
// as EVT_AUDIO_FORMAT carries one (Opus under AUDIO_TAG_OPUS whatever the server called it).
struct MicOpen {
  uint32_t frames_per_packet = 0;
  AudioFormat format;
};
std::vector<uint8_t> encode_mic_open(const MicOpen& m);
std::optional<MicOpen> parse_mic_open(std::span<const uint8_t> payload);

// CMD_AUDIO_IN: the block's format (tag u16, channels u16, rate u32: the open's), then its bytes:
// whole PCM frames, or one Opus packet.
inline constexpr size_t kAudioInHeaderSize = 8;
struct AudioInBlock {
  uint16_t tag = 0;
  uint16_t channels = 0;
  uint32_t samples_per_sec = 0;
  std::span<const uint8_t> bytes;
};
std::array<uint8_t, kAudioInHeaderSize> encode_audio_in_header(uint16_t tag, uint16_t channels,
                                                               uint32_t samples_per_sec);
std::optional<AudioInBlock> parse_audio_in(std::span<const uint8_t> payload);

// How long an Opus packet plays, in microseconds, from its table-of-contents byte (RFC 6716,
// 3.1-3.2); nullopt for one that is empty, malformed or longer than 120 ms.
std::optional<uint32_t> opus_packet_us(std::span<const uint8_t> packet);

// How long a block plays in the open format (microseconds), or nullopt when it is not whole PCM
// frames or one Opus packet.
std::optional<uint64_t> mic_block_us(const AudioFormat& open, std::span<const uint8_t> bytes);

// One packet of silence in the open format: zero samples for PCM; for Opus, a packet with no frame
// (its table-of-contents byte alone), which a decoder conceals as a lost frame of that length.
std::vector<uint8_t> mic_silence(const AudioFormat& open, uint32_t frames_per_packet);

// How far ahead of real time a host may send, and how late it may fall before korvane fills with
// silence. The first bounds what the server's side queues for korvane (one second of audio); the
// second is above a browser's timer jitter.
inline constexpr uint64_t kMicLeadUs = 1000000;
inline constexpr uint64_t kMicSlackUs = 200000;
// Blocks longer than the lead could never be taken.
inline constexpr size_t kMicMaxBlockBytes = 48000 * 2 * 2;

// The microphone's timeline since the server opened it: audio handed to the server (the host's
// blocks and korvane's silence) against the clock. Fed microseconds of any monotonic clock.
struct MicPacer {
  uint64_t start_us = 0;
  uint64_t sent_us = 0;    // audio time handed to the server since start
  uint64_t packet_us = 0;  // one silence packet's length
  void open(uint64_t now_us, uint64_t packet_length_us);
  // Whether a block of `us` is taken now (false: it would put the host more than kMicLeadUs ahead).
  bool offer(uint64_t us, uint64_t now_us);
  // Silence packets due now: the host is more than kMicSlackUs behind. At most a second's worth;
  // a longer stall (of korvane itself) is skipped over, not made up.
  uint32_t silence_due(uint64_t now_us);
  // When silence next falls due if nothing comes.
  uint64_t next_silence_us() const { return start_us + sent_us + kMicSlackUs; }
};

}  // namespace korvane
