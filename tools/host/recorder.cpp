#include "host/recorder.hpp"

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace korvane::host {

namespace {

bool write_all(int fd, std::span<const uint8_t> bytes, std::string& error) {
  for (size_t done = 0; done < bytes.size();) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = std::string("cannot write the recording: ") + std::strerror(errno);
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

Recorder::~Recorder() { finish(); }

bool Recorder::open(const std::string& path, uint32_t what_to_record, Clock::time_point now,
                    uint64_t unix_ms) {
  fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) {
    error = "cannot write " + path + ": " + std::strerror(errno);
    return false;
  }
  what = what_to_record;
  start = now;
  const auto header = encode_recording_header({kRecordingVersion, what, unix_ms});
  stored_bytes = header.size();
  return write_all(fd, header, error);
}

void Recorder::add(bool from_host, uint8_t type, std::span<const uint8_t> payload,
                   Clock::time_point now) {
  if (fd < 0 || !error.empty() || !recorded(what, from_host, type)) return;
  const auto us = static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::microseconds>(now - start).count());
  // A block spans at most a second; a frame that would take it over its bound starts another.
  if (block_due(plain.size(), first_us, us) ||
      (!plain.empty() && plain.size() + kRecordHeaderSize + payload.size() > kMaxBlockPlain))
    flush();
  if (plain.empty()) first_us = us;
  append_record(plain, us, from_host, type, payload);
  if (plain.size() >= kBlockFlushBytes) flush();
}

void Recorder::tick(Clock::time_point now) {
  const auto us = static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::microseconds>(now - start).count());
  if (fd >= 0 && block_due(plain.size(), first_us, us)) flush();
}

void Recorder::flush() {
  if (plain.empty() || fd < 0 || !error.empty()) return;
  // The fastest level: a session's rectangles shrink several times over at it. H.264, deflated
  // rectangles and noise do not shrink at any: when a sample of the block does not, it is
  // stored as it is (zlib's stored blocks, still checked), which costs a copy.
  uLongf stored = compressBound(static_cast<uLong>(plain.size()));
  std::vector<uint8_t> block(kBlockHeaderSize + stored);
  const uLong sample = static_cast<uLong>(std::min<size_t>(plain.size(), 64u << 10));
  uLongf sampled = compressBound(sample);
  std::vector<uint8_t> trial(sampled);
  const int level = compress2(trial.data(), &sampled, plain.data(), sample, Z_BEST_SPEED) == Z_OK &&
                            sampled > sample / 10 * 9
                        ? Z_NO_COMPRESSION
                        : Z_BEST_SPEED;
  if (compress2(block.data() + kBlockHeaderSize, &stored, plain.data(),
                static_cast<uLong>(plain.size()), level) != Z_OK) {
    error = "cannot compress the recording";
    return;
  }
  const auto header =
      encode_block_header({static_cast<uint32_t>(stored), static_cast<uint32_t>(plain.size())});
  std::copy(header.begin(), header.end(), block.begin());
  block.resize(kBlockHeaderSize + stored);
  if (write_all(fd, block, error)) stored_bytes += block.size();
  plain.clear();
}

void Recorder::finish() {
  if (fd < 0) return;
  flush();
  close(fd);
  fd = -1;
}

RecordingProblem read_recording(const ReadBytes& read, RecordingHeader& header,
                                const std::function<void(const Record&)>& on) {
  std::vector<uint8_t> bytes(kRecordingHeaderSize);
  if (read(bytes.data(), bytes.size()) < bytes.size()) return RecordingProblem::not_a_recording;
  RecordingProblem problem = RecordingProblem::none;
  size_t header_size = 0;
  const auto h = parse_recording_header(bytes, problem, &header_size);
  if (!h) return problem;
  header = *h;
  // A later version's longer header: what this reader does not know is skipped.
  for (size_t left = header_size - kRecordingHeaderSize; left > 0;) {
    const size_t n = std::min(left, bytes.size());
    if (read(bytes.data(), n) < n) return RecordingProblem::cut;
    left -= n;
  }
  std::vector<uint8_t> stored, plain;
  for (;;) {
    uint8_t head[kBlockHeaderSize];
    const size_t got = read(head, sizeof head);
    if (got == 0) return RecordingProblem::none;
    const auto b = parse_block_header({head, got}, problem);
    if (!b) return problem;
    // The stored size is read only as far as the file goes: a wrong one cannot make the reader
    // allocate more than the file holds, a chunk at a time.
    stored.clear();
    for (size_t left = b->stored; left > 0;) {
      const size_t at = stored.size(), n = std::min<size_t>(left, 1u << 20);
      stored.resize(at + n);
      if (read(stored.data() + at, n) < n) return RecordingProblem::cut;
      left -= n;
    }
    // Deflate shrinks at most about 1032 to 1: a plain size beyond that is not what was stored,
    // and is not allocated.
    if (b->plain > uint64_t{b->stored} * 1032 + 64) return RecordingProblem::corrupt;
    plain.resize(b->plain);
    uLongf plain_size = b->plain;
    if (uncompress(plain.data(), &plain_size, stored.data(), static_cast<uLong>(stored.size())) !=
            Z_OK ||
        plain_size != b->plain)
      return RecordingProblem::corrupt;
    const auto records = parse_records(plain);
    if (!records) return RecordingProblem::corrupt;
    for (const Record& r : *records) on(r);
  }
}

RecordingProblem read_recording(std::span<const uint8_t> file, RecordingHeader& header,
                                const std::function<void(const Record&)>& on) {
  size_t at = 0;
  return read_recording(
      [&](uint8_t* into, size_t n) {
        n = std::min(n, file.size() - at);
        std::copy_n(file.begin() + static_cast<long>(at), n, into);
        at += n;
        return n;
      },
      header, on);
}

}  // namespace korvane::host
