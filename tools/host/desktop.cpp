#include "host/desktop.hpp"

#include "host_link/clip_files.hpp"

#include <cstdio>
#include <tuple>

#include "host/options.hpp"
#include "host_link/gateway.hpp"
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

// The fixed part of an event as the wire library encodes it: the least its payload carries.
template <typename Encoded>
constexpr size_t kFixed = std::tuple_size_v<Encoded>;
constexpr size_t kSizeBytes = kFixed<decltype(encode_size(0, 0))>;
constexpr size_t kResizeRefusedBytes = kFixed<decltype(encode_resize_refused({}))>;
constexpr size_t kRefusedBytes = kFixed<decltype(encode_refused(0, 0, 0))>;
constexpr size_t kClipDataBytes = kFixed<decltype(encode_clip_data_header(0))>;
constexpr size_t kGrantBytes = 4 /* mask */ + 1 /* codecs */;

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
      const auto size = parse_size(p);
      if (!size) {
        problem = size_problem(frame, kSizeBytes);
        break;
      }
      const uint32_t w = size->width;
      const uint32_t h = size->height;
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
    case EVT_H264: problem = paint_h264(desktop.h264, desktop.canvas, p); break;
    case EVT_H264_CODEC: problem = paint_h264_codec(desktop.h264, desktop.canvas, p); break;
    case EVT_EXTENSIONS:
      desktop.grant = parse_grant(p);
      if (!desktop.grant) problem = size_problem(frame, kGrantBytes);
      break;
    case EVT_CURSOR_SHAPE:
    case EVT_CURSOR_USE:
    case EVT_CURSOR_HIDDEN:
    case EVT_CURSOR_DEFAULT:
    case EVT_CURSOR_POSITION: problem = apply_cursor_event(desktop.cursor, frame); break;
    case EVT_RESIZE_REFUSED:
      if (!parse_resize_refused(p)) {
        problem = size_problem(frame, kResizeRefusedBytes);
        break;
      }
      desktop.resize_refusals++;
      break;
    case EVT_MONITORS:
      if (auto layout = parse_layout(p)) {
        desktop.monitors = std::move(*layout);
      } else {
        problem = describe_event(frame) + ": malformed layout";
      }
      break;
    case EVT_MONITORS_REFUSED:
      if (p.size() != 2) problem = size_problem(frame, 2);
      desktop.monitors_refusals++;
      break;
    case EVT_REFUSED:
      // A command not carried out is the host's to act on, not a broken stream.
      if (!parse_refused(p)) problem = size_problem(frame, kRefusedBytes);
      break;
    case EVT_RECONNECT:
      // The picture comes again after "reconnected": EVT_RESIZE starts the canvas over.
      if (!parse_reconnect(p)) problem = describe_event(frame) + ": malformed";
      break;
    case EVT_ERROR: desktop.error = std::string(p.begin(), p.end()); break;
    case EVT_DISCONNECTED: desktop.disconnected = true; break;
    case EVT_CLIP_FORMATS:
      if (!parse_clip_formats_strict(p)) problem = describe_event(frame) + ": malformed list";
      break;
    case EVT_CLIP_DATA:
      if (!parse_clip_data(p)) problem = size_problem(frame, kClipDataBytes);
      break;
    case EVT_AUDIO_FORMAT:
    case EVT_AUDIO_DATA:
    case EVT_AUDIO_VOLUME:
    case EVT_MIC_OPEN:
    case EVT_MIC_CLOSED: problem = apply_audio_event(desktop.audio, frame); break;
    // Files (korvane_host_main fetches and serves them): only their form is checked.
    case EVT_CLIP_FILE_DATA:
    case EVT_CLIP_FILE_REQUEST:
    case EVT_CLIP_LOCK:
      if (p.size() < (frame.type == EVT_CLIP_FILE_DATA ? kFileDataHeaderSize
                      : frame.type == EVT_CLIP_LOCK    ? kClipLockSize
                                                       : kFileRequestSize))
        problem = describe_event(frame) + ": malformed";
      break;
    // Questions for the host (korvane_host_main answers them): only their form is checked.
    case EVT_CERTIFICATE:
      if (!parse_certificate_question(p)) problem = describe_event(frame) + ": malformed";
      break;
    case EVT_GATEWAY_MESSAGE:
      if (!parse_gateway_message(p)) problem = describe_event(frame) + ": malformed";
      break;
    default: problem = describe_event(frame) + ": unknown event type"; break;
  }
  if (!problem.empty()) {
    desktop.problems++;
    desktop.last_problem = problem;
  }
  return problem;
}

std::string describe_event(const Frame& frame) {
  const auto& p = frame.payload;
  // A payload too short for its fields reads as zeros here; apply_event reports it.
  const DesktopSize size = parse_size(p).value_or(DesktopSize{});
  const RectEvent rect = parse_rect(p).value_or(RectEvent{});
  auto rect_text = [&rect] {
    return " x=" + std::to_string(rect.x) + " y=" + std::to_string(rect.y) +
           " w=" + std::to_string(rect.w) + " h=" + std::to_string(rect.h);
  };
  switch (frame.type) {
    case EVT_CONNECTED:
      return "CONNECTED width=" + std::to_string(size.width) +
             " height=" + std::to_string(size.height);
    case EVT_RESIZE:
      return "RESIZE width=" + std::to_string(size.width) +
             " height=" + std::to_string(size.height);
    case EVT_RECT: return "RECT" + rect_text();
    case EVT_RECT_DEFLATE:
      return "RECT_DEFLATE" + rect_text() + " deflated " + std::to_string(rect.pixels.size());
    case EVT_H264: {
      const H264Event h = parse_h264(p).value_or(H264Event{});
      const H264Parts parts = split_h264(h.stream);
      const char* kind = parts.kind == H264Kind::avc420   ? "avc420"
                         : parts.kind == H264Kind::avc444 ? "avc444"
                                                          : "unknown";
      auto i32 = [](uint32_t v) { return std::to_string(static_cast<int32_t>(v)); };
      return "H264 left=" + i32(h.left) + " top=" + i32(h.top) + " right=" + i32(h.right) +
             " bottom=" + i32(h.bottom) + " w=" + std::to_string(h.width) +
             " h=" + std::to_string(h.height) + " data=" + std::to_string(h.stream.size()) +
             " kind=" + kind;
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
      return "CURSOR_SHAPE id=" + std::to_string(h->id) +
             " hotspot=" + std::to_string(h->hotspot_x) + "," + std::to_string(h->hotspot_y) +
             " size=" + std::to_string(h->width) + "x" + std::to_string(h->height);
    }
    case EVT_CURSOR_USE: return "CURSOR_USE id=" + std::to_string(parse_cursor_use(p).value_or(0));
    case EVT_CURSOR_HIDDEN: return "CURSOR_HIDDEN";
    case EVT_CURSOR_DEFAULT: return "CURSOR_DEFAULT";
    case EVT_CURSOR_POSITION: {
      const PointerPosition at = parse_cursor_position(p).value_or(PointerPosition{});
      return "CURSOR_POSITION x=" + std::to_string(at.x) + " y=" + std::to_string(at.y);
    }
    case EVT_RESIZE_REFUSED: {
      const auto r = parse_resize_refused(p);
      const int reason = r ? r->reason : -1;
      return "RESIZE_REFUSED width=" + std::to_string(size.width) +
             " height=" + std::to_string(size.height) + " reason=" + std::to_string(reason) +
             (reason == RESIZE_REFUSED_NO_CHANNEL ? " (no display control channel)" : "");
    }
    case EVT_MONITORS: {
      const auto layout = parse_layout(p);
      if (!layout) return "MONITORS (malformed, " + std::to_string(p.size()) + " bytes)";
      return "MONITORS " + layout_text(*layout);
    }
    case EVT_MONITORS_REFUSED:
      if (p.size() != 2) return "MONITORS_REFUSED (malformed)";
      return "MONITORS_REFUSED reason=" + std::to_string(p[0]) + " (" + monitors_reason_text(p[0]) +
             ") monitor=" + std::to_string(p[1]);
    case EVT_REFUSED: {
      const auto r = parse_refused(p);
      if (!r) return "REFUSED (malformed, " + std::to_string(p.size()) + " bytes)";
      const char* why = r->reason == REFUSED_NO_UNICODE ? " (the server takes no Unicode input)"
                        : r->reason == REFUSED_NOT_A_CHARACTER ? " (not a character)"
                        : r->reason == REFUSED_NO_QUESTION     ? " (no question pending)"
                        : r->reason == REFUSED_MIC_CLOSED      ? " (the microphone is not open)"
                        : r->reason == REFUSED_MIC_FORMAT      ? " (not the microphone's format)"
                        : r->reason == REFUSED_MIC_BLOCK       ? " (not a block of that format)"
                        : r->reason == REFUSED_MIC_AHEAD       ? " (ahead of real time)"
                                                               : "";
      char value[16];
      std::snprintf(value, sizeof value, "0x%x", r->value);
      return "REFUSED command=" + std::to_string(r->command) +
             " reason=" + std::to_string(r->reason) + why + " value=" + value;
    }
    case EVT_RECONNECT: {
      const auto r = parse_reconnect(p);
      if (!r) return "RECONNECT (malformed, " + std::to_string(p.size()) + " bytes)";
      const char* state = r->state == RECONNECT_TRYING ? "reconnecting"
                          : r->state == RECONNECT_DONE ? "reconnected"
                                                       : "gave-up";
      return std::string("RECONNECT ") + state + " attempt=" + std::to_string(r->attempt) + " of " +
             std::to_string(r->max_attempts);
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
    case EVT_GATEWAY_MESSAGE: {
      const auto m = parse_gateway_message(p);
      if (!m) return "GATEWAY_MESSAGE (malformed, " + std::to_string(p.size()) + " bytes)";
      return std::string("GATEWAY_MESSAGE kind=") +
             (m->kind == GATEWAY_MSG_CONSENT ? "consent" : "service") + " text=\"" +
             printable(std::vector<uint8_t>(m->text.begin(), m->text.end()), 4096) + "\"";
    }
    case EVT_ERROR: return "ERROR " + printable(p, 512);
    case EVT_DISCONNECTED: return "DISCONNECTED";
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
    case EVT_CLIP_DATA: {
      const ClipData c = parse_clip_data(p).value_or(ClipData{});
      return "CLIP_DATA format=" + std::to_string(c.format) +
             " bytes=" + std::to_string(c.data.size());
    }
    case EVT_AUDIO_FORMAT:
    case EVT_AUDIO_DATA:
    case EVT_AUDIO_VOLUME:
    case EVT_MIC_OPEN:
    case EVT_MIC_CLOSED: return describe_audio_event(frame);
    case EVT_CLIP_FILE_DATA: {
      const auto d = parse_file_data(p);
      if (!d) break;
      return "CLIP_FILE_DATA stream=" + std::to_string(d->stream_id) +
             " status=" + std::to_string(d->status) + " bytes=" + std::to_string(d->bytes.size());
    }
    case EVT_CLIP_FILE_REQUEST: {
      const auto r = parse_file_request(p);
      if (!r) break;
      return "CLIP_FILE_REQUEST stream=" + std::to_string(r->stream_id) +
             " index=" + std::to_string(r->list_index) +
             (r->what == FILE_ASK_SIZE ? " size"
                                       : " range pos=" + std::to_string(r->position) +
                                             " len=" + std::to_string(r->length)) +
             (r->lock ? " lock=" + std::to_string(*r->lock) : "");
    }
    case EVT_CLIP_LOCK: {
      const auto l = parse_clip_lock(p);
      if (!l) break;
      return std::string(l->locked ? "CLIP_LOCK" : "CLIP_UNLOCK") + " id=" + std::to_string(l->id);
    }
    default: break;
  }
  return "EVENT type=" + std::to_string(frame.type) + " bytes=" + std::to_string(p.size());
}

std::string extension_names(uint32_t mask) {
  std::string out;
  for (const ExtensionInfo& e : kExtensionBits) {
    if (mask & e.bit) out += (out.empty() ? "" : ",") + std::string(e.name);
  }
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
  std::snprintf(fps, sizeof fps, "%.1f",
                seconds > 0 ? static_cast<double>(desktop.frames) / seconds : 0.0);
  return "frames=" + std::to_string(desktop.frames) + " bytes=" + std::to_string(desktop.bytes) +
         " fps=" + fps;
}

}  // namespace korvane::host
