#include "host_link/extensions.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string_view>

#include "host_link/audio_wire.hpp"
#include "host_link/mic_wire.hpp"
#include "host_link/protocol.hpp"
#include "host_link/session_extensions.hpp"

namespace korvane {

std::span<const uint8_t> connect_trailer(std::span<const uint8_t> payload) {
  // Walks the base fields as parse_connect reads them; 64-bit sums cannot wrap.
  const uint8_t* p = payload.data();
  const uint64_t size = payload.size();
  uint64_t pos = 0;
  auto text = [&]() {
    if (pos + 2 > size) return false;
    pos += 2 + get_u16(p + pos);
    return pos <= size;
  };
  if (!text()) return {};                                      // host
  pos += 4;                                                    // port
  if (pos > size || !text() || !text() || !text()) return {};  // user, domain, password
  pos += 8 + 1;                                                // width, height, flags
  if (pos > size || !text()) return {};                        // drive path
  return payload.subspan(static_cast<size_t>(pos));
}

ExtensionParse parse_extensions(std::span<const uint8_t> trailer, Extensions& out) {
  out = Extensions{};
  if (trailer.size() < sizeof kExtensionMagic ||
      std::memcmp(trailer.data(), kExtensionMagic, sizeof kExtensionMagic) != 0)
    return ExtensionParse::none;
  out.present = true;
  const uint8_t* p = trailer.data();
  const size_t size = trailer.size();
  if (size < 8) return ExtensionParse::malformed;
  out.wanted = get_u32(p + 4);
  size_t pos = 8;
  std::vector<uint16_t> seen;
  while (pos < size) {
    if (size - pos < 4) return ExtensionParse::malformed;
    const uint16_t tag = get_u16(p + pos);
    const size_t length = get_u16(p + pos + 2);
    pos += 4;
    if (size - pos < length) return ExtensionParse::malformed;
    if (std::find(seen.begin(), seen.end(), tag) != seen.end()) return ExtensionParse::malformed;
    seen.push_back(tag);
    const uint8_t* v = p + pos;
    switch (tag) {
      case FIELD_H264_CODECS:
        if (length != 1) return ExtensionParse::malformed;
        out.h264_codecs = v[0];
        break;
      case FIELD_CERT_MODE:
        if (length != 1 || v[0] > CERT_MODE_ASK) return ExtensionParse::malformed;
        out.cert_mode = v[0];
        break;
      case FIELD_CERT_FINGERPRINTS: {
        auto list = parse_fingerprints(std::string_view(reinterpret_cast<const char*>(v), length));
        if (!list) return ExtensionParse::malformed;
        out.fingerprints = std::move(*list);
        break;
      }
      case FIELD_KEYBOARD_LAYOUT:
        if (length != 4) return ExtensionParse::malformed;
        out.keyboard_layout = get_u32(v);
        break;
      case FIELD_CONNECT_TIMEOUT: {
        if (length != 4) return ExtensionParse::malformed;
        const uint32_t ms = get_u32(v);
        if (ms < 1000 || ms > 600000) return ExtensionParse::malformed;
        out.connect_timeout_ms = ms;
        break;
      }
      case FIELD_RECONNECT: {
        if (length != 4) return ExtensionParse::malformed;
        const ReconnectPolicy policy{get_u16(v), get_u16(v + 2)};
        if (policy.max_attempts < kMinReconnectAttempts ||
            policy.max_attempts > kMaxReconnectAttempts ||
            policy.first_backoff_ms < kMinReconnectBackoffMs ||
            policy.first_backoff_ms > kMaxReconnectBackoffMs)
          return ExtensionParse::malformed;
        out.reconnect = policy;
        break;
      }
      case FIELD_AUDIO_CODECS:
        if (length != 1) return ExtensionParse::malformed;
        out.audio_codecs = v[0];
        break;
      case FIELD_MIC_FORMATS:
        if (length != 1) return ExtensionParse::malformed;
        out.mic_formats = v[0];
        break;
      case FIELD_MONITORS: {
        auto layout = parse_layout(std::span(v, length));
        const LayoutProblem problem =
            layout ? monitors_problem(*layout) : LayoutProblem{MONITORS_REFUSED_MALFORMED};
        if (problem.reason) {
          out.problem = monitors_reason_text(problem.reason);
          out.problem_of = "monitors";
          return ExtensionParse::malformed;
        }
        for (Monitor& m : *layout) m = clamp_monitor(m);
        out.monitors = std::move(*layout);
        break;
      }
      case FIELD_SCALE: {
        const auto scale = parse_scale(std::span(v, length));
        if (!scale) return ExtensionParse::malformed;
        out.scale = clamp_scale(*scale);
        break;
      }
      default: {
        // A profile or gateway field, or a newer host's field.
        const std::span value(v, length);
        auto problem = read_profile_field(tag, value, out.profile);
        out.problem_of = "profile";
        if (!problem) {
          problem = read_gateway_field(tag, value, out.gateway);
          out.problem_of = "gateway";
        }
        if (problem && !problem->empty()) {
          out.problem = *problem;
          return ExtensionParse::malformed;
        }
        break;
      }
    }
    pos += length;
  }
  out.problem = gateway_problem(out.gateway);
  out.problem_of = "gateway";
  if (!out.problem.empty()) return ExtensionParse::malformed;
  out.problem_of = {};
  // Pinning to nothing would refuse every server: the host meant something else.
  if (out.cert_mode == CERT_MODE_PINNED && out.fingerprints.empty())
    return ExtensionParse::malformed;
  return ExtensionParse::ok;
}

Grant grant_extensions(const Extensions& wanted) {
  Grant g;
  if (!wanted.present) return g;
  g.mask = wanted.wanted & kKnownExtensions;
  if (g.mask & EXT_H264) {
    g.h264_codecs =
        static_cast<uint8_t>(wanted.h264_codecs.value_or(H264_AVC420) & kKnownH264Codecs);
  }
  // A microphone in no format korvane knows could never be opened.
  if (!mic_formats_of(wanted.mic_formats)) g.mask &= ~EXT_MICROPHONE;
  return g;
}

std::vector<uint8_t> encode_extensions(uint32_t mask, std::span<const ExtensionField> fields) {
  std::vector<uint8_t> out(std::begin(kExtensionMagic), std::end(kExtensionMagic));
  append_u32(out, mask);
  for (const auto& f : fields) {
    const size_t n = std::min<size_t>(f.value.size(), 0xFFFF);
    append_u16(out, f.tag);
    append_u16(out, static_cast<uint16_t>(n));
    out.insert(out.end(), f.value.begin(), f.value.begin() + static_cast<std::ptrdiff_t>(n));
  }
  return out;
}

std::vector<uint8_t> encode_grant(const Grant& grant) {
  std::vector<uint8_t> out;
  append_u32(out, grant.mask);
  out.push_back(grant.h264_codecs);
  return out;
}

std::optional<Grant> parse_grant(std::span<const uint8_t> payload) {
  if (payload.size() < 5) return std::nullopt;
  return Grant{get_u32(payload.data()), payload[4]};
}

std::vector<uint8_t> encode_h264_codec_header(const H264CodecHeader& h) {
  std::vector<uint8_t> out;
  out.reserve(kH264CodecHeaderSize);
  append_u16(out, h.codec);
  append_u16(out, 0);
  for (uint32_t v :
       {h.left, h.top, h.right, h.bottom, h.width, h.height, h.main_length, h.aux_length})
    append_u32(out, v);
  return out;
}

std::optional<H264CodecHeader> parse_h264_codec_header(std::span<const uint8_t> payload) {
  if (payload.size() < kH264CodecHeaderSize) return std::nullopt;
  const uint8_t* p = payload.data();
  H264CodecHeader h;
  h.codec = get_u16(p);
  uint32_t* fields[] = {&h.left,  &h.top,    &h.right,       &h.bottom,
                        &h.width, &h.height, &h.main_length, &h.aux_length};
  for (size_t i = 0; i < 8; ++i) *fields[i] = get_u32(p + 4 + 4 * i);
  const uint64_t body = payload.size() - kH264CodecHeaderSize;
  if (uint64_t{h.main_length} + h.aux_length != body) return std::nullopt;
  return h;
}

std::optional<DeflatedRect> parse_rect_deflate(std::span<const uint8_t> payload) {
  if (payload.size() <= kRectHeaderSize) return std::nullopt;
  const uint8_t* p = payload.data();
  DeflatedRect r;
  r.x = static_cast<int32_t>(get_u32(p));
  r.y = static_cast<int32_t>(get_u32(p + 4));
  r.w = static_cast<int32_t>(get_u32(p + 8));
  r.h = static_cast<int32_t>(get_u32(p + 12));
  if (r.w < 0 || r.h < 0) return std::nullopt;
  r.stream = payload.subspan(kRectHeaderSize);
  return r;
}

namespace {

// An AVC420 stream inside an AVC444 one: its region metablock, then Annex-B data.
std::optional<std::span<const uint8_t>> strip_metablock(std::span<const uint8_t> s) {
  if (s.size() < 4) return std::nullopt;
  const uint64_t skip = 4 + 10 * uint64_t{get_u32(s.data())};
  if (skip > s.size()) return std::nullopt;
  return s.subspan(static_cast<size_t>(skip));
}

}  // namespace

std::optional<Avc444Views> split_avc444_stream(std::span<const uint8_t> stream) {
  if (stream.size() < 4) return std::nullopt;
  const uint32_t info = get_u32(stream.data());
  const uint32_t first_size = info & 0x3FFFFFFFu;
  const uint32_t lc = info >> 30;
  const std::span<const uint8_t> rest = stream.subspan(4);
  if (first_size > rest.size()) return std::nullopt;
  const auto first = strip_metablock(rest.first(first_size));
  if (!first) return std::nullopt;
  Avc444Views v;
  switch (lc) {
    case 0: {  // the main view, then the chroma view
      const auto second = strip_metablock(rest.subspan(first_size));
      if (!second) return std::nullopt;
      v.main = *first;
      v.aux = *second;
      break;
    }
    case 1: v.main = *first; break;  // the main view only
    case 2: v.aux = *first; break;   // the chroma view only
    default: return std::nullopt;
  }
  return v;
}

std::vector<uint8_t> encode_cursor_shape_header(const CursorShapeHeader& h) {
  std::vector<uint8_t> out;
  out.reserve(kCursorShapeHeaderSize);
  for (uint32_t v : {h.id, h.hotspot_x, h.hotspot_y, h.width, h.height}) append_u32(out, v);
  return out;
}

std::optional<CursorShapeHeader> parse_cursor_shape(std::span<const uint8_t> payload) {
  if (payload.size() < kCursorShapeHeaderSize) return std::nullopt;
  const uint8_t* p = payload.data();
  CursorShapeHeader h{get_u32(p), get_u32(p + 4), get_u32(p + 8), get_u32(p + 12), get_u32(p + 16)};
  if (uint64_t{h.width} * h.height * 4 != payload.size() - kCursorShapeHeaderSize)
    return std::nullopt;
  return h;
}

std::pair<uint32_t, uint32_t> clamp_display_size(uint32_t width, uint32_t height,
                                                 const DisplayLimits& limits) {
  constexpr uint32_t kMin = 200;
  const uint32_t max_w = std::max(kMin, std::min<uint32_t>(limits.max_width, 8192));
  const uint32_t max_h = std::max(kMin, std::min<uint32_t>(limits.max_height, 8192));
  uint64_t w = std::clamp(width, kMin, max_w);
  uint64_t h = std::clamp(height, kMin, max_h);
  if (limits.max_area && w * h > limits.max_area) {
    // Shrink both sides by the same factor, never under the minimum.
    const double f = std::sqrt(static_cast<double>(limits.max_area) / static_cast<double>(w * h));
    w = std::max<uint64_t>(kMin, static_cast<uint64_t>(static_cast<double>(w) * f));
    h = std::max<uint64_t>(kMin, static_cast<uint64_t>(static_cast<double>(h) * f));
    // A side held at the minimum leaves the other to give up the rest.
    if (w * h > limits.max_area) {
      if (h == kMin)
        w = std::max<uint64_t>(kMin, limits.max_area / h);
      else if (w == kMin)
        h = std::max<uint64_t>(kMin, limits.max_area / w);
    }
  }
  w &= ~uint64_t{1};  // the channel takes even widths only
  return {static_cast<uint32_t>(w), static_cast<uint32_t>(h)};
}

std::array<uint8_t, 8> encode_resize_request(const DesktopSize& size) {
  return encode_size(size.width, size.height);
}

std::optional<ResizeRequest> parse_resize_request(std::span<const uint8_t> payload) {
  if (payload.size() < find_command(CMD_RESIZE)->min_payload) return std::nullopt;
  ResizeRequest r{*parse_size(payload), std::nullopt};
  // Bytes past the size were ignored before the scale existed; a host sends all 8 or none.
  if (payload.size() >= 16) r.scale = parse_scale(payload.subspan(8, 8));
  return r;
}

std::array<uint8_t, 4> encode_cursor_use(uint32_t id) {
  std::array<uint8_t, 4> out{};
  put_u32(out.data(), id);
  return out;
}

std::optional<uint32_t> parse_cursor_use(std::span<const uint8_t> payload) {
  if (payload.size() < 4) return std::nullopt;
  return get_u32(payload.data());
}

std::optional<PointerPosition> parse_cursor_position(std::span<const uint8_t> payload) {
  if (payload.size() < 8) return std::nullopt;
  return PointerPosition{get_u32(payload.data()), get_u32(payload.data() + 4)};
}

std::array<uint8_t, 9> encode_resize_refused(const ResizeRefused& r) {
  std::array<uint8_t, 9> out{};
  put_u32(&out[0], r.width);
  put_u32(&out[4], r.height);
  out[8] = r.reason;
  return out;
}

std::optional<ResizeRefused> parse_resize_refused(std::span<const uint8_t> payload) {
  if (payload.size() < 9) return std::nullopt;
  return ResizeRefused{get_u32(payload.data()), get_u32(payload.data() + 4), payload[8]};
}

}  // namespace korvane
