// A recording (host/recorder.hpp) exported as a video file through libavformat: MP4 or Matroska,
// chosen by the file's extension. The server's AVC420 bitstream is remuxed as it is; anything
// else (rectangles, AVC444, several streams, a resize) is painted as a replay paints it and
// encoded once. The server's sound (16-bit PCM, or AAC, Opus or MP3 decoded) becomes a sound
// track on the recording's own clock.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace korvane::host {

enum class VideoMode {
  automatic,  // remux when the recording allows it, encode otherwise
  remux,      // remux or fail
  encode,     // always paint and encode
};

struct VideoReport {
  std::string mode;     // "remux" or "encode"
  std::string why;      // when encoding: why the recording could not be remuxed
  std::string encoder;  // when encoding: the H.264 encoder used
  uint32_t width = 0, height = 0;
  uint64_t frames = 0;           // video frames written
  double video_seconds = 0;      // the last frame's time
  double sound_seconds = 0;      // the sound track's length (0: no track)
  uint64_t sound_blocks = 0;     // blocks put in it
  uint64_t sound_undecoded = 0;  // of those, compressed blocks the decoder refused
  uint64_t sound_skipped = 0;    // blocks of formats that cannot be decoded, not in it
  double recording_seconds = 0;  // the recording's last record
  std::string recording_end;     // "whole", or what cut the recording short
};

// Writes `recording` to `out` ("" or the problem). A recording cut by a crash is exported up to
// its last whole block.
std::string export_video(const std::string& recording, const std::string& out, VideoMode mode,
                         VideoReport& report);

// When an encoded video takes the picture: at most one frame per interval, each one showing
// what the replay painted up to then, and the last change always shown. Times are the
// recording's microseconds.
struct FramePacer {
  uint64_t interval_us = 1000000 / 30;
  std::optional<uint64_t> changed_since;  // the first change not yet in a frame
  std::optional<uint64_t> last_frame;

  // Before the record at `now`: the time of a frame to write with the picture as it stands,
  // if one is due.
  std::optional<uint64_t> before(uint64_t now);
  // The record at `at` changed the picture.
  void changed(uint64_t at);
  // At the end: the time of the frame still owed, if any.
  std::optional<uint64_t> finish();
};

}  // namespace korvane::host
