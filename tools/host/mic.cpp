#include "host/mic.hpp"

#include <algorithm>

#include "host_link/protocol.hpp"

namespace korvane::host {

namespace {

constexpr uint32_t kBlockMs = 20;

size_t frame_bytes(const PcmSource& s) { return size_t{s.channels} * 2; }
size_t block_bytes(const PcmSource& s) { return s.rate * kBlockMs / 1000 * frame_bytes(s); }

}  // namespace

std::optional<PcmSource> parse_wav(std::span<const uint8_t> file, std::string& error) {
  auto is = [&](size_t at, const char* tag) {
    return file.size() >= at + 4 && std::equal(tag, tag + 4, file.begin() + at);
  };
  if (!is(0, "RIFF") || !is(8, "WAVE")) {
    error = "not a RIFF WAVE file";
    return std::nullopt;
  }
  PcmSource out;
  bool have_format = false;
  for (size_t at = 12; at + 8 <= file.size();) {
    const size_t size = get_u32(file.data() + at + 4);
    const size_t body = at + 8;
    if (size > file.size() - body) {
      error = "a chunk runs past the end of the file";
      return std::nullopt;
    }
    if (is(at, "fmt ") && size >= 16) {
      const uint8_t* f = file.data() + body;
      if (get_u16(f) != AUDIO_TAG_PCM || get_u16(f + 14) != 16) {
        error = "not 16-bit PCM";
        return std::nullopt;
      }
      out.channels = get_u16(f + 2);
      out.rate = get_u32(f + 4);
      have_format = true;
    } else if (is(at, "data") && have_format) {
      out.bytes.assign(file.begin() + static_cast<std::ptrdiff_t>(body),
                       file.begin() + static_cast<std::ptrdiff_t>(body + size));
      out.bytes.resize(out.bytes.size() / frame_bytes(out) * frame_bytes(out));
      return out;
    }
    at = body + size + (size & 1);
  }
  error = have_format ? "no data chunk" : "no fmt chunk before the data";
  return std::nullopt;
}

uint8_t mic_format_bit(const PcmSource& s) {
  const bool stereo = s.channels == 2;
  if (s.channels != 1 && !stereo) return 0;
  if (s.rate == 44100) return stereo ? MIC_PCM_44100_STEREO : MIC_PCM_44100_MONO;
  if (s.rate == 48000) return stereo ? MIC_PCM_48000_STEREO : MIC_PCM_48000_MONO;
  return 0;
}

std::string MicSender::on_event(const Frame& frame, Clock::time_point now) {
  if (frame.type == EVT_MIC_CLOSED) {
    open.reset();
    return {};
  }
  if (frame.type != EVT_MIC_OPEN) return {};
  open = parse_mic_open(frame.payload);
  opened_at = now;
  sent = 0;
  if (!open) return {};  // the event's own check reports it
  const AudioFormat& f = open->format;
  if (f.tag != AUDIO_TAG_PCM || f.channels != source.channels || f.samples_per_sec != source.rate) {
    open.reset();
    return "the microphone opened in a format the WAV file is not in";
  }
  return {};
}

std::vector<std::vector<uint8_t>> MicSender::due(Clock::time_point now) {
  std::vector<std::vector<uint8_t>> out;
  if (!open) return out;
  const auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(now - opened_at);
  const uint64_t may =
      static_cast<uint64_t>(elapsed.count()) * source.rate / 1000000 * frame_bytes(source);
  const size_t block = block_bytes(source);
  while (sent < source.bytes.size() && sent <= may) {
    const size_t n = std::min(block, source.bytes.size() - sent);
    const auto header = encode_audio_in_header(AUDIO_TAG_PCM, source.channels, source.rate);
    std::vector<uint8_t> payload(header.begin(), header.end());
    payload.insert(payload.end(), source.bytes.begin() + static_cast<std::ptrdiff_t>(sent),
                   source.bytes.begin() + static_cast<std::ptrdiff_t>(sent + n));
    out.push_back(std::move(payload));
    sent += n;
  }
  return out;
}

std::optional<MicSender::Clock::time_point> MicSender::next_due() const {
  if (!open || sent >= source.bytes.size()) return std::nullopt;
  const uint64_t frames = sent / frame_bytes(source);
  return opened_at + std::chrono::microseconds(frames * 1000000 / source.rate);
}

}  // namespace korvane::host
