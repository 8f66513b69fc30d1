// Driving korvane as its host does: start it, send the connect request and commands, read its
// events with bounded waits, and end the session.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "host/frame_io.hpp"
#include "host/process.hpp"
#include "host_link/protocol.hpp"

namespace korvane::host {

struct SessionOptions {
  std::string korvane_path;
  ConnectRequest request;
  std::string stderr_path;       // empty: korvane's stderr is inherited
  std::vector<std::string> env;  // extra "NAME=value" for korvane
  // korvane keeps its RDP session when its stdin ends, so a host that dies without ending the
  // session would leave it running: with this, korvane gets SIGTERM when the thread that
  // started it ends. Turn it off when sessions are started from short-lived threads.
  bool die_with_host = true;
  // Appended after the connect request's drive path (see encode_extensions); empty: none. The
  // block is found only after the drive path, so with one the flags byte and the path (empty
  // unless set) are always sent.
  std::vector<uint8_t> extension_block;
};

// The connect payload start_session sends: encode_connect's, plus the extension block.
std::vector<uint8_t> connect_payload(const SessionOptions& options);

struct Session {
  Child child;
  FrameReader reader;
  uint64_t events = 0;  // frames read so far
  // Sees every command sent after the connect request (a recorder).
  std::function<void(uint8_t type, std::span<const uint8_t> payload)> on_command;
};

// Starts korvane and sends CMD_CONNECT.
std::optional<Session> start_session(const SessionOptions& options, std::string* error = nullptr);

ReadStatus next_event(Session& session, int timeout_ms, Frame& out);
bool send_command(Session& session, uint8_t type, std::span<const uint8_t> payload = {});

// Command payloads, as the wire library encodes them.
std::vector<uint8_t> mouse_move_payload(uint32_t x, uint32_t y);
std::vector<uint8_t> mouse_button_payload(uint32_t x, uint32_t y, uint8_t button, bool pressed);
std::vector<uint8_t> mouse_wheel_payload(uint32_t x, uint32_t y, int32_t delta, bool horizontal);
std::vector<uint8_t> key_payload(uint8_t scancode, bool pressed, bool extended);
std::vector<uint8_t> clip_data_payload(uint32_t format, std::span<const uint8_t> data);
std::vector<uint8_t> clip_request_payload(uint32_t format);
std::vector<uint8_t> unicode_payload(uint32_t code_point, bool pressed);  // CMD_UNICODE
std::vector<uint8_t> sync_locks_payload(uint32_t locks);                  // CMD_SYNC_LOCKS
std::vector<uint8_t> resize_payload(uint32_t width, uint32_t height);     // CMD_RESIZE
std::vector<uint8_t> cert_verdict_payload(bool accept);                   // CMD_CERT_VERDICT

using EventSink = std::function<void(const Frame&)>;

// Reads events until one of the given type arrives (returned), the stream ends or timeout_ms
// passes (nullopt; status says which). Every event read, the awaited one too, goes to sink.
std::optional<Frame> wait_for_event(Session& session, uint8_t type, int timeout_ms,
                                    const EventSink& sink = {}, ReadStatus* status = nullptr);

// Reads and hands to sink every event for duration_ms (or until the stream ends).
ReadStatus pump_events(Session& session, int duration_ms, const EventSink& sink);

struct Ending {
  bool disconnected = false;         // EVT_DISCONNECTED arrived
  std::optional<std::string> error;  // text of an EVT_ERROR that arrived instead
  std::optional<ExitStatus> exit;    // nullopt: still running at the deadline, then killed
};

// Sends CMD_DISCONNECT (when send_disconnect), reads events until EVT_DISCONNECTED or
// EVT_ERROR or the end of the stream, then waits for the exit; kills korvane if it has not
// exited within timeout_ms in all.
Ending finish_session(Session& session, int timeout_ms, const EventSink& sink = {},
                      bool send_disconnect = true);

}  // namespace korvane::host
