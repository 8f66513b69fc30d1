// The process's two host streams, as the operating system gives them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvane {

// One piece of a frame to write; the pieces of one call go out in order, back to back.
struct OutputPart {
  const uint8_t* data;
  size_t size;
};

// Keeps the host's standard output for frames: takes a private duplicate of standard output
// and points standard output at the null device, so that anything else in the process that
// prints to it is discarded. When no duplicate can be made, standard output itself stays the
// protocol output and is left alone. A host that closed its end makes writes fail (on POSIX
// SIGPIPE is ignored) instead of ending the process.
void stdio_link_init();

// Uses the given descriptors instead of the standard streams and clears a previous cancel
// (for tests that run the transport over their own pipes). Call before any other thread reads.
void stdio_link_attach(int input_fd, int output_fd);

// Reads up to `count` bytes from standard input. Returns the count read, 0 at end of input,
// -1 on an error or once stdio_link_cancel_input() has been called.
std::ptrdiff_t stdio_link_read(void* buffer, size_t count);

// Writes the parts in order with as few system calls as the system allows; returns the bytes
// written (possibly fewer than asked) or -1 with errno set (EPIPE when the host has gone).
std::ptrdiff_t stdio_link_write(const OutputPart* parts, size_t count);

// Whether standard input is a terminal (a person started korvane by hand, not a host).
bool stdio_input_is_terminal();

// Makes a read blocked in another thread, and every later read, return -1.
void stdio_link_cancel_input();

}  // namespace korvane
