#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>
#include <windows.h>

#include "platform/stdio_link.hpp"

namespace korvane {

namespace {
// Written by stdio_link_init (or stdio_link_attach) on the main thread before any other thread
// exists; read-only afterwards.
HANDLE input = INVALID_HANDLE_VALUE;
HANDLE output = INVALID_HANDLE_VALUE;
// Manual-reset, set by stdio_link_cancel_input (main thread), waited on by the input thread.
HANDLE cancel_event = nullptr;
std::atomic<bool> cancelled{false};

// Standard input is read by a thread of the link's own, in blocking ReadFile calls, and handed
// to stdio_link_read one piece at a time; stdio_link_read waits for a piece or for the cancel
// event, so a cancel releases the input thread at once whatever the read is doing. A blocked
// ReadFile cannot be released everywhere: Wine answers CancelIoEx on a pipe with success and
// leaves the read blocked, CancelSynchronousIo with ERROR_NOT_FOUND, and PeekNamedPipe on the
// pipe a Linux host gives with ERROR_NOT_SUPPORTED, so polling is no way out either. The
// pump's thread may stay blocked until the process ends; it owns nothing but its Pump.
struct Pump {
  HANDLE handle = INVALID_HANDLE_VALUE;
  HANDLE ready = nullptr;  // manual-reset: a piece, or the end, is waiting
  HANDLE taken = nullptr;  // auto-reset: the reader took the whole piece
  std::mutex lock;
  // Under lock: the waiting piece and how much of it was taken; the end once reached.
  std::vector<uint8_t> piece;
  size_t offset = 0;
  bool ended = false;
  std::ptrdiff_t end_result = 0;  // 0 at the end of input, -1 on an error
};
// Created by the input thread's first read (or by stdio_link_attach, replacing the old one,
// which its thread keeps); then read-only.
std::shared_ptr<Pump> pump;

void run_pump(std::shared_ptr<Pump> p) {
  std::vector<uint8_t> buffer(64 * 1024);
  for (;;) {
    DWORD got = 0;
    const BOOL ok =
        ReadFile(p->handle, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr);
    std::unique_lock<std::mutex> hold(p->lock);
    if (!ok || got == 0) {
      // A closed pipe reads as ERROR_BROKEN_PIPE, the end of a file as a read of nothing.
      const DWORD error = ok ? ERROR_HANDLE_EOF : GetLastError();
      p->ended = true;
      p->end_result = error == ERROR_BROKEN_PIPE || error == ERROR_HANDLE_EOF ? 0 : -1;
      SetEvent(p->ready);
      return;
    }
    p->piece.assign(buffer.begin(), buffer.begin() + got);
    p->offset = 0;
    SetEvent(p->ready);
    hold.unlock();
    WaitForSingleObject(p->taken, INFINITE);
  }
}

std::shared_ptr<Pump> start_pump(HANDLE handle) {
  auto p = std::make_shared<Pump>();
  p->handle = handle;
  p->ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  p->taken = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  if (!p->ready || !p->taken) return nullptr;
  try {
    std::thread(run_pump, p).detach();
  } catch (const std::system_error&) {
    return nullptr;
  }
  return p;
}

void make_cancel_event() {
  if (!cancel_event) cancel_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

void set_errno_from(DWORD error) {
  errno =
      (error == ERROR_BROKEN_PIPE || error == ERROR_NO_DATA || error == ERROR_PIPE_NOT_CONNECTED)
          ? EPIPE
          : EIO;
}
}  // namespace

void stdio_link_init() {
  make_cancel_event();
  // Diagnostics end their lines with "\n" as on Linux: a host parsing them sees the same bytes.
  _setmode(_fileno(stderr), _O_BINARY);
  input = GetStdHandle(STD_INPUT_HANDLE);

  const HANDLE std_out = GetStdHandle(STD_OUTPUT_HANDLE);
  output = std_out;
  HANDLE duplicate = nullptr;
  if (!std_out || std_out == INVALID_HANDLE_VALUE ||
      !DuplicateHandle(GetCurrentProcess(), std_out, GetCurrentProcess(), &duplicate, 0, FALSE,
                       DUPLICATE_SAME_ACCESS)) {
    return;  // standard output stays the only way to the host and is left alone
  }
  output = duplicate;
  // Standard output, for the C runtime and for the system, becomes the null device: the
  // library's log lines and anything else that prints there never reach the host's stream.
  const HANDLE null_device = CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                         nullptr, OPEN_EXISTING, 0, nullptr);
  if (null_device == INVALID_HANDLE_VALUE) return;
  SetStdHandle(STD_OUTPUT_HANDLE, null_device);
  std::fflush(stdout);
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(null_device), _O_WRONLY | _O_BINARY);
  if (fd < 0) return;  // the system's standard output alone is the null device
  // _dup2 closes descriptor 1's own handle to the host's pipe: from here on frames reach the
  // host through the duplicate only. The runtime makes the standard output handle descriptor
  // 1's new one; it is set again here so that it never names the handle _close releases.
  if (_dup2(fd, 1) == 0)
    SetStdHandle(STD_OUTPUT_HANDLE, reinterpret_cast<HANDLE>(_get_osfhandle(1)));
  _close(fd);
}

void stdio_link_attach(int input_fd, int output_fd) {
  make_cancel_event();
  input = reinterpret_cast<HANDLE>(_get_osfhandle(input_fd));
  output = reinterpret_cast<HANDLE>(_get_osfhandle(output_fd));
  pump.reset();
  ResetEvent(cancel_event);
  cancelled.store(false);
}

std::ptrdiff_t stdio_link_read(void* buffer, size_t count) {
  if (cancelled.load(std::memory_order_acquire)) return -1;
  if (!input || input == INVALID_HANDLE_VALUE) return 0;  // no standard input: nothing comes
  if (!pump) pump = start_pump(input);
  if (!pump) return -1;
  const HANDLE waits[2] = {cancel_event, pump->ready};
  if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) return -1;
  std::lock_guard<std::mutex> hold(pump->lock);
  if (pump->offset < pump->piece.size()) {
    const size_t n = std::min(count, pump->piece.size() - pump->offset);
    std::memcpy(buffer, pump->piece.data() + pump->offset, n);
    pump->offset += n;
    if (pump->offset == pump->piece.size()) {
      pump->piece.clear();
      ResetEvent(pump->ready);
      SetEvent(pump->taken);
    }
    return static_cast<std::ptrdiff_t>(n);
  }
  return pump->ended ? pump->end_result : -1;
}

std::ptrdiff_t stdio_link_write(const OutputPart* parts, size_t count) {
  // No gather write on a pipe: a frame of small parts (a header and a short payload) is joined
  // into one buffer and written with one call; a large one goes part by part.
  constexpr size_t kJoinLimit = 64 * 1024;
  size_t total = 0;
  for (size_t i = 0; i < count; ++i) total += parts[i].size;
  thread_local std::vector<uint8_t> joined;
  if (count > 1 && total <= kJoinLimit) {
    joined.clear();
    for (size_t i = 0; i < count; ++i)
      joined.insert(joined.end(), parts[i].data, parts[i].data + parts[i].size);
    parts = nullptr;
  }
  const OutputPart one{joined.data(), joined.size()};
  const OutputPart* list = parts ? parts : &one;
  const size_t n_parts = parts ? count : 1;

  std::ptrdiff_t written = 0;
  for (size_t i = 0; i < n_parts; ++i) {
    size_t done = 0;
    while (done < list[i].size) {
      const DWORD chunk = static_cast<DWORD>(std::min<size_t>(list[i].size - done, 1u << 30));
      DWORD n = 0;
      if (!WriteFile(output, list[i].data + done, chunk, &n, nullptr) || n == 0) {
        set_errno_from(GetLastError());
        return written > 0 ? written : -1;
      }
      done += n;
      written += n;
    }
  }
  return written;
}

// A console answers GetConsoleMode; the null device, a character device too, does not.
bool stdio_input_is_terminal() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
}

void stdio_link_cancel_input() {
  cancelled.store(true, std::memory_order_release);
  if (cancel_event) SetEvent(cancel_event);
  // Where the system can, the pump's blocked read ends too (not needed: nothing waits for it).
  if (input && input != INVALID_HANDLE_VALUE) CancelIoEx(input, nullptr);
}

}  // namespace korvane
