#include "host/desktop.hpp"

#include <cstdio>

#include "host_link/protocol.hpp"

namespace korvane::host {

namespace {

std::string printable(const std::vector<uint8_t>& bytes, size_t limit) {
  std::string out;
  for (size_t i = 0; i < bytes.size() && i < limit; ++i) {
    const char c = static_cast<char>(bytes[i]);
    out += (c >= 0x20 && c < 0x7f) ? c : '.';
  }
  if (bytes.size() > limit) out += "...";
  return out;
}

std::string size_problem(const Frame& frame, size_t need) {
  return describe_event(frame) + ": payload of " + std::to_string(frame.payload.size()) +
         " bytes, expected at least " + std::to_string(need);
}

}  // namespace

std::string apply_event(Desktop& desktop, const Frame& frame) {
  desktop.frames++;
  desktop.bytes += kFrameHeaderSize + frame.payload.size();
  std::string problem;
  const auto& p = frame.payload;
  switch (frame.type) {
    case EVT_CONNECTED:
    case EVT_RESIZE: {
      if (p.size() < 8) {
        problem = size_problem(frame, 8);
        break;
      }
      const uint32_t w = get_u32(p.data());
      const uint32_t h = get_u32(p.data() + 4);
      // A canvas is allocated whole: refuse sizes no RDP desktop has (8192 is the largest).
      if (w > 8192 || h > 8192) {
        problem = describe_event(frame) + ": size out of range";
        break;
      }
      resize_canvas(desktop.canvas, w, h);
      if (frame.type == EVT_CONNECTED) {
        desktop.connected_width = w;
        desktop.connected_height = h;
      } else {
        desktop.resizes++;
      }
      break;
    }
    case EVT_RECT:
      desktop.rects++;
      problem = paint_rect(desktop.canvas, p);
      break;
    case EVT_H264:
      problem = paint_h264(desktop.h264, desktop.canvas, p);
      break;
    case EVT_ERROR:
      desktop.error = std::string(p.begin(), p.end());
      break;
    case EVT_DISCONNECTED:
      desktop.disconnected = true;
      break;
    case EVT_CLIP_FORMATS:
      if (!parse_clip_formats_strict(p)) problem = describe_event(frame) + ": malformed list";
      break;
    case EVT_CLIP_DATA:
      if (p.size() < 4) problem = size_problem(frame, 4);
      break;
    default:
      problem = describe_event(frame) + ": unknown event type";
      break;
  }
  if (!problem.empty()) {
    desktop.problems++;
    desktop.last_problem = problem;
  }
  return problem;
}

std::string describe_event(const Frame& frame) {
  const auto& p = frame.payload;
  auto u32_at = [&p](size_t off) { return off + 4 <= p.size() ? get_u32(p.data() + off) : 0u; };
  auto i32_at = [&](size_t off) { return static_cast<int32_t>(u32_at(off)); };
  switch (frame.type) {
    case EVT_CONNECTED:
      return "CONNECTED width=" + std::to_string(u32_at(0)) + " height=" + std::to_string(u32_at(4));
    case EVT_RESIZE:
      return "RESIZE width=" + std::to_string(u32_at(0)) + " height=" + std::to_string(u32_at(4));
    case EVT_RECT:
      return "RECT x=" + std::to_string(i32_at(0)) + " y=" + std::to_string(i32_at(4)) +
             " w=" + std::to_string(i32_at(8)) + " h=" + std::to_string(i32_at(12));
    case EVT_H264: {
      const size_t data = p.size() >= kH264HeaderSize ? p.size() - kH264HeaderSize : 0;
      const H264Parts parts =
          split_h264(std::span<const uint8_t>(p).subspan(std::min(p.size(), kH264HeaderSize)));
      const char* kind = parts.kind == H264Kind::avc420   ? "avc420"
                         : parts.kind == H264Kind::avc444 ? "avc444"
                                                          : "unknown";
      return "H264 left=" + std::to_string(i32_at(0)) + " top=" + std::to_string(i32_at(4)) +
             " right=" + std::to_string(i32_at(8)) + " bottom=" + std::to_string(i32_at(12)) +
             " w=" + std::to_string(u32_at(16)) + " h=" + std::to_string(u32_at(20)) +
             " data=" + std::to_string(data) + " kind=" + kind;
    }
    case EVT_ERROR:
      return "ERROR " + printable(p, 512);
    case EVT_DISCONNECTED:
      return "DISCONNECTED";
    case EVT_CLIP_FORMATS: {
      auto formats = parse_clip_formats_strict(p);
      if (!formats) return "CLIP_FORMATS (malformed, " + std::to_string(p.size()) + " bytes)";
      std::string out = "CLIP_FORMATS count=" + std::to_string(formats->size());
      for (const auto& f : *formats) {
        out += " " + std::to_string(f.id);
        if (!f.name.empty()) out += ":" + f.name;
      }
      return out;
    }
    case EVT_CLIP_DATA:
      return "CLIP_DATA format=" + std::to_string(u32_at(0)) +
             " bytes=" + std::to_string(p.size() >= 4 ? p.size() - 4 : 0);
    default:
      return "EVENT type=" + std::to_string(frame.type) + " bytes=" + std::to_string(p.size());
  }
}

std::string totals_text(const Desktop& desktop) {
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - desktop.started).count();
  char fps[32];
  std::snprintf(fps, sizeof fps, "%.1f", seconds > 0 ? static_cast<double>(desktop.frames) / seconds : 0.0);
  return "frames=" + std::to_string(desktop.frames) + " bytes=" + std::to_string(desktop.bytes) +
         " fps=" + fps;
}

}  // namespace korvane::host
