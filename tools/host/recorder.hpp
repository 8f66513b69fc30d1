// Session recordings (host_link/recording.hpp) written and read: the recorder compresses each
// block with zlib and appends it to its file, so that what is on disk is always whole blocks and
// a block at most a second old; the reader hands out the records block by block.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "host_link/recording.hpp"

namespace korvane::host {

struct Recorder {
  using Clock = std::chrono::steady_clock;
  int fd = -1;  // owned
  uint32_t what = REC_ALL;
  Clock::time_point start;
  std::vector<uint8_t> plain;  // the block being filled
  uint64_t first_us = 0;       // its first record's time
  uint64_t stored_bytes = 0;   // written so far, headers included
  std::string error;           // the first write that failed; nothing is written after it

  Recorder() = default;
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;
  ~Recorder();
  // Opens (truncates) `path` and writes the header; false with `error` set when it cannot.
  bool open(const std::string& path, uint32_t what_to_record, Clock::time_point now,
            uint64_t unix_ms);
  // A frame that passed, if `what` records it; the block goes out when it is due.
  void add(bool from_host, uint8_t type, std::span<const uint8_t> payload, Clock::time_point now);
  // Sends out the block when a second has passed since its first record.
  void tick(Clock::time_point now);
  // Sends out what is left and closes the file.
  void finish();

 private:
  void flush();
};

// Reads `read` (n bytes into the buffer; fewer only at the end) block by block, handing each
// record to `on`. Returns what stopped it: none at a clean end, cut for a file that ends inside a
// block (one being written, or cut by a crash: every block before it was read), or the header's
// or a block's problem.
using ReadBytes = std::function<size_t(uint8_t* into, size_t n)>;
RecordingProblem read_recording(const ReadBytes& read, RecordingHeader& header,
                                const std::function<void(const Record&)>& on);
// The same over bytes in memory.
RecordingProblem read_recording(std::span<const uint8_t> file, RecordingHeader& header,
                                const std::function<void(const Record&)>& on);

}  // namespace korvane::host
