#include "host/frame_io.hpp"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "host/process.hpp"
#include "host_link/protocol.hpp"

namespace korvane::host {

namespace {

using Clock = std::chrono::steady_clock;

// Takes a complete frame off the front of the buffer, if there is one.
bool take_frame(FrameReader& reader, Frame& out, bool& too_large) {
  const size_t avail = reader.buffer.size() - reader.head;
  if (avail < kFrameHeaderSize) return false;
  const uint8_t* p = reader.buffer.data() + reader.head;
  const FrameHeader header =
      decode_header(std::span<const uint8_t, kFrameHeaderSize>(p, kFrameHeaderSize));
  if (header.length > reader.max_payload) {
    too_large = true;
    return false;
  }
  if (avail - kFrameHeaderSize < header.length) return false;
  out.type = header.type;
  out.payload.assign(p + kFrameHeaderSize, p + kFrameHeaderSize + header.length);
  reader.head += kFrameHeaderSize + header.length;
  if (reader.head == reader.buffer.size()) {
    reader.buffer.clear();
    reader.head = 0;
  } else if (reader.head >= (1u << 20)) {
    reader.buffer.erase(reader.buffer.begin(),
                        reader.buffer.begin() + static_cast<std::ptrdiff_t>(reader.head));
    reader.head = 0;
  }
  return true;
}

// Bytes still missing from the frame at the front, so big frames are read in few calls.
size_t wanted_bytes(const FrameReader& reader) {
  const size_t avail = reader.buffer.size() - reader.head;
  if (avail < kFrameHeaderSize) return kFrameHeaderSize - avail;
  const FrameHeader header = decode_header(std::span<const uint8_t, kFrameHeaderSize>(
      reader.buffer.data() + reader.head, kFrameHeaderSize));
  const size_t total = kFrameHeaderSize + header.length;
  return total > avail ? total - avail : 0;
}

}  // namespace

ReadStatus read_frame(FrameReader& reader, int timeout_ms, Frame& out) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    bool too_large = false;
    if (take_frame(reader, out, too_large)) return ReadStatus::frame;
    if (too_large) return ReadStatus::too_large;

    // Poll before reading so a blocking descriptor cannot overrun the deadline either.
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd p{reader.fd, POLLIN, 0};
    const int r = poll(&p, 1, left > 0 ? static_cast<int>(left) : 0);
    if (r < 0) {
      if (errno == EINTR) continue;
      return ReadStatus::error;
    }
    if (r == 0) return ReadStatus::timeout;
    if (p.revents & POLLNVAL) return ReadStatus::error;

    const size_t chunk = std::max<size_t>(wanted_bytes(reader), 65536);
    const size_t old_size = reader.buffer.size();
    reader.buffer.resize(old_size + chunk);
    const ssize_t n = read(reader.fd, reader.buffer.data() + old_size, chunk);
    reader.buffer.resize(old_size + (n > 0 ? static_cast<size_t>(n) : 0));
    if (n > 0) continue;
    if (n == 0) {
      reader.truncated = reader.buffer.size() > reader.head;
      return ReadStatus::eof;
    }
    if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
    return ReadStatus::error;
  }
}

bool write_frame(int fd, uint8_t type, std::span<const uint8_t> payload, int timeout_ms) {
  const std::vector<uint8_t> frame = encode_frame(type, payload);
  return write_all(fd, frame, timeout_ms);
}

const char* to_string(ReadStatus status) {
  switch (status) {
    case ReadStatus::frame: return "frame";
    case ReadStatus::timeout: return "timeout";
    case ReadStatus::eof: return "end of stream";
    case ReadStatus::error: return "read error";
    case ReadStatus::too_large: return "frame too large";
  }
  return "?";
}

}  // namespace korvane::host
