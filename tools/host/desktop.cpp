#include "host/desktop.hpp"

#include <cstdio>

#include "host_link/protocol.hpp"
#include "host_link/session_extensions.hpp"

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
    case EVT_RECT_DEFLATE:
      desktop.rects++;
      desktop.deflated_rects++;
      problem = paint_rect_deflate(desktop.canvas, p);
      break;
    case EVT_H264:
      problem = paint_h264(desktop.h264, desktop.canvas, p);
      break;
    case EVT_H264_CODEC:
      problem = paint_h264_codec(desktop.h264, desktop.canvas, p);
      break;
    case EVT_EXTENSIONS:
      desktop.grant = parse_grant(p);
      if (!desktop.grant) problem = size_problem(frame, 5);
      break;
    case EVT_CURSOR_SHAPE:
    case EVT_CURSOR_USE:
    case EVT_CURSOR_HIDDEN:
    case EVT_CURSOR_DEFAULT:
    case EVT_CURSOR_POSITION:
      problem = apply_cursor_event(desktop.cursor, frame);
      break;
    case EVT_RESIZE_REFUSED:
      if (p.size() < 9) {
        problem = size_problem(frame, 9);
        break;
      }
      desktop.resize_refusals++;
      break;
    case EVT_REFUSED:
      // A command not carried out is the host's to act on, not a broken stream.
      if (p.size() < 6) problem = size_problem(frame, 6);
      break;
    case EVT_RECONNECT:
      // The picture comes again after "reconnected": EVT_RESIZE starts the canvas over.
      if (!parse_reconnect(p)) problem = describe_event(frame) + ": malformed";
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
    case EVT_AUDIO_FORMAT:
    case EVT_AUDIO_DATA:
    case EVT_AUDIO_VOLUME:
      problem = apply_audio_event(desktop.audio, frame);
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
    case EVT_RECT_DEFLATE:
      return "RECT_DEFLATE x=" + std::to_string(i32_at(0)) + " y=" + std::to_string(i32_at(4)) +
             " w=" + std::to_string(i32_at(8)) + " h=" + std::to_string(i32_at(12)) + " deflated " +
             std::to_string(p.size() >= kRectHeaderSize ? p.size() - kRectHeaderSize : 0);
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
    case EVT_H264_CODEC: {
      const auto h = parse_h264_codec_header(p);
      if (!h) return "H264_CODEC (malformed, " + std::to_string(p.size()) + " bytes)";
      const char* codec = h->codec == CODEC_ID_AVC420     ? "avc420"
                          : h->codec == CODEC_ID_AVC444   ? "avc444"
                          : h->codec == CODEC_ID_AVC444V2 ? "avc444v2"
                                                          : "unknown";
      return std::string("H264_CODEC codec=") + codec + " left=" + std::to_string(h->left) +
             " top=" + std::to_string(h->top) + " right=" + std::to_string(h->right) +
             " bottom=" + std::to_string(h->bottom) + " w=" + std::to_string(h->width) +
             " h=" + std::to_string(h->height) + " main=" + std::to_string(h->main_length) +
             " aux=" + std::to_string(h->aux_length);
    }
    case EVT_EXTENSIONS: {
      const auto g = parse_grant(p);
      if (!g) return "EXTENSIONS (malformed, " + std::to_string(p.size()) + " bytes)";
      char hex[40];
      std::snprintf(hex, sizeof hex, "mask=0x%08x codecs=0x%02x", g->mask, g->h264_codecs);
      return std::string("EXTENSIONS ") + hex + " granted=" + extension_names(g->mask) +
             " h264=" + h264_codec_names(g->h264_codecs);
    }
    case EVT_CURSOR_SHAPE: {
      const auto h = parse_cursor_shape(p);
      if (!h) return "CURSOR_SHAPE (malformed, " + std::to_string(p.size()) + " bytes)";
      return "CURSOR_SHAPE id=" + std::to_string(h->id) + " hotspot=" +
             std::to_string(h->hotspot_x) + "," + std::to_string(h->hotspot_y) +
             " size=" + std::to_string(h->width) + "x" + std::to_string(h->height);
    }
    case EVT_CURSOR_USE:
      return "CURSOR_USE id=" + std::to_string(u32_at(0));
    case EVT_CURSOR_HIDDEN:
      return "CURSOR_HIDDEN";
    case EVT_CURSOR_DEFAULT:
      return "CURSOR_DEFAULT";
    case EVT_CURSOR_POSITION:
      return "CURSOR_POSITION x=" + std::to_string(u32_at(0)) + " y=" + std::to_string(u32_at(4));
    case EVT_RESIZE_REFUSED: {
      const int reason = p.size() >= 9 ? p[8] : -1;
      return "RESIZE_REFUSED width=" + std::to_string(u32_at(0)) +
             " height=" + std::to_string(u32_at(4)) + " reason=" + std::to_string(reason) +
             (reason == RESIZE_REFUSED_NO_CHANNEL ? " (no display control channel)" : "");
    }
    case EVT_REFUSED: {
      if (p.size() < 6) return "REFUSED (malformed, " + std::to_string(p.size()) + " bytes)";
      const char* why = p[1] == REFUSED_NO_UNICODE        ? " (the server takes no Unicode input)"
                        : p[1] == REFUSED_NOT_A_CHARACTER ? " (not a character)"
                        : p[1] == REFUSED_NO_QUESTION     ? " (no certificate question pending)"
                                                          : "";
      char value[16];
      std::snprintf(value, sizeof value, "0x%x", u32_at(2));
      return "REFUSED command=" + std::to_string(p[0]) + " reason=" + std::to_string(p[1]) + why +
             " value=" + value;
    }
    case EVT_RECONNECT: {
      const auto r = parse_reconnect(p);
      if (!r) return "RECONNECT (malformed, " + std::to_string(p.size()) + " bytes)";
      const char* state = r->state == RECONNECT_TRYING ? "reconnecting"
                          : r->state == RECONNECT_DONE ? "reconnected"
                                                       : "gave-up";
      return std::string("RECONNECT ") + state + " attempt=" + std::to_string(r->attempt) +
             " of " + std::to_string(r->max_attempts);
    }
    case EVT_CERTIFICATE: {
      const auto q = parse_certificate_question(p);
      if (!q) return "CERTIFICATE (malformed, " + std::to_string(p.size()) + " bytes)";
      char flags[16];
      std::snprintf(flags, sizeof flags, "0x%x", q->flags);
      return "CERTIFICATE host=" + q->host + " port=" + std::to_string(q->port) +
             " flags=" + flags + " changed=" + std::to_string(q->changed ? 1 : 0) +
             " mismatch=" + std::to_string(q->mismatch ? 1 : 0) + " sha256=" + q->fingerprint +
             " subject=\"" + q->subject + "\" issuer=\"" + q->issuer +
             "\" pem=" + std::to_string(q->pem.size()) + " bytes";
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
    case EVT_AUDIO_FORMAT:
    case EVT_AUDIO_DATA:
    case EVT_AUDIO_VOLUME:
      return describe_audio_event(frame);
    default:
      return "EVENT type=" + std::to_string(frame.type) + " bytes=" + std::to_string(p.size());
  }
}

std::string extension_names(uint32_t mask) {
  std::string out;
  auto add = [&out](const char* name) { out += (out.empty() ? "" : ",") + std::string(name); };
  if (mask & EXT_CURSOR) add("cursor");
  if (mask & EXT_RESIZE) add("resize");
  if (mask & EXT_H264) add("h264");
  if (mask & EXT_TEXT) add("text");
  if (mask & EXT_RECONNECT) add("reconnect");
  if (mask & EXT_CHANGED_ONLY) add("changed");
  if (mask & EXT_DEFLATE) add("deflate");
  if (mask & EXT_AUDIO) add("audio");
  return out.empty() ? "none" : out;
}

std::string h264_codec_names(uint8_t codecs) {
  std::string out;
  auto add = [&out](const char* name) { out += (out.empty() ? "" : ",") + std::string(name); };
  if (codecs & H264_AVC420) add("avc420");
  if (codecs & H264_AVC444) add("avc444");
  if (codecs & H264_AVC444V2) add("avc444v2");
  return out.empty() ? "none" : out;
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
