// The host's side of the microphone: a WAV file's samples sent as CMD_AUDIO_IN blocks at real time
// while the server has the microphone open. Pure, fed a clock.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "host/frame_io.hpp"
#include "host_link/mic_wire.hpp"

namespace korvane::host {

// 16-bit PCM samples, interleaved, little-endian, as a WAV file holds them.
struct PcmSource {
  uint16_t channels = 0;
  uint32_t rate = 0;
  std::vector<uint8_t> bytes;
};
// A RIFF WAVE file of 16-bit PCM; nullopt with `error` set for anything else.
std::optional<PcmSource> parse_wav(std::span<const uint8_t> file, std::string& error);

// The MIC_* format bit that names the source's format, or 0 when korvane takes none like it.
uint8_t mic_format_bit(const PcmSource& source);

// Sends the source from its start each time the server opens the microphone in its format, 20 ms
// a block, never ahead of real time since the open, until the source ends or the server closes.
struct MicSender {
  using Clock = std::chrono::steady_clock;
  PcmSource source;
  std::optional<MicOpen> open;  // the server's last open, until it closed
  Clock::time_point opened_at;
  size_t sent = 0;  // bytes of the source sent since the open
  // EVT_MIC_OPEN and EVT_MIC_CLOSED; what is wrong with an open, or empty.
  std::string on_event(const Frame& frame, Clock::time_point now);
  // The CMD_AUDIO_IN payloads due at `now`.
  std::vector<std::vector<uint8_t>> due(Clock::time_point now);
  // When the next block is due; nullopt when none will be.
  std::optional<Clock::time_point> next_due() const;
};

}  // namespace korvane::host
