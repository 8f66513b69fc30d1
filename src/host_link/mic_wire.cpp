#include "host_link/mic_wire.hpp"

#include <algorithm>

#include "host_link/protocol.hpp"

namespace korvane {

namespace {

bool is_opus(uint16_t tag) { return host_audio_tag(tag) == AUDIO_TAG_OPUS; }

// Opus frame lengths in microseconds, by configuration (the table-of-contents byte's top 5 bits).
uint32_t opus_frame_us(uint8_t config) {
  if (config < 12) return std::array<uint32_t, 4>{10000, 20000, 40000, 60000}[config % 4];
  if (config < 16) return config % 2 ? 20000 : 10000;
  return std::array<uint32_t, 4>{2500, 5000, 10000, 20000}[config % 4];
}

}  // namespace

uint8_t mic_formats_of(std::optional<uint8_t> field) {
  return field ? static_cast<uint8_t>(*field & kKnownMicFormats) : kMicPcmFormats;
}

bool mic_format_taken(const AudioFormat& f, uint8_t formats) {
  if (f.channels != 1 && f.channels != 2) return false;
  if (is_opus(f.tag)) return (formats & MIC_OPUS) != 0;
  if (f.tag != AUDIO_TAG_PCM || f.bits_per_sample != 16 || f.block_align != 2 * f.channels)
    return false;
  const bool stereo = f.channels == 2;
  if (f.samples_per_sec == 44100)
    return (formats & (stereo ? MIC_PCM_44100_STEREO : MIC_PCM_44100_MONO)) != 0;
  if (f.samples_per_sec == 48000)
    return (formats & (stereo ? MIC_PCM_48000_STEREO : MIC_PCM_48000_MONO)) != 0;
  return false;
}

std::vector<uint8_t> encode_mic_open(const MicOpen& m) {
  std::vector<uint8_t> out;
  append_u32(out, m.frames_per_packet);
  const std::vector<uint8_t> format = encode_audio_format(m.format);
  out.insert(out.end(), format.begin(), format.end());
  return out;
}

std::optional<MicOpen> parse_mic_open(std::span<const uint8_t> payload) {
  if (payload.size() < 4) return std::nullopt;
  auto format = parse_audio_format(payload.subspan(4));
  if (!format) return std::nullopt;
  return MicOpen{get_u32(payload.data()), std::move(*format)};
}

std::array<uint8_t, kAudioInHeaderSize> encode_audio_in_header(uint16_t tag, uint16_t channels,
                                                               uint32_t samples_per_sec) {
  std::array<uint8_t, kAudioInHeaderSize> out{};
  out[0] = static_cast<uint8_t>(tag);
  out[1] = static_cast<uint8_t>(tag >> 8);
  out[2] = static_cast<uint8_t>(channels);
  out[3] = static_cast<uint8_t>(channels >> 8);
  for (size_t i = 0; i < 4; ++i) out[4 + i] = static_cast<uint8_t>(samples_per_sec >> (8 * i));
  return out;
}

std::optional<AudioInBlock> parse_audio_in(std::span<const uint8_t> payload) {
  if (payload.size() < kAudioInHeaderSize) return std::nullopt;
  const uint8_t* p = payload.data();
  return AudioInBlock{get_u16(p), get_u16(p + 2), get_u32(p + 4),
                      payload.subspan(kAudioInHeaderSize)};
}

std::optional<uint32_t> opus_packet_us(std::span<const uint8_t> packet) {
  if (packet.empty()) return std::nullopt;
  const uint32_t frame = opus_frame_us(static_cast<uint8_t>(packet[0] >> 3));
  uint32_t count = 1;
  switch (packet[0] & 3) {
    case 0: break;
    case 1:
    case 2:
      if (packet.size() < 2 && (packet[0] & 3) == 2) return std::nullopt;
      count = 2;
      break;
    default:
      if (packet.size() < 2) return std::nullopt;
      count = packet[1] & 0x3F;
      if (count == 0) return std::nullopt;
  }
  const uint64_t us = uint64_t{frame} * count;
  if (us > 120000) return std::nullopt;
  return static_cast<uint32_t>(us);
}

std::optional<uint64_t> mic_block_us(const AudioFormat& open, std::span<const uint8_t> bytes) {
  if (bytes.empty()) return std::nullopt;
  if (is_opus(open.tag)) return opus_packet_us(bytes);
  if (!open.block_align || !open.samples_per_sec || bytes.size() % open.block_align)
    return std::nullopt;
  return uint64_t{bytes.size() / open.block_align} * 1000000 / open.samples_per_sec;
}

std::vector<uint8_t> mic_silence(const AudioFormat& open, uint32_t frames_per_packet) {
  const uint32_t rate = open.samples_per_sec ? open.samples_per_sec : 48000;
  // A packet of 0 frames, or over 100 ms, is taken as 20 ms.
  uint64_t us = uint64_t{frames_per_packet} * 1000000 / rate;
  if (us == 0 || us > 100000) us = 20000;
  if (is_opus(open.tag)) {
    // The longest Opus frame that fits: CELT fullband 2.5..20 ms (configurations 28..31), SILK
    // wideband 40 and 60 ms (10 and 11).
    uint8_t config = 28;
    if (us >= 60000)
      config = 11;
    else if (us >= 40000)
      config = 10;
    else if (us >= 20000)
      config = 31;
    else if (us >= 10000)
      config = 30;
    else if (us >= 5000)
      config = 29;
    return {static_cast<uint8_t>(config << 3 | (open.channels == 2 ? 0x04 : 0))};
  }
  const uint64_t frames = std::max<uint64_t>(1, us * rate / 1000000);
  return std::vector<uint8_t>(frames * std::max<uint16_t>(open.block_align, 1), 0);
}

void MicPacer::open(uint64_t now_us, uint64_t packet_length_us) {
  start_us = now_us;
  sent_us = 0;
  packet_us = std::max<uint64_t>(packet_length_us, 1000);
}

bool MicPacer::offer(uint64_t us, uint64_t now_us) {
  const uint64_t elapsed = now_us > start_us ? now_us - start_us : 0;
  if (sent_us + us > elapsed + kMicLeadUs) return false;
  sent_us += us;
  return true;
}

uint32_t MicPacer::silence_due(uint64_t now_us) {
  const uint64_t elapsed = now_us > start_us ? now_us - start_us : 0;
  if (sent_us + kMicSlackUs > elapsed) return 0;
  const uint64_t behind = elapsed - kMicSlackUs - sent_us;
  const uint64_t most = std::max<uint64_t>(1, 1000000 / packet_us);
  const uint64_t n = std::min(behind / packet_us + 1, most);
  sent_us += n * packet_us;
  if (sent_us + kMicSlackUs < elapsed) sent_us = elapsed - kMicSlackUs;
  return static_cast<uint32_t>(n);
}

}  // namespace korvane
