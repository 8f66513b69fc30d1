#include "platform/stdio_link.hpp"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/uio.h>
#include <unistd.h>

namespace korvane {

namespace {
// Written once by stdio_link_init (or stdio_link_attach) on the main thread before any other
// thread exists; read-only afterwards.
int input_fd = 0;
int output_fd = 1;
// The cancel pipe: its read end becomes readable when teardown cancels the input.
// Created in stdio_link_init; the write end is written by the main thread, the read end
// polled by the input thread. The descriptors never change afterwards.
int cancel_pipe[2] = {-1, -1};
std::atomic<bool> cancelled{false};
}  // namespace

namespace {
// Rectangles run to megabytes; a pipe of the default 64 KiB makes the writer and the host
// take turns every 64 KiB. A larger pipe (where the system allows it) lets each side work in
// bigger pieces. Not a pipe, or not allowed: nothing changes.
void widen_pipe(int fd) {
#ifdef F_SETPIPE_SZ
  fcntl(fd, F_SETPIPE_SZ, 1 << 20);
#endif
}

// A descriptor above the standard three, so that a process started with one of them closed
// never gets its protocol streams mixed up with korvane's own descriptors.
int above_stdio(int fd) {
  if (fd < 0 || fd > 2) return fd;
  const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  close(fd);
  return moved;
}
}  // namespace

void stdio_link_init() {
  std::signal(SIGPIPE, SIG_IGN);

  const int dup_fd = fcntl(1, F_DUPFD_CLOEXEC, 3);
  if (dup_fd >= 0) {
    output_fd = dup_fd;
    widen_pipe(output_fd);
    const int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null_fd >= 0) {
      if (null_fd != 1) {
        dup2(null_fd, 1);
        close(null_fd);
      }
    }
  }
  // Otherwise descriptor 1 stays the only way to the host and is left alone.

  int fds[2];
  if (pipe2(fds, O_CLOEXEC) == 0) {
    cancel_pipe[0] = above_stdio(fds[0]);
    cancel_pipe[1] = above_stdio(fds[1]);
  }
}

void stdio_link_attach(int in_fd, int out_fd) {
  std::signal(SIGPIPE, SIG_IGN);
  input_fd = in_fd;
  output_fd = out_fd;
  widen_pipe(output_fd);
  if (cancel_pipe[0] < 0) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) == 0) {
      cancel_pipe[0] = fds[0];
      cancel_pipe[1] = fds[1];
    }
  }
  // Drain a previous cancel so that reads work again.
  char drain[16];
  const int flags = fcntl(cancel_pipe[0], F_GETFL);
  fcntl(cancel_pipe[0], F_SETFL, flags | O_NONBLOCK);
  while (read(cancel_pipe[0], drain, sizeof drain) > 0) {
  }
  fcntl(cancel_pipe[0], F_SETFL, flags);
  cancelled.store(false);
}

std::ptrdiff_t stdio_link_read(void* buffer, size_t count) {
  for (;;) {
    if (cancelled.load(std::memory_order_acquire)) return -1;
    if (cancel_pipe[0] >= 0) {
      pollfd fds[2] = {{input_fd, POLLIN, 0}, {cancel_pipe[0], POLLIN, 0}};
      const int rc = poll(fds, 2, -1);
      if (rc < 0) {
        if (errno == EINTR) continue;
        return -1;
      }
      if (fds[1].revents) return -1;
      // POLLHUP and POLLERR fall through to read, which reports them as 0 or -1.
    }
    const ssize_t n = read(input_fd, buffer, count);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    return n;
  }
}

std::ptrdiff_t stdio_link_write(const OutputPart* parts, size_t count) {
  constexpr size_t kMaxParts = 16;
  iovec iov[kMaxParts];
  if (count > kMaxParts) count = kMaxParts;  // the rest goes with the caller's next call
  for (size_t i = 0; i < count; ++i) {
    iov[i] = {const_cast<uint8_t*>(parts[i].data), parts[i].size};
  }
  for (;;) {
    const ssize_t n = writev(output_fd, iov, static_cast<int>(count));
    if (n < 0 && errno == EINTR) continue;
    return n;
  }
}

bool stdio_input_is_terminal() { return isatty(STDIN_FILENO) == 1; }

void stdio_link_cancel_input() {
  cancelled.store(true, std::memory_order_release);
  if (cancel_pipe[1] >= 0) {
    const char byte = 1;
    [[maybe_unused]] ssize_t n = write(cancel_pipe[1], &byte, 1);
  }
}

}  // namespace korvane
