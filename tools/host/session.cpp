#include "host/session.hpp"

#include <algorithm>
#include <array>
#include <chrono>

#include "host_link/extensions.hpp"
#include "host_link/session_extensions.hpp"

namespace korvane::host {

namespace {

using Clock = std::chrono::steady_clock;

int remaining_ms(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left <= 0 ? 0 : static_cast<int>(left);
}

}  // namespace

std::vector<uint8_t> connect_payload(const SessionOptions& options) {
  if (options.extension_block.empty()) return encode_connect(options.request);
  ConnectRequest request = options.request;
  request.flags = request.flags.value_or(0);
  request.drive = request.drive.value_or("");
  std::vector<uint8_t> payload = encode_connect(request);
  payload.insert(payload.end(), options.extension_block.begin(), options.extension_block.end());
  return payload;
}

std::optional<Session> start_session(const SessionOptions& options, std::string* error) {
  SpawnOptions spawn_options;
  spawn_options.argv = {options.korvane_path};
  spawn_options.env = options.env;
  spawn_options.pipe_stdin = true;
  spawn_options.pipe_stdout = true;
  spawn_options.stderr_path = options.stderr_path;
  spawn_options.die_with_parent = options.die_with_host;
  auto child = spawn(spawn_options, error);
  if (!child) return std::nullopt;
  Session session;
  session.child = std::move(*child);
  session.reader.fd = session.child.stdout_fd.get();
  const std::vector<uint8_t> connect = connect_payload(options);
  if (!write_frame(session.child.stdin_fd.get(), CMD_CONNECT, connect)) {
    if (error) *error = "cannot send CMD_CONNECT to " + options.korvane_path;
    return std::nullopt;
  }
  return session;
}

ReadStatus next_event(Session& session, int timeout_ms, Frame& out) {
  const ReadStatus status = read_frame(session.reader, timeout_ms, out);
  if (status == ReadStatus::frame) session.events++;
  return status;
}

bool send_command(Session& session, uint8_t type, std::span<const uint8_t> payload) {
  if (session.on_command) session.on_command(type, payload);
  return write_frame(session.child.stdin_fd.get(), type, payload);
}

namespace {

template <size_t N>
std::vector<uint8_t> bytes(const std::array<uint8_t, N>& a) {
  return {a.begin(), a.end()};
}

}  // namespace

std::vector<uint8_t> mouse_move_payload(uint32_t x, uint32_t y) {
  return bytes(encode_mouse_move({x, y}));
}

std::vector<uint8_t> mouse_button_payload(uint32_t x, uint32_t y, uint8_t button, bool pressed) {
  return bytes(encode_mouse_button({x, y, button, pressed}));
}

std::vector<uint8_t> mouse_wheel_payload(uint32_t x, uint32_t y, int32_t delta, bool horizontal) {
  return bytes(encode_mouse_wheel({x, y, delta, horizontal}));
}

std::vector<uint8_t> key_payload(uint8_t scancode, bool pressed, bool extended) {
  return bytes(encode_key({scancode, pressed, extended}));
}

std::vector<uint8_t> unicode_payload(uint32_t code_point, bool pressed) {
  return bytes(encode_unicode({code_point, pressed}));
}

std::vector<uint8_t> sync_locks_payload(uint32_t locks) { return bytes(encode_sync_locks(locks)); }

std::vector<uint8_t> resize_payload(uint32_t width, uint32_t height) {
  return bytes(encode_resize_request({width, height}));
}

std::vector<uint8_t> cert_verdict_payload(bool accept) {
  return bytes(encode_cert_verdict(accept));
}

std::vector<uint8_t> clip_data_payload(uint32_t format, std::span<const uint8_t> data) {
  const auto header = encode_clip_data_header(format);
  std::vector<uint8_t> p(header.size() + data.size());
  std::copy(header.begin(), header.end(), p.begin());
  std::copy(data.begin(), data.end(), p.begin() + static_cast<std::ptrdiff_t>(header.size()));
  return p;
}

std::vector<uint8_t> clip_request_payload(uint32_t format) {
  return bytes(encode_clip_request(format));
}

std::optional<Frame> wait_for_event(Session& session, uint8_t type, int timeout_ms,
                                    const EventSink& sink, ReadStatus* status) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    Frame frame;
    const ReadStatus st = next_event(session, remaining_ms(deadline), frame);
    if (status) *status = st;
    if (st != ReadStatus::frame) return std::nullopt;
    if (sink) sink(frame);
    if (frame.type == type) return frame;
  }
}

ReadStatus pump_events(Session& session, int duration_ms, const EventSink& sink) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(duration_ms);
  for (;;) {
    Frame frame;
    const ReadStatus st = next_event(session, remaining_ms(deadline), frame);
    if (st != ReadStatus::frame) return st;
    if (sink) sink(frame);
  }
}

Ending finish_session(Session& session, int timeout_ms, const EventSink& sink,
                      bool send_disconnect) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  Ending ending;
  if (send_disconnect) send_command(session, CMD_DISCONNECT);
  for (;;) {
    Frame frame;
    const ReadStatus st = next_event(session, remaining_ms(deadline), frame);
    if (st != ReadStatus::frame) break;
    if (sink) sink(frame);
    if (frame.type == EVT_DISCONNECTED) {
      ending.disconnected = true;
      break;
    }
    if (frame.type == EVT_ERROR) {
      ending.error = std::string(frame.payload.begin(), frame.payload.end());
      break;
    }
  }
  ending.exit = wait_exit(session.child, remaining_ms(deadline));
  if (!ending.exit) terminate(session.child, 0);
  close_stdin(session.child);
  return ending;
}

}  // namespace korvane::host
