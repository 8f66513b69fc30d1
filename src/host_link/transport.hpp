// Frames over the process's standard streams. Any thread may send; only one thread reads at a
// time (the main thread for the first frame, then the host input thread).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "host_link/protocol.hpp"

namespace korvane {

void transport_init();

// Called once, on the sending thread (no transport lock held), when a write to the host fails:
// a host that closed its end of the pipe (it ended or crashed) can never read again.
void transport_on_output_broken(void (*handler)());
bool transport_output_broken();
// The error of the failed write (EPIPE for a closed pipe), 0 while the output works.
int transport_output_errno();

bool read_exact(uint8_t* buffer, size_t count);

using Frame = WireFrame;

// The next frame of standard input (read_frame_from, protocol.hpp).
std::optional<Frame> read_frame();

// Sends one frame atomically with respect to other senders. A failed write cannot be reported
// to the host: it marks the output broken (nothing is written after it) and calls the handler.
void send_frame(uint8_t type, std::span<const uint8_t> payload);
inline void send_frame(uint8_t type) { send_frame(type, {}); }

// Sends one frame whose payload is the concatenation of `parts`, gathered by the system call
// straight from the callers' buffers (a frame-buffer region is sent without copying it).
void send_frame_parts(uint8_t type, std::span<const std::span<const uint8_t>> parts);
// Sends one frame whose payload is `head`, then `body` bytes that `fill` writes in order,
// a piece at a time, into a buffer of the sender's: each call writes the next bytes at the start
// of the span it is given (kFillRoom bytes, or what is left when less) and returns how many. The
// payload is made while it is written, so a whole desktop is never held twice.
inline constexpr size_t kFillRoom = 256 * 1024;
void send_frame_filled(uint8_t type, std::span<const uint8_t> head, uint32_t body,
                       const std::function<size_t(std::span<uint8_t>)>& fill);

}  // namespace korvane
