// A session recording: korvane's host stream, each frame with its time, in blocks that are
// compressed on their own, so that a recording can be read while it is written and a crash loses
// at most the block being filled. This is the format and its bookkeeping; compressing and the
// files are the recorder's (tools/host/recorder.hpp). Pure; the standard library only.
//
// The file: a 32-byte header, then blocks.
//   header: magic "KVREC\r\n\x1a" (8), version (u16), header size (u16, 32), what (u32,
//           REC_*), the recording's start (u64, Unix time in ms), 8 bytes zero
//   block:  magic "KVRB" (4), stored size (u32), plain size (u32), then the stored bytes: a
//           zlib stream of the plain bytes (its Adler-32 checks them)
//   plain:  records, each: time (u64, microseconds since the start), direction (u8: 0 korvane to
//           the host, 1 the host to korvane), then the frame as on the wire: type (u8), length
//           (u32), payload
// All little-endian. A reader takes versions up to its own and refuses newer ones.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace korvane {

inline constexpr uint16_t kRecordingVersion = 1;
inline constexpr size_t kRecordingHeaderSize = 32;
inline constexpr size_t kBlockHeaderSize = 12;
inline constexpr size_t kRecordHeaderSize = 8 + 1 + 1 + 4;
// A block holds at most this many plain bytes: one frame as large as a host takes (an 8K
// desktop's rectangle) and its record header. Larger ones a reader refuses before inflating.
inline constexpr uint32_t kMaxBlockPlain = (256u << 20) + 64;

// What a recording holds (the header's `what`); the session's own events (extensions granted,
// progress, its end) always.
enum : uint32_t {
  REC_PICTURE = 0x01,    // rectangles, H.264, sizes, monitors
  REC_CURSOR = 0x02,     // pointer shapes and position
  REC_SOUND = 0x04,      // the server's sound, and the host's microphone
  REC_CLIPBOARD = 0x08,  // format lists and data, files, both ways
  REC_INPUT = 0x10,      // the host's mouse, keys and text
  REC_ALL = 0x1F,
};

// "picture,cursor,sound,clipboard,input" (any of them): the REC_* bits; nullopt for another word.
std::optional<uint32_t> parse_record_what(std::string_view names);

// Whether a frame goes into a recording of `what`. The connect request (with its password) and
// the host's verdicts never do.
bool recorded(uint32_t what, bool from_host, uint8_t type);

struct RecordingHeader {
  uint16_t version = kRecordingVersion;
  uint32_t what = REC_ALL;
  uint64_t started_ms = 0;
  bool operator==(const RecordingHeader&) const = default;
};
std::array<uint8_t, kRecordingHeaderSize> encode_recording_header(const RecordingHeader& h);

enum class RecordingProblem {
  none,
  not_a_recording,  // no magic, or a header size below 32
  newer_version,    // a version this reader does not know
  cut,              // the file ends inside a block (being written, or cut by a crash)
  corrupt,          // a block's magic, sizes or check are wrong, or its records do not fit it
};
const char* to_string(RecordingProblem problem);

// The header's version, what and start; `problem` says why not. Bytes beyond 32 in a larger
// header (a later version's) are skipped by its size.
std::optional<RecordingHeader> parse_recording_header(std::span<const uint8_t> bytes,
                                                      RecordingProblem& problem,
                                                      size_t* header_size = nullptr);

struct BlockHeader {
  uint32_t stored = 0, plain = 0;
};
std::array<uint8_t, kBlockHeaderSize> encode_block_header(const BlockHeader& b);
// nullopt with `problem` cut (fewer than 12 bytes) or corrupt (no magic, a plain size over
// kMaxBlockPlain).
std::optional<BlockHeader> parse_block_header(std::span<const uint8_t> bytes,
                                              RecordingProblem& problem);

struct Record {
  uint64_t time_us = 0;
  bool from_host = false;
  uint8_t type = 0;
  std::span<const uint8_t> payload;
};
void append_record(std::vector<uint8_t>& plain, uint64_t time_us, bool from_host, uint8_t type,
                   std::span<const uint8_t> payload);
// The records of a block's plain bytes, in order; nullopt when one runs past the end.
std::optional<std::vector<Record>> parse_records(std::span<const uint8_t> plain);

// When the recorder closes its block: at 1 MiB of plain bytes, or 1 s after the block's first
// record, whichever comes first, so that a reader is never more than a second behind.
inline constexpr size_t kBlockFlushBytes = 1u << 20;
inline constexpr uint64_t kBlockFlushUs = 1000000;
bool block_due(size_t plain_bytes, uint64_t first_us, uint64_t now_us);

}  // namespace korvane
