#include "policy.hpp"

#include <algorithm>
#include <cstdio>

#include "host_link/audio_wire.hpp"
#include "host_link/clip_files.hpp"
#include "host_link/extensions.hpp"
#include "host_link/mic_wire.hpp"
#include "host_link/monitors.hpp"
#include "host_link/protocol.hpp"
#include "host_link/registry.hpp"
#include "host_link/session_extensions.hpp"

namespace korvane::web {

std::string_view to_string(PageVerdict verdict) {
  switch (verdict) {
    case PageVerdict::allowed: return "allowed";
    case PageVerdict::not_framed: return "not one frame";
    case PageVerdict::gateway_only: return "the gateway's own";
    case PageVerdict::host_only: return "not the page's to answer";
    case PageVerdict::not_asked: return "extension not asked for";
    case PageVerdict::unknown: return "unknown type";
    case PageVerdict::too_long: return "too long";
  }
  return "?";
}

PageVerdict page_command_verdict(uint8_t type, size_t payload) {
  const CommandInfo* command = find_command(type);
  if (!command) return PageVerdict::unknown;
  if (type == CMD_CONNECT) return PageVerdict::gateway_only;
  if (type == CMD_CERT_VERDICT) return PageVerdict::host_only;
  // A command of an extension the gateway never asks for would only be dropped by korvane. The
  // gateway extension is asked for by the targets that name a Remote Desktop Gateway, and then
  // the person at the page is the one to consent to its message; for another target korvane
  // drops the verdict.
  if (!command_granted(*command, gateway_extensions() | kPageChosenExtensions) &&
      type != CMD_GATEWAY_VERDICT)
    return PageVerdict::not_asked;
  // Clipboard contents, a file's range and the microphone's blocks are the only large things a
  // page sends.
  const bool clipboard = type == CMD_CLIP_FORMATS || type == CMD_CLIP_DATA;
  const size_t limit = clipboard                    ? kMaxClipboard
                       : type == CMD_CLIP_FILE_DATA ? kFileDataHeaderSize + kMaxFileRange
                       : type == CMD_RESIZE         ? kMaxResizePayload
                       : type == CMD_AUDIO_IN       ? kAudioInHeaderSize + kMicMaxBlockBytes
                                                    : kMaxInputPayload;
  return payload <= limit ? PageVerdict::allowed : PageVerdict::too_long;
}

PageVerdict page_message_verdict(bool binary, std::span<const uint8_t> message) {
  if (!binary || message.size() < kFrameHeaderSize) return PageVerdict::not_framed;
  const FrameHeader header = decode_header(message.first<kFrameHeaderSize>());
  if (header.length != message.size() - kFrameHeaderSize) return PageVerdict::not_framed;
  return page_command_verdict(header.type, header.length);
}

uint32_t gateway_extensions() {
  return EXT_CURSOR | EXT_RESIZE | EXT_STATUS | EXT_TEXT | EXT_CHANGED_ONLY | EXT_DEFLATE;
}

uint8_t page_audio_codecs(std::string_view names) {
  uint8_t bits = 0;
  while (!names.empty()) {
    const size_t comma = std::min(names.find(','), names.size());
    const std::string_view name = names.substr(0, comma);
    bits = static_cast<uint8_t>(bits | (name == "aac"    ? AUDIO_CODEC_AAC
                                        : name == "opus" ? AUDIO_CODEC_OPUS
                                        : name == "mp3"  ? AUDIO_CODEC_MP3
                                                         : 0));
    names.remove_prefix(std::min(comma + 1, names.size()));
  }
  return bits;
}

std::vector<uint8_t> gateway_extension_block(const Target& target, bool h264,
                                             std::optional<uint32_t> scale,
                                             const PageChoices& choices) {
  // Refresh is the gateway's, not the page's: a viewer that joins or fell behind is sent the
  // whole picture.
  uint32_t mask = gateway_extensions() | EXT_REFRESH;
  std::vector<ExtensionField> fields;
  if (choices.play) {
    mask |= EXT_AUDIO;
    if (choices.codecs) fields.push_back({FIELD_AUDIO_CODECS, {choices.codecs}});
  }
  // The page's worklet gives 48 kHz, mono or stereo as the server opens it.
  if (choices.microphone) {
    mask |= EXT_MICROPHONE;
    fields.push_back({FIELD_MIC_FORMATS, {MIC_PCM_48000_MONO | MIC_PCM_48000_STEREO}});
  }
  if (choices.files) mask |= EXT_FILES;
  if (h264) {
    mask |= EXT_H264;
    fields.push_back({FIELD_H264_CODECS, {H264_AVC420}});
  }
  std::vector<uint8_t> timeout;
  append_u32(timeout, 30000);
  fields.push_back({FIELD_CONNECT_TIMEOUT, timeout});
  // A browser gives one ratio of device to CSS pixels; the server gets it as the desktop's scale,
  // and as the nearest device scale it knows.
  if (scale) fields.push_back({FIELD_SCALE, encode_scale(clamp_scale({*scale, *scale}))});
  if (!target.fingerprints.empty()) {
    mask |= EXT_CERTIFICATE;
    fields.push_back({FIELD_CERT_MODE, {CERT_MODE_PINNED}});
    const std::string& pins = target.fingerprints;
    fields.push_back({FIELD_CERT_FINGERPRINTS, std::vector<uint8_t>(pins.begin(), pins.end())});
  }
  if (target.keyboard_layout) {
    std::vector<uint8_t> v;
    append_u32(v, *target.keyboard_layout);
    fields.push_back({FIELD_KEYBOARD_LAYOUT, v});
  }
  // The profile is the configuration's alone: nothing the page sends reaches it.
  if (!target.profile.empty()) {
    mask |= fields_extensions(target.profile);
    for (auto& f : profile_extension_fields(target.profile)) fields.push_back(std::move(f));
  }
  return encode_extensions(mask, fields);
}

std::string recording_name(const std::string& target, int64_t unix_s, uint64_t id) {
  // Civil date from days since 1970-01-01 (Howard Hinnant's algorithm).
  const int64_t days = unix_s >= 0 ? unix_s / 86400 : (unix_s - 86399) / 86400;
  const int64_t secs = unix_s - days * 86400;
  const int64_t z = days + 719468, era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097, yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100), mp = (5 * doy + 2) / 153;
  const int64_t d = doy - (153 * mp + 2) / 5 + 1, m = mp < 10 ? mp + 3 : mp - 9;
  const int64_t y = yoe + era * 400 + (m <= 2);
  char stamp[96];
  std::snprintf(stamp, sizeof stamp, "%04lld%02lld%02lld-%02lld%02lld%02lld",
                static_cast<long long>(y), static_cast<long long>(m), static_cast<long long>(d),
                static_cast<long long>(secs / 3600), static_cast<long long>(secs / 60 % 60),
                static_cast<long long>(secs % 60));
  return target + "-" + stamp + "-" + std::to_string(id) + ".kvr";
}

bool is_recording_of(const std::string& target, const std::string& name) {
  // The stamp's fixed shape after the name keeps "a" from taking "a-b"'s recordings.
  const size_t n = target.size();
  if (name.size() < n + 22 || name.compare(0, n, target) != 0 || name[n] != '-' ||
      name[n + 9] != '-' || name[n + 16] != '-' || !name.ends_with(".kvr"))
    return false;
  // The session's number ends it: nothing else, so that a name is never a path.
  for (size_t i = n + 1; i < name.size() - 4; ++i)
    if (i != n + 9 && i != n + 16 && (name[i] < '0' || name[i] > '9')) return false;
  return true;
}

std::vector<std::string> recordings_to_prune(std::vector<RecordingFile> files, uint64_t max_mb,
                                             uint32_t max_days) {
  std::sort(files.begin(), files.end(),
            [](const RecordingFile& a, const RecordingFile& b) { return a.name < b.name; });
  uint64_t total = 0;
  for (const auto& f : files) total += f.bytes;
  std::vector<std::string> out;
  for (const auto& f : files) {
    if (f.age_s <= int64_t{max_days} * 86400 && total <= max_mb << 20) continue;
    out.push_back(f.name);
    total -= f.bytes;
  }
  return out;
}

bool viewer_may_send(bool input, uint8_t type) { return input && is_input_command(type); }

std::optional<ShareRequest> parse_share_request(std::string_view text) {
  ShareRequest r;
  if (text.starts_with("revoke ")) {
    r.revoke = true;
    r.token = std::string(text.substr(7));
    const bool hex =
        r.token.size() == 32 && r.token.find_first_not_of("0123456789abcdef") == std::string::npos;
    return hex ? std::optional(r) : std::nullopt;
  }
  std::string_view rest;
  if (text.starts_with("share view "))
    rest = text.substr(11);
  else if (text.starts_with("share input ")) {
    r.input = true;
    rest = text.substr(12);
  } else
    return std::nullopt;
  if (rest.empty() || rest.size() > 4 || rest.find_first_not_of("0123456789") != rest.npos)
    return std::nullopt;
  r.minutes = std::stoi(std::string(rest));
  if (r.minutes < 1 || r.minutes > kMaxShareMinutes) return std::nullopt;
  return r;
}

bool h264_key_frame(std::span<const uint8_t> payload) {
  const auto h = parse_h264_codec_header(payload);
  if (!h) return false;
  const auto main = payload.subspan(kH264CodecHeaderSize, h->main_length);
  // Annex B: a NAL unit follows each 00 00 01; type 5 is an IDR slice.
  for (size_t i = 0; i + 3 < main.size(); ++i)
    if (main[i] == 0 && main[i + 1] == 0 && main[i + 2] == 1 && (main[i + 3] & 0x1F) == 5)
      return true;
  return false;
}

}  // namespace korvane::web
