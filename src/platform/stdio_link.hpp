// The process's two host streams, as the operating system gives them.
#pragma once

#include <cstddef>
#include <sys/types.h>
#include <sys/uio.h>

namespace korvane {

// Keeps the host's standard output for frames: takes a close-on-exec duplicate of
// descriptor 1 and points descriptor 1 at the null device, so that anything else in the
// process that prints to standard output is discarded. When no duplicate can be made,
// descriptor 1 itself stays the protocol output and is left alone. Also ignores SIGPIPE, so a
// host that closed its end makes writes fail instead of killing the process.
void stdio_link_init();

// Uses the given descriptors instead of the standard streams and clears a previous cancel
// (for tests that run the transport over their own pipes). Call before any other thread reads.
void stdio_link_attach(int input_fd, int output_fd);

// Reads up to `count` bytes from standard input. Returns the count read, 0 at end of input,
// -1 on an error or once stdio_link_cancel_input() has been called.
ssize_t stdio_link_read(void* buffer, size_t count);

// Writes several buffers with one system call; returns the bytes written or -1.
ssize_t stdio_link_writev(const struct iovec* iov, size_t count);

// Makes a read blocked in another thread, and every later read, return -1.
void stdio_link_cancel_input();

}  // namespace korvane
