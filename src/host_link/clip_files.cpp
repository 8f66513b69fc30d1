#include "host_link/clip_files.hpp"

#include <algorithm>

#include "host_link/protocol.hpp"

namespace korvane {

std::vector<uint8_t> encode_file_request(const FileRequest& r) {
  std::vector<uint8_t> out(kFileRequestSize);
  put_u32(out.data(), r.stream_id);
  put_u32(out.data() + 4, r.list_index);
  out[8] = r.what;
  put_u32(out.data() + 9, static_cast<uint32_t>(r.position));
  put_u32(out.data() + 13, static_cast<uint32_t>(r.position >> 32));
  put_u32(out.data() + 17, r.length);
  if (r.lock) append_u32(out, *r.lock);
  return out;
}

std::optional<FileRequest> parse_file_request(std::span<const uint8_t> payload) {
  if (payload.size() < kFileRequestSize) return std::nullopt;
  const uint8_t* p = payload.data();
  FileRequest r;
  r.stream_id = get_u32(p);
  r.list_index = get_u32(p + 4);
  r.what = p[8];
  r.position = uint64_t{get_u32(p + 9)} | uint64_t{get_u32(p + 13)} << 32;
  r.length = get_u32(p + 17);
  if (payload.size() >= kFileRequestSize + 4) r.lock = get_u32(p + kFileRequestSize);
  return r;
}

std::array<uint8_t, kClipLockSize> encode_clip_lock(const ClipLock& l) {
  std::array<uint8_t, kClipLockSize> out{};
  put_u32(out.data(), l.id);
  out[4] = l.locked ? 1 : 0;
  return out;
}

std::optional<ClipLock> parse_clip_lock(std::span<const uint8_t> payload) {
  if (payload.size() < kClipLockSize) return std::nullopt;
  return ClipLock{get_u32(payload.data()), payload[4] == 1};
}

std::array<uint8_t, kFileDataHeaderSize> encode_file_data_header(uint32_t stream_id,
                                                                 uint8_t status) {
  std::array<uint8_t, kFileDataHeaderSize> out{};
  put_u32(out.data(), stream_id);
  out[4] = status;
  return out;
}

std::optional<FileData> parse_file_data(std::span<const uint8_t> payload) {
  if (payload.size() < kFileDataHeaderSize) return std::nullopt;
  return FileData{get_u32(payload.data()), payload[4], payload.subspan(kFileDataHeaderSize)};
}

FileRefusal FileStreams::open(const FileRequest& r, Clock::time_point now) {
  if (waiting.count(r.stream_id)) return FileRefusal::stream_in_use;
  if (waiting.size() >= kMaxFileStreams) return FileRefusal::too_many;
  if (r.what != FILE_ASK_SIZE && r.what != FILE_ASK_RANGE) return FileRefusal::bad_request;
  if (r.what == FILE_ASK_RANGE &&
      (r.length == 0 || r.length > kMaxFileRange || r.position > UINT64_MAX - r.length))
    return FileRefusal::bad_request;
  waiting.emplace(r.stream_id, std::make_pair(r, now + kFileAnswerTimeout));
  return FileRefusal::none;
}

std::optional<FileRequest> FileStreams::answer(uint32_t stream_id) {
  const auto it = waiting.find(stream_id);
  if (it == waiting.end()) return std::nullopt;
  FileRequest r = it->second.first;
  waiting.erase(it);
  return r;
}

std::vector<FileRequest> FileStreams::expire(Clock::time_point now) {
  std::vector<FileRequest> out;
  for (auto it = waiting.begin(); it != waiting.end();) {
    if (it->second.second <= now) {
      out.push_back(it->second.first);
      it = waiting.erase(it);
    } else {
      ++it;
    }
  }
  return out;
}

std::optional<FileStreams::Clock::time_point> FileStreams::deadline() const {
  std::optional<Clock::time_point> first;
  for (const auto& [id, entry] : waiting)
    if (!first || entry.second < *first) first = entry.second;
  return first;
}

bool FileStreams::fits(const FileRequest& r, size_t bytes) {
  return r.what == FILE_ASK_SIZE ? bytes == 8 : bytes <= r.length;
}

}  // namespace korvane
