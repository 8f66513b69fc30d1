#include "wire_fuzz.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>

#include "display/rect_pack.hpp"
#include "drive/drive_path.hpp"
#include "host_link/audio_wire.hpp"
#include "host_link/clip_files.hpp"
#include "host_link/recording.hpp"
#include "host_link/extensions.hpp"
#include "host_link/gateway.hpp"
#include "host_link/mic_wire.hpp"
#include "host_link/protocol.hpp"
#include "host_link/registry.hpp"
#include "host_link/session_extensions.hpp"

namespace korvane {

namespace {

struct ByteCursor {
  std::span<const uint8_t> rest;
};

// A gateway taken is within its bounds: its address reads back the same when written out again,
// one way of logging on at most.
void check_gateway(const Gateway& g) {
  if (!gateway_problem(g).empty()) std::abort();
  if (g.transport && *g.transport > GATEWAY_TRANSPORT_RPC) std::abort();
  if (g.bearer && (g.bearer->empty() || g.bearer->size() > kMaxGatewayTokenBytes ||
                   std::any_of(g.bearer->begin(), g.bearer->end(), [](char c) {
                     return static_cast<uint8_t>(c) <= 0x20 || static_cast<uint8_t>(c) >= 0x7F;
                   })))
    std::abort();
  if (!g.host) return;
  if (g.host->empty() || g.port == 0) std::abort();
  const bool brackets = g.host->find(':') != std::string::npos || g.host->front() == '[';
  std::string text = brackets ? "[" + *g.host + "]" : *g.host;
  if (g.port != kDefaultGatewayPort) text += ":" + std::to_string(g.port);
  const auto again = parse_gateway_address(text);
  if (!again || again->host != *g.host || again->port != g.port) std::abort();
}

bool read_from_cursor(void* context, uint8_t* buffer, size_t count) {
  auto& cursor = *static_cast<ByteCursor*>(context);
  if (cursor.rest.size() < count) return false;
  std::memcpy(buffer, cursor.rest.data(), count);
  cursor.rest = cursor.rest.subspan(count);
  return true;
}

// Whether the command's parser reads the payload. The input thread reads an accepted command's
// fields without checking again, so a parser must take every payload the table lets through.
bool command_parses(uint8_t type, std::span<const uint8_t> p) {
  switch (type) {
    case CMD_CONNECT: {
      ConnectParams params;
      Extensions ext;
      // Any connect request may be refused: the point is that reading it is safe.
      parse_connect(p, params);
      parse_extensions(connect_trailer(p), ext);
      return true;
    }
    case CMD_MOUSE_MOVE: return parse_mouse_move(p).has_value();
    case CMD_MOUSE_BUTTON: return parse_mouse_button(p).has_value();
    case CMD_MOUSE_WHEEL: return parse_mouse_wheel(p).has_value();
    case CMD_KEY: return parse_key(p).has_value();
    case CMD_DISCONNECT:
    case CMD_CURSOR_STATE:
    case CMD_REFRESH: return true;  // no fields
    case CMD_CLIP_FORMATS:          // a list declaring too many formats is refused whole
      return parse_clip_formats(p, 4096).has_value() || get_u32(p.data()) > 4096;
    case CMD_CLIP_DATA: return parse_clip_data(p).has_value();
    case CMD_CLIP_REQUEST: return parse_clip_request(p).has_value();
    case CMD_RESIZE: {
      const auto r = parse_resize_request(p);
      if (!r) return false;
      const auto [w, h] = clamp_display_size(r->size.width, r->size.height,
                                             DisplayLimits{8192, 8192, p.size() * 4096});
      if (w < 200 || h < 200 || w > 8192 || h > 8192 || (w & 1)) std::abort();
      const Scale s = clamp_scale(r->scale.value_or(Scale{}));
      if (s.desktop < 100 || s.desktop > 500 ||
          (s.device != 100 && s.device != 140 && s.device != 180))
        std::abort();
      return true;
    }
    case CMD_MONITORS: {
      const auto layout = parse_layout(p);
      if (!layout) return false;
      if (monitors_problem(*layout).reason) return true;
      // A layout that passes is one desktop korvane can draw, and reads back as it was written.
      const Extent e = layout_extent(*layout);
      if (e.width > kMaxDesktopSide || e.height > kMaxDesktopSide) std::abort();
      if (parse_layout(encode_layout(in_desktop_frame(*layout)))->size() != layout->size())
        std::abort();
      return true;
    }
    case CMD_CERT_VERDICT:
    case CMD_GATEWAY_VERDICT:  // the same byte: 1 accepts, anything else rejects
      return parse_cert_verdict(p).has_value();
    case CMD_UNICODE: {
      const auto key = parse_unicode(p);
      if (!key) return false;
      const uint32_t cp = key->code_point;
      const auto units = utf16_units(cp);
      const bool valid = cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF);
      if (units.empty() == valid) std::abort();
      if (units.size() == 2 && !(units[0] >= 0xD800 && units[0] <= 0xDBFF)) std::abort();
      return true;
    }
    case CMD_SYNC_LOCKS: return parse_sync_locks(p).has_value();
    case CMD_AUDIO_IN: {
      const auto b = parse_audio_in(p);
      if (!b) return false;
      // Whatever the block, a length korvane takes is within what one block may last, and the
      // pacer never lets the host further ahead than its lead.
      for (const uint16_t tag : {AUDIO_TAG_PCM, AUDIO_TAG_OPUS}) {
        const AudioFormat open{
            tag, b->channels, b->samples_per_sec, 0, static_cast<uint16_t>(b->channels * 2),
            16,  {}};
        const auto us = mic_block_us(open, b->bytes);
        if (tag == AUDIO_TAG_OPUS && us && *us > 120000) std::abort();
        MicPacer pacer;
        pacer.open(0, 20000);
        if (us && pacer.offer(*us, 0) && pacer.sent_us > kMicLeadUs) std::abort();
      }
      return true;
    }
    case CMD_CLIP_FILE_REQUEST: {
      const auto r = parse_file_request(p);
      if (!r) return false;
      // What parses encodes back to the same bytes, and the bookkeeping takes it or says why.
      const auto again = encode_file_request(*r);
      if (!std::equal(again.begin(), again.end(), p.begin())) std::abort();
      FileStreams streams;
      if (streams.open(*r, {}) == FileRefusal::none && streams.waiting.size() != 1) std::abort();
      return true;
    }
    case CMD_CLIP_FILE_DATA: return parse_file_data(p).has_value();
    case CMD_CLIP_LOCK: {
      const auto l = parse_clip_lock(p);
      if (l && encode_clip_lock(*l)[4] != (p[4] == 1 ? 1 : 0)) std::abort();
      return l.has_value();
    }
    default: std::abort();  // a command in the table without a parser here
  }
}

// The bytes as the input thread reads them: frames, each looked up once and parsed.
uint64_t fuzz_host_frames(std::span<const uint8_t> bytes) {
  uint64_t accepted = 0;
  ByteCursor cursor{bytes};
  // Each frame takes at least its header: the loop ends.
  while (auto frame = read_frame_from(read_from_cursor, &cursor)) {
    const std::span<const uint8_t> p = frame->payload;
    const CommandInfo* all = accepted_command(frame->type, kKnownExtensions, p.size());
    const CommandInfo* base = accepted_command(frame->type, 0, p.size());
    if (base && (base != all || base->extension != 0)) std::abort();
    if (!all) continue;
    accepted |= uint64_t{1} << frame->type;
    if (!command_parses(frame->type, p)) std::abort();
    // One byte short of the table's minimum, the parser refuses too.
    if (all->min_payload > 0 && all->type != CMD_CLIP_FORMATS && all->type != CMD_CONNECT &&
        command_parses(frame->type, p.first(all->min_payload - 1)))
      std::abort();
  }
  return accepted;
}

}  // namespace

uint64_t fuzz_wire_input(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> bytes(data, size);
  const uint64_t commands = fuzz_host_frames(bytes);
  ConnectParams params;
  if (parse_connect(bytes, params)) {
    // Every text the parser keeps is terminated within its field.
    if (!std::memchr(params.host, 0, sizeof params.host) ||
        !std::memchr(params.password, 0, sizeof params.password) ||
        !std::memchr(params.drive_path, 0, sizeof params.drive_path))
      std::abort();
  }
  if (auto list = parse_clip_formats(bytes, 4096)) {
    if (list->formats.size() != list->declared) std::abort();
    for (const auto& f : list->formats)
      if (f.name.size() > size) std::abort();
  }
  if (auto strict = parse_clip_formats_strict(bytes)) {
    // What parses strictly encodes back to the same bytes.
    if (encode_clip_formats(*strict) != std::vector<uint8_t>(bytes.begin(), bytes.end()))
      std::abort();
  }
  if (avc420_metablock_skip(bytes) >= size && size != 0) std::abort();

  // A recording's header, a block header and a block's records, as the reader meets them.
  RecordingProblem rec_problem;
  if (const auto h = parse_recording_header(bytes, rec_problem);
      h && h->version > kRecordingVersion)
    std::abort();
  if (const auto b = parse_block_header(bytes, rec_problem); b && b->plain > kMaxBlockPlain)
    std::abort();
  if (const auto records = parse_records(bytes)) {
    size_t total = 0;
    for (const Record& r : *records) total += kRecordHeaderSize + r.payload.size();
    if (total != size) std::abort();
  }

  // The extension block, whether it follows a connect request or stands alone.
  Extensions ext;
  for (auto trailer : {connect_trailer(bytes), bytes}) {
    const ExtensionParse r = parse_extensions(trailer, ext);
    if (r != ExtensionParse::none && !ext.present) std::abort();
    const Grant g = grant_extensions(ext);
    if (g.mask & ~kKnownExtensions) std::abort();
    if (g.h264_codecs & ~kKnownH264Codecs) std::abort();
    if (connect_trailer(bytes).size() > size) std::abort();
    // A profile taken is within its bounds; one refused says why.
    const Profile& pr = ext.profile;
    if (r == ExtensionParse::ok) {
      // A layout taken is one korvane can draw, clamped as the protocol clamps.
      if (ext.monitors && (monitors_problem(*ext.monitors).reason ||
                           std::ranges::any_of(*ext.monitors, [](const Monitor& m) {
                             return clamp_monitor(m) != m;
                           })))
        std::abort();
      if (ext.scale && clamp_scale(*ext.scale) != *ext.scale) std::abort();
      if (pr.client_name && utf16_units_of(*pr.client_name) > kMaxClientNameUnits) std::abort();
      if (pr.shell && !utf16_units_of(*pr.shell)) std::abort();
      if (pr.color_depth && *pr.color_depth != 15 && *pr.color_depth != 16 &&
          *pr.color_depth != 24 && *pr.color_depth != 32)
        std::abort();
      if (pr.performance_flags && (*pr.performance_flags & ~kKnownPerformanceFlags)) std::abort();
      if (pr.rdp_file && (pr.rdp_file->empty() || pr.rdp_file->size() > kMaxRdpFileBytes))
        std::abort();
      if (!ext.problem.empty()) std::abort();
      check_gateway(ext.gateway);
    }
    if (!ext.problem.empty() && ext.problem_of != "profile" && ext.problem_of != "gateway")
      std::abort();
  }
  // One gateway field, its tag from the first byte: a value taken is within its bounds.
  if (size >= 1) {
    Gateway g;
    const auto value = bytes.subspan(1);
    const auto problem =
        read_gateway_field(static_cast<uint16_t>(FIELD_GATEWAY + data[0] % 7), value, g);
    if (!problem) std::abort();  // every tag from FIELD_GATEWAY to FIELD_GATEWAY_FINGERPRINTS
    if (problem->empty()) {
      check_gateway(g);
      if (g.credentials && encode_gateway_credentials(*g.credentials) !=
                               std::vector<uint8_t>(value.begin(), value.end()))
        std::abort();
      if (g.bypass_local && (value.size() != 1 || value[0] != *g.bypass_local)) std::abort();
      if (g.paa && (g.paa->empty() || g.paa->size() != value.size())) std::abort();
    }
  }
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (auto a = parse_gateway_address(text))
    check_gateway(Gateway{.host = a->host, .port = a->port});
  if (auto m = parse_gateway_message(bytes)) {
    if (m->kind != GATEWAY_MSG_CONSENT && m->kind != GATEWAY_MSG_SERVICE) std::abort();
    if (encode_gateway_message(*m) != std::vector<uint8_t>(bytes.begin(), bytes.end()))
      std::abort();
  }
  // An .rdp text is given to the library whole, or refused with a reason.
  std::string_view problem;
  const auto rdp = rdp_text_for_library(bytes, problem);
  if (rdp.has_value() == !problem.empty() || (rdp && rdp->size() > size)) std::abort();
  // The audio events, as a host reads them: what parses encodes back to the same bytes.
  if (auto f = parse_audio_format(bytes)) {
    if (encode_audio_format(*f) != std::vector<uint8_t>(bytes.begin(), bytes.end())) std::abort();
    const bool taken = audio_format_taken(*f, kKnownAudioCodecs);
    if (taken && f->tag == AUDIO_TAG_PCM && f->block_align != f->channels * 2) std::abort();
    if (audio_block_ms(*f, size) > 10000) std::abort();
    if (pcm_format_like(*f).tag != AUDIO_TAG_PCM) std::abort();
  }
  if (auto d = parse_audio_data(bytes)) {
    if (d->bytes.size() + kAudioDataHeaderSize != size) std::abort();
    const auto h = encode_audio_data_header(d->sequence, d->time_ms);
    if (!std::equal(h.begin(), h.end(), bytes.begin())) std::abort();
  }
  if (auto v = parse_audio_volume(bytes)) {
    if (encode_audio_volume(*v) != std::vector<uint8_t>(bytes.begin(), bytes.end())) std::abort();
  }
  if (auto views = split_avc444_stream(bytes)) {
    if (views->main.size() + views->aux.size() > size) std::abort();
  }
  if (auto h = parse_h264_codec_header(bytes)) {
    if (kH264CodecHeaderSize + uint64_t{h->main_length} + h->aux_length != size) std::abort();
  }
  if (auto r = parse_rect_deflate(bytes)) {
    if (r->w < 0 || r->h < 0 || r->stream.empty() || kRectHeaderSize + r->stream.size() != size)
      std::abort();
  }
  // The events a host reads by their fixed fields: what parses starts with what encodes back.
  auto starts_with = [&bytes](std::span<const uint8_t> head) {
    return head.size() <= bytes.size() && std::equal(head.begin(), head.end(), bytes.begin());
  };
  if (auto s = parse_size(bytes); s && !starts_with(encode_size(s->width, s->height))) std::abort();
  if (auto h = parse_h264(bytes); h && !starts_with(encode_h264_header(*h))) std::abort();
  if (auto r = parse_resize_refused(bytes); r && !starts_with(encode_resize_refused(*r)))
    std::abort();
  if (auto id = parse_cursor_use(bytes); id && !starts_with(encode_cursor_use(*id))) std::abort();
  if (auto m = parse_cursor_position(bytes); m && !starts_with(encode_size(m->x, m->y)))
    std::abort();
  if (auto c = parse_clip_data(bytes); c && !starts_with(encode_clip_data_header(c->format)))
    std::abort();
  if (auto r = parse_refused(bytes);
      r && !starts_with(encode_refused(r->command, r->reason, r->value)))
    std::abort();
  if (auto g = parse_progress(bytes); g && !starts_with(encode_progress(g->step, g->a, g->b)))
    std::abort();
  if (auto r = parse_rect(bytes); r && r->pixels.size() + kRectHeaderSize != size) std::abort();
  // The session extensions' messages, both directions.
  if (auto q = parse_certificate_question(bytes)) {
    if (encode_certificate_question(*q) != std::vector<uint8_t>(bytes.begin(), bytes.end()))
      std::abort();
  }
  if (auto r = parse_end_reason(bytes)) {
    if (encode_end_reason(*r) != std::vector<uint8_t>(bytes.begin(), bytes.end())) std::abort();
  }
  if (auto r = parse_reconnect(bytes)) {
    const auto again = encode_reconnect(r->state, r->attempt, r->max_attempts);
    if (!std::equal(again.begin(), again.end(), bytes.begin(), bytes.end())) std::abort();
  }
  if (size >= 8) {
    const ReconnectPolicy policy{get_u16(data), get_u16(data + 2)};
    if (reconnect_delay_ms(policy, get_u32(data + 4)) > kMaxReconnectDelayMs) std::abort();
  }
  if (auto list = parse_fingerprints(std::string_view(reinterpret_cast<const char*>(data), size))) {
    if (list->empty()) std::abort();
  }
  if (size >= 5) {
    EndFacts f;
    f.last_error = get_u32(data + 1);
    f.error_info = size >= 9 ? get_u32(data + 5) : 0;
    f.host_requested = data[0] & 1;
    f.security_up = data[0] & 2;
    if (static_cast<uint8_t>(classify_end(f)) > static_cast<uint8_t>(EndCategory::bad_request))
      std::abort();
    // Through a gateway: a gateway category only with a gateway's facts; its refusals are not
    // tried again, a broken tunnel is.
    f.gateway = data[0] & 4;
    f.gateway_certificate_rejected = data[0] & 8;
    f.gateway_message_refused = data[0] & 16;
    const EndCategory c = classify_end(f);
    if (static_cast<uint8_t>(c) > static_cast<uint8_t>(EndCategory::gateway_message_refused))
      std::abort();
    if (!(data[0] & 0x1C) && c >= EndCategory::gateway_unreachable) std::abort();
    const bool refusal =
        c == EndCategory::gateway_auth_failed || c == EndCategory::gateway_resource_refused ||
        c == EndCategory::gateway_certificate_rejected || c == EndCategory::gateway_message_refused;
    if (refusal != reconnect_hopeless(f) && c >= EndCategory::gateway_unreachable) std::abort();
    if ((f.gateway_certificate_rejected || f.gateway_message_refused) && connection_dropped(f))
      std::abort();
  }
  if (auto shape = parse_cursor_shape(bytes)) {
    if (kCursorShapeHeaderSize + uint64_t{shape->width} * shape->height * 4 != size) std::abort();
  }
  if (drive_path_acceptable(bytes)) {
    // An accepted path starts at the folder and never names its parent: no ".." component
    // survives, whatever the separators.
    if (size >= 2 && !(size == 2 && data[0] == 0 && data[1] == 0) &&
        !((data[0] == '\\' || data[0] == '/') && data[1] == 0))
      std::abort();
    for (size_t i = 0; i + 6 <= size; i += 2) {
      const bool sep_before = (data[i] == '\\' || data[i] == '/') && data[i + 1] == 0;
      if (sep_before && data[i + 2] == '.' && data[i + 3] == 0 && data[i + 4] == '.' &&
          data[i + 5] == 0) {
        const bool ends =
            i + 6 == size ||
            (i + 8 <= size &&
             ((data[i + 6] == '\\' || data[i + 6] == '/' || data[i + 6] == 0) && data[i + 7] == 0));
        if (ends) std::abort();
      }
    }
  }
  return commands;
}

}  // namespace korvane

#ifdef KORVANE_LIBFUZZER
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  korvane::fuzz_wire_input(data, size);
  return 0;
}
#endif
