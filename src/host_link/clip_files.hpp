// The clipboard-files extension's messages and its bookkeeping: a file's size or a range of its
// bytes asked for by one side and answered by the other, korvane relaying. A file list
// (FileGroupDescriptorW) only names the files; their contents travel as these requests, each
// under a stream id of the asker's. Pure; the standard library only.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <vector>

namespace korvane {

// What is asked: the file's size (an 8-byte answer) or `length` bytes from `position`.
enum : uint8_t {
  FILE_ASK_SIZE = 1,
  FILE_ASK_RANGE = 2,
};

// CMD_CLIP_FILE_REQUEST (the host asks the server's clipboard) and EVT_CLIP_FILE_REQUEST (the
// server asks the host's): stream id (u32, the asker's), list index (u32: the file's place in
// the list), what (u8, FILE_ASK_*), position (u64), length (u32), then, when the request is for
// a list the asker locked (CMD_CLIP_LOCK, EVT_CLIP_LOCK), that lock's id (u32).
inline constexpr size_t kFileRequestSize = 4 + 4 + 1 + 8 + 4;
struct FileRequest {
  uint32_t stream_id = 0;
  uint32_t list_index = 0;
  uint8_t what = FILE_ASK_SIZE;
  uint64_t position = 0;
  uint32_t length = 0;
  std::optional<uint32_t> lock;
  bool operator==(const FileRequest&) const = default;
};
std::vector<uint8_t> encode_file_request(const FileRequest& r);
// nullopt for a payload shorter than the fields; 1 to 3 bytes after them are no lock id (an
// unknown `what` is FileStreams::open's to refuse).
std::optional<FileRequest> parse_file_request(std::span<const uint8_t> payload);

// The answer's status.
enum : uint8_t {
  FILE_OK = 0,
  FILE_FAILED = 1,     // the side that holds the file could not give it
  FILE_TIMED_OUT = 2,  // no answer within kFileAnswerTimeout
  FILE_REFUSED = 3,    // korvane did not pass the request on: see FileRefusal
};

// EVT_CLIP_FILE_DATA (to the host) and CMD_CLIP_FILE_DATA (from it): stream id (u32), status
// (u8, FILE_*), then the bytes: for a size, 8 (u64); for a range, at most the length asked.
inline constexpr size_t kFileDataHeaderSize = 5;
struct FileData {
  uint32_t stream_id = 0;
  uint8_t status = FILE_OK;
  std::span<const uint8_t> bytes;
};
std::array<uint8_t, kFileDataHeaderSize> encode_file_data_header(uint32_t stream_id,
                                                                 uint8_t status);
std::optional<FileData> parse_file_data(std::span<const uint8_t> payload);

// CMD_CLIP_LOCK and EVT_CLIP_LOCK: lock id (u32, the locker's), locked (u8: 1 lock, 0 unlock).
// The side that owns a file list keeps the list it had when locked readable under that id,
// whatever it copies next, until it is unlocked: a paste that runs while the user copies again
// still reads the files it started with.
inline constexpr size_t kClipLockSize = 5;
struct ClipLock {
  uint32_t id = 0;
  bool locked = false;
  bool operator==(const ClipLock&) const = default;
};
std::array<uint8_t, kClipLockSize> encode_clip_lock(const ClipLock& l);
std::optional<ClipLock> parse_clip_lock(std::span<const uint8_t> payload);

// How many requests may wait for an answer in each direction, how long, and the longest range.
inline constexpr size_t kMaxFileStreams = 16;
inline constexpr std::chrono::milliseconds kFileAnswerTimeout{30000};
inline constexpr uint32_t kMaxFileRange = 4u << 20;

// Why a request is not passed on (the value of FILE_REFUSED answers' first byte).
enum class FileRefusal : uint8_t {
  none = 0,
  stream_in_use = 1,  // the asker's stream id already waits for an answer
  too_many = 2,       // kMaxFileStreams already wait
  bad_request = 3,    // neither a size nor a range, or a range of 0 bytes, longer than
                      // kMaxFileRange, or past 2^64
};

// The requests of one direction that wait for their answer, with their deadlines. Fed a clock.
struct FileStreams {
  using Clock = std::chrono::steady_clock;
  std::map<uint32_t, std::pair<FileRequest, Clock::time_point>> waiting;  // by stream id
  FileRefusal open(const FileRequest& r, Clock::time_point now);
  // The request an answer is for, which then stops waiting; nullopt for a stream not waiting.
  std::optional<FileRequest> answer(uint32_t stream_id);
  // The requests whose time is up, removed.
  std::vector<FileRequest> expire(Clock::time_point now);
  std::optional<Clock::time_point> deadline() const;
  // Whether an answer's bytes fit the request: 8 for a size, at most the length for a range.
  static bool fits(const FileRequest& r, size_t bytes);
};

}  // namespace korvane
