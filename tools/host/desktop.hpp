// Everything a host keeps of a session's display: the canvas, the H.264 decoders, and the
// running totals it reports.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host/audio.hpp"
#include "host/canvas.hpp"
#include "host/cursor.hpp"
#include "host/frame_io.hpp"
#include "host/h264.hpp"
#include "host_link/extensions.hpp"

namespace korvane::host {

struct Desktop {
  Canvas canvas;
  H264Decoder h264;
  std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
  uint64_t frames = 0;          // every event
  uint64_t bytes = 0;           // every event's bytes, headers included
  uint64_t rects = 0;           // EVT_RECT and EVT_RECT_DEFLATE
  uint64_t deflated_rects = 0;  // of which EVT_RECT_DEFLATE
  uint64_t resizes = 0;
  uint64_t problems = 0;  // events the desktop could not apply (see last_problem)
  std::string last_problem;
  std::optional<uint32_t> connected_width, connected_height;
  std::optional<std::string> error;  // text of EVT_ERROR
  bool disconnected = false;
  // Extensions: what korvane granted (EVT_EXTENSIONS), the pointer, refused resizes.
  std::optional<Grant> grant;
  Cursor cursor;
  uint64_t resize_refusals = 0;
  MonitorLayout monitors;  // the last EVT_MONITORS
  uint64_t monitors_refusals = 0;
  HostAudio audio;
};

// "cursor,resize,h264" for the mask's known bits ("none" for none), and "avc420,avc444" for
// H.264 codec bits.
std::string extension_names(uint32_t mask);
std::string h264_codec_names(uint8_t codecs);

// Applies one event: sizes the canvas, paints, decodes, or just counts. Returns "" or what was
// wrong with the event (it is also counted in problems).
std::string apply_event(Desktop& desktop, const Frame& frame);

// One line saying what the event is, e.g. "RECT x=0 y=0 w=64 h=64".
std::string describe_event(const Frame& frame);

// "frames=.. bytes=.. fps=..", fps over the time since started.
std::string totals_text(const Desktop& desktop);

}  // namespace korvane::host
