#include "wire_fuzz.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <span>

#include "display/rect_pack.hpp"
#include "drive/drive_path.hpp"
#include "host_link/audio_wire.hpp"
#include "host_link/extensions.hpp"
#include "host_link/protocol.hpp"
#include "host_link/session_extensions.hpp"

namespace korvane {

void fuzz_wire_input(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> bytes(data, size);
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
    if (encode_clip_formats(*strict) != std::vector<uint8_t>(bytes.begin(), bytes.end())) std::abort();
  }
  if (avc420_metablock_skip(bytes) >= size && size != 0) std::abort();

  // The extension block, whether it follows a connect request or stands alone.
  Extensions ext;
  for (auto trailer : {connect_trailer(bytes), bytes}) {
    const ExtensionParse r = parse_extensions(trailer, ext);
    if (r != ExtensionParse::none && !ext.present) std::abort();
    const Grant g = grant_extensions(ext);
    if (g.mask & ~kKnownExtensions) std::abort();
    if (g.h264_codecs & ~kKnownH264Codecs) std::abort();
    if (connect_trailer(bytes).size() > size) std::abort();
  }
  // Every extension command, as the input thread reads it.
  if (size >= 1) {
    if (auto min = min_extension_command_payload(data[0], kKnownExtensions)) {
      if (size - 1 >= *min && data[0] == CMD_RESIZE) {
        const auto [w, h] = clamp_display_size(get_u32(data + 1), get_u32(data + 5),
                                               DisplayLimits{8192, 8192, size * 4096});
        if (w < 200 || h < 200 || w > 8192 || h > 8192 || (w & 1)) std::abort();
      }
    }
  }
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
  if (auto list = parse_fingerprints(
          std::string_view(reinterpret_cast<const char*>(data), size))) {
    if (list->empty()) std::abort();
  }
  if (size >= 5) {
    if (auto min = min_session_command_payload(data[0], kKnownExtensions); min && size - 1 >= *min) {
      if (data[0] == CMD_UNICODE) {
        const uint32_t cp = get_u32(data + 1);
        const auto units = utf16_units(cp);
        const bool valid = cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF);
        if (units.empty() == valid) std::abort();
        if (units.size() == 2 && !(units[0] >= 0xD800 && units[0] <= 0xDBFF)) std::abort();
      }
    }
    EndFacts f;
    f.last_error = get_u32(data + 1);
    f.error_info = size >= 9 ? get_u32(data + 5) : 0;
    f.host_requested = data[0] & 1;
    f.security_up = data[0] & 2;
    if (static_cast<uint8_t>(classify_end(f)) > static_cast<uint8_t>(EndCategory::bad_request))
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
        const bool ends = i + 6 == size || (i + 8 <= size && ((data[i + 6] == '\\' ||
                                                                data[i + 6] == '/' ||
                                                                data[i + 6] == 0) &&
                                                               data[i + 7] == 0));
        if (ends) std::abort();
      }
    }
  }
}

}  // namespace korvane

#ifdef KORVANE_LIBFUZZER
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  korvane::fuzz_wire_input(data, size);
  return 0;
}
#endif
