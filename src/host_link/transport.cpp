#include "host_link/transport.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <mutex>
#include <new>
#include <vector>

#include "host_link/protocol.hpp"
#include "platform/stdio_link.hpp"

namespace korvane {

namespace {
// Taken by every sender (main thread, library channel threads) for the whole of one frame.
// The innermost lock of the process: nothing else is ever locked while it is held.
std::mutex write_lock;
// Set under write_lock by the sender whose write failed; read by every sender under it and by
// anyone through transport_output_broken(). Once set, nothing more is written: a frame cut off
// in the middle has already spoilt the stream for whoever might still be reading it.
std::atomic<bool> output_broken{false};
std::atomic<int> broken_errno{0};
// Written by the main thread before any other thread sends; called by the one sender that
// found the output broken, after it released write_lock.
std::atomic<void (*)()> broken_handler{nullptr};
}  // namespace

void transport_init() { stdio_link_init(); }

void transport_on_output_broken(void (*handler)()) { broken_handler.store(handler); }

bool transport_output_broken() { return output_broken.load(); }

int transport_output_errno() { return broken_errno.load(); }

bool read_exact(uint8_t* buffer, size_t count) {
  while (count > 0) {
    const std::ptrdiff_t n = stdio_link_read(buffer, count);
    if (n <= 0) return false;
    buffer += n;
    count -= static_cast<size_t>(n);
  }
  return true;
}

std::optional<Frame> read_frame() {
  constexpr ReadExact from_stdin = [](void*, uint8_t* buffer, size_t count) {
    return read_exact(buffer, count);
  };
  return read_frame_from(from_stdin, nullptr);
}

namespace {
constexpr size_t kMaxParts = 8;

// Writes every buffer in order, with as few system calls as the pipe allows.
bool write_all(OutputPart* part, size_t count) {
  while (count > 0) {
    const std::ptrdiff_t n = stdio_link_write(part, count);
    if (n <= 0) return false;
    size_t done = static_cast<size_t>(n);
    while (count > 0 && done >= part->size) {
      done -= part->size;
      ++part;
      --count;
    }
    if (count > 0) {
      part->data += done;
      part->size -= done;
    }
  }
  return true;
}
}  // namespace

void send_frame_parts(uint8_t type, std::span<const std::span<const uint8_t>> parts) {
  if (parts.size() > kMaxParts - 1) return;
  uint64_t length = 0;
  for (const auto& part : parts) length += part.size();
  if (length > UINT32_MAX) return;  // cannot be described by the header
  const auto header = encode_header(type, static_cast<uint32_t>(length));
  OutputPart out[kMaxParts];
  size_t count = 0;
  out[count++] = {header.data(), header.size()};
  for (const auto& part : parts) {
    if (!part.empty()) out[count++] = {part.data(), part.size()};
  }
  {
    std::lock_guard<std::mutex> lock(write_lock);
    if (output_broken.load()) return;
    if (write_all(out, count)) return;
    broken_errno.store(errno);
    output_broken.store(true);
  }
  if (auto handler = broken_handler.load()) handler();
}

void send_frame_filled(uint8_t type, std::span<const uint8_t> head, uint32_t body,
                       const std::function<size_t(std::span<uint8_t>)>& fill) {
  const uint64_t length = head.size() + uint64_t{body};
  if (length > UINT32_MAX) return;
  const auto header = encode_header(type, static_cast<uint32_t>(length));
  // Kept by each sending thread for the next frame, made on its first.
  thread_local std::vector<uint8_t> room;
  if (room.empty()) room.resize(kFillRoom);
  {
    std::lock_guard<std::mutex> lock(write_lock);
    if (output_broken.load()) return;
    OutputPart out[2] = {{header.data(), header.size()}, {head.data(), head.size()}};
    bool ok = write_all(out, head.empty() ? 1 : 2);
    for (uint32_t left = body; ok && left > 0;) {
      size_t n = fill(std::span<uint8_t>(room).first(std::min<size_t>(room.size(), left)));
      // A filler that stops short would leave the frame cut off: the rest is zeros, so that
      // the stream stays framed.
      if (n == 0 || n > left) {
        n = std::min<size_t>(room.size(), left);
        std::fill_n(room.begin(), n, uint8_t{0});
      }
      OutputPart part{room.data(), n};
      ok = write_all(&part, 1);
      left -= static_cast<uint32_t>(n);
    }
    if (ok) return;
    broken_errno.store(errno);
    output_broken.store(true);
  }
  if (auto handler = broken_handler.load()) handler();
}

void send_frame(uint8_t type, std::span<const uint8_t> payload) {
  const std::span<const uint8_t> parts[] = {payload};
  send_frame_parts(type, parts);
}

}  // namespace korvane
