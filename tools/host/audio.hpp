// What a host keeps of the remote desktop's sound: the formats announced, running totals, and
// optionally the PCM written out as WAV files.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "host/frame_io.hpp"
#include "host_link/audio_wire.hpp"

namespace korvane::host {

struct HostAudio {
  std::vector<AudioFormat> formats;  // every EVT_AUDIO_FORMAT, in order
  uint64_t blocks = 0;
  uint64_t bytes = 0;              // the blocks' bytes, headers not counted
  double seconds = 0;              // play time: each block's bytes over its format's byte rate
  std::optional<uint32_t> volume;  // the last EVT_AUDIO_VOLUME
  uint32_t next_sequence = 0;      // korvane numbers blocks 0, 1, 2, ...: a gap is a loss
};

// 16-bit PCM with a consistent block size: what WAV files and sound tracks take.
bool is_pcm16(const AudioFormat& f);

// Checks and counts one audio event. Returns "" or what was wrong with it.
std::string apply_audio_event(HostAudio& audio, const Frame& frame);

// One line for an audio event, e.g. "AUDIO_FORMAT tag=0x0001 channels=2 rate=48000 ...".
std::string describe_audio_event(const Frame& frame);

// "AUDIO formats=N blocks=N bytes=N seconds=S".
std::string audio_summary(const HostAudio& audio);

// One WAV file of 16-bit PCM. The header is written first with zero sizes; close() puts in the
// final ones, so a file cut short by a crash still has a readable format.
class WavFile {
 public:
  WavFile() = default;
  WavFile(const WavFile&) = delete;
  WavFile& operator=(const WavFile&) = delete;
  WavFile(WavFile&& other) noexcept;
  WavFile& operator=(WavFile&& other) noexcept;
  ~WavFile();

  // Creates (or truncates) path. "" or why not.
  std::string open(const std::string& path, const AudioFormat& format);
  // Appends samples; "" or why not. A RIFF file ends at 4 GiB: what would not fit is refused.
  std::string write(std::span<const uint8_t> bytes);
  // Writes the final sizes and closes; "" or why not. Called by the destructor when needed.
  std::string close();

  bool is_open() const { return file_ != nullptr; }
  const std::string& path() const { return path_; }
  const AudioFormat& format() const { return format_; }
  uint64_t data_bytes() const { return data_bytes_; }

 private:
  FILE* file_ = nullptr;
  std::string path_;
  AudioFormat format_;
  uint64_t data_bytes_ = 0;
};

// The WAV files of a session. PCM only: blocks of a compressed format are not written. One
// format per file: when the server changes the PCM format, the current file is closed and the
// next one gets a suffix before the extension (out.wav, out-2.wav, out-3.wav, ...); a format
// equal to the current one keeps writing the same file.
class WavSeries {
 public:
  explicit WavSeries(std::string path) : base_(std::move(path)) {}

  // Feeds one event; returns lines to print (a file opened or closed, a format not written)
  // and sets *problem when a file cannot be written.
  std::vector<std::string> on_event(const Frame& frame, std::string* problem);
  // Closes the current file; the lines to print.
  std::vector<std::string> finish(std::string* problem);

  size_t files() const { return files_; }

 private:
  std::string next_path();
  std::string closed_line();

  std::string base_;
  WavFile current_;
  size_t files_ = 0;
  bool skipping_ = false;  // the current format is not PCM: its blocks are dropped here
};

// The path of the n-th file (1-based) of a series: out.wav, out-2.wav, ...
std::string wav_series_path(const std::string& base, size_t n);

// Decodes Opus blocks of `format` (one packet a block, as servers send them) and appends the
// first channel's samples, at 48 kHz, to `out`. Returns "" or what went wrong.
std::string decode_opus(const AudioFormat& format, std::span<const std::vector<uint8_t>> blocks,
                        std::vector<float>& out);

}  // namespace korvane::host
