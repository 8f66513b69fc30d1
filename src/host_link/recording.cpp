#include "host_link/recording.hpp"

#include <algorithm>

#include "host_link/protocol.hpp"
#include "host_link/registry.hpp"

namespace korvane {

namespace {

constexpr uint8_t kMagic[8] = {'K', 'V', 'R', 'E', 'C', '\r', '\n', 0x1A};
constexpr uint8_t kBlockMagic[4] = {'K', 'V', 'R', 'B'};

uint64_t get_u64(const uint8_t* p) { return uint64_t{get_u32(p)} | uint64_t{get_u32(p + 4)} << 32; }

void put_u64(uint8_t* p, uint64_t v) {
  put_u32(p, static_cast<uint32_t>(v));
  put_u32(p + 4, static_cast<uint32_t>(v >> 32));
}

}  // namespace

std::optional<uint32_t> parse_record_what(std::string_view names) {
  uint32_t what = 0;
  for (;;) {
    const size_t comma = std::min(names.find(','), names.size());
    const std::string_view name = names.substr(0, comma);
    const uint32_t bit = name == "picture"     ? REC_PICTURE
                         : name == "cursor"    ? REC_CURSOR
                         : name == "sound"     ? REC_SOUND
                         : name == "clipboard" ? REC_CLIPBOARD
                         : name == "input"     ? REC_INPUT
                                               : 0u;
    if (!bit) return std::nullopt;
    what |= bit;
    if (comma == names.size()) return what;
    names.remove_prefix(comma + 1);
  }
}

bool recorded(uint32_t what, bool from_host, uint8_t type) {
  if (from_host) {
    if (is_input_command(type)) return (what & REC_INPUT) != 0;
    switch (type) {
      case CMD_CLIP_FORMATS:
      case CMD_CLIP_DATA:
      case CMD_CLIP_REQUEST:
      case CMD_CLIP_FILE_REQUEST:
      case CMD_CLIP_FILE_DATA:
      case CMD_CLIP_LOCK: return (what & REC_CLIPBOARD) != 0;
      case CMD_AUDIO_IN: return (what & REC_SOUND) != 0;
      case CMD_RESIZE:
      case CMD_MONITORS:
      case CMD_REFRESH: return (what & REC_PICTURE) != 0;
      default: return false;  // the connect request, verdicts, the end
    }
  }
  switch (type) {
    case EVT_CONNECTED:
    case EVT_RECT:
    case EVT_RESIZE:
    case EVT_H264:
    case EVT_H264_CODEC:
    case EVT_RECT_DEFLATE:
    case EVT_RESIZE_REFUSED:
    case EVT_MONITORS:
    case EVT_MONITORS_REFUSED: return (what & REC_PICTURE) != 0;
    case EVT_CURSOR_SHAPE:
    case EVT_CURSOR_USE:
    case EVT_CURSOR_HIDDEN:
    case EVT_CURSOR_DEFAULT:
    case EVT_CURSOR_POSITION: return (what & REC_CURSOR) != 0;
    case EVT_AUDIO_FORMAT:
    case EVT_AUDIO_DATA:
    case EVT_AUDIO_VOLUME:
    case EVT_MIC_OPEN:
    case EVT_MIC_CLOSED: return (what & REC_SOUND) != 0;
    case EVT_CLIP_FORMATS:
    case EVT_CLIP_DATA:
    case EVT_CLIP_FILE_DATA:
    case EVT_CLIP_FILE_REQUEST:
    case EVT_CLIP_LOCK: return (what & REC_CLIPBOARD) != 0;
    case EVT_CERTIFICATE:
    case EVT_GATEWAY_MESSAGE: return false;  // questions for the host, not the session
    default: return true;                    // the session's own: extensions, progress, its end
  }
}

std::array<uint8_t, kRecordingHeaderSize> encode_recording_header(const RecordingHeader& h) {
  std::array<uint8_t, kRecordingHeaderSize> out{};
  std::copy(std::begin(kMagic), std::end(kMagic), out.begin());
  put_u16(out.data() + 8, h.version);
  put_u16(out.data() + 10, kRecordingHeaderSize);
  put_u32(out.data() + 12, h.what);
  put_u64(out.data() + 16, h.started_ms);
  return out;
}

const char* to_string(RecordingProblem problem) {
  switch (problem) {
    case RecordingProblem::none: return "none";
    case RecordingProblem::not_a_recording: return "not a korvane recording";
    case RecordingProblem::newer_version: return "a newer version than this reader knows";
    case RecordingProblem::cut: return "cut inside a block";
    case RecordingProblem::corrupt: return "a corrupt block";
  }
  return "?";
}

std::optional<RecordingHeader> parse_recording_header(std::span<const uint8_t> bytes,
                                                      RecordingProblem& problem,
                                                      size_t* header_size) {
  problem = RecordingProblem::not_a_recording;
  if (bytes.size() < kRecordingHeaderSize ||
      !std::equal(std::begin(kMagic), std::end(kMagic), bytes.begin()))
    return std::nullopt;
  const size_t size = get_u16(bytes.data() + 10);
  if (size < kRecordingHeaderSize) return std::nullopt;
  RecordingHeader h;
  h.version = get_u16(bytes.data() + 8);
  if (h.version == 0) return std::nullopt;
  if (h.version > kRecordingVersion) {
    problem = RecordingProblem::newer_version;
    return std::nullopt;
  }
  h.what = get_u32(bytes.data() + 12);
  h.started_ms = get_u64(bytes.data() + 16);
  if (header_size) *header_size = size;
  problem = RecordingProblem::none;
  return h;
}

std::array<uint8_t, kBlockHeaderSize> encode_block_header(const BlockHeader& b) {
  std::array<uint8_t, kBlockHeaderSize> out{};
  std::copy(std::begin(kBlockMagic), std::end(kBlockMagic), out.begin());
  put_u32(out.data() + 4, b.stored);
  put_u32(out.data() + 8, b.plain);
  return out;
}

std::optional<BlockHeader> parse_block_header(std::span<const uint8_t> bytes,
                                              RecordingProblem& problem) {
  if (bytes.size() < kBlockHeaderSize) {
    problem = RecordingProblem::cut;
    return std::nullopt;
  }
  const BlockHeader b{get_u32(bytes.data() + 4), get_u32(bytes.data() + 8)};
  if (!std::equal(std::begin(kBlockMagic), std::end(kBlockMagic), bytes.begin()) ||
      b.plain > kMaxBlockPlain) {
    problem = RecordingProblem::corrupt;
    return std::nullopt;
  }
  problem = RecordingProblem::none;
  return b;
}

void append_record(std::vector<uint8_t>& plain, uint64_t time_us, bool from_host, uint8_t type,
                   std::span<const uint8_t> payload) {
  const size_t at = plain.size();
  plain.resize(at + kRecordHeaderSize + payload.size());
  put_u64(plain.data() + at, time_us);
  plain[at + 8] = from_host ? 1 : 0;
  plain[at + 9] = type;
  put_u32(plain.data() + at + 10, static_cast<uint32_t>(payload.size()));
  std::copy(payload.begin(), payload.end(),
            plain.begin() + static_cast<long>(at + kRecordHeaderSize));
}

std::optional<std::vector<Record>> parse_records(std::span<const uint8_t> plain) {
  std::vector<Record> out;
  for (size_t at = 0; at < plain.size();) {
    if (plain.size() - at < kRecordHeaderSize) return std::nullopt;
    const uint8_t* p = plain.data() + at;
    const size_t length = get_u32(p + 10);
    if (length > plain.size() - at - kRecordHeaderSize) return std::nullopt;
    out.push_back({get_u64(p), p[8] != 0, p[9], plain.subspan(at + kRecordHeaderSize, length)});
    at += kRecordHeaderSize + length;
  }
  return out;
}

bool block_due(size_t plain_bytes, uint64_t first_us, uint64_t now_us) {
  return plain_bytes >= kBlockFlushBytes || (plain_bytes > 0 && now_us - first_us >= kBlockFlushUs);
}

}  // namespace korvane
