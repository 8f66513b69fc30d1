// Frames over a byte stream with deadlines: the host's half of the link.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace korvane::host {

struct Frame {
  uint8_t type = 0;
  std::vector<uint8_t> payload;
};

enum class ReadStatus {
  frame,      // a whole frame was read
  timeout,    // nothing complete before the deadline; what arrived is kept for the next call
  eof,        // the stream ended (a partial frame at the end counts as eof, see truncated)
  error,      // the read itself failed
  too_large,  // a header announced more than max_payload bytes
};

// Buffers one stream. A frame split over several reads, or several frames in one read, are
// both fine.
struct FrameReader {
  int fd = -1;                      // not owned
  size_t max_payload = 256u << 20;  // a full 8K desktop as one rectangle still fits
  std::vector<uint8_t> buffer;
  size_t head = 0;         // first unconsumed byte of buffer
  bool truncated = false;  // eof arrived in the middle of a frame
};

ReadStatus read_frame(FrameReader& reader, int timeout_ms, Frame& out);

bool write_frame(int fd, uint8_t type, std::span<const uint8_t> payload, int timeout_ms = 10000);

const char* to_string(ReadStatus status);

}  // namespace korvane::host
