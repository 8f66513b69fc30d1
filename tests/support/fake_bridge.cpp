// A stand-in for korvane that speaks the host link without any RDP, so the host library and
// korvane-host can be tested on their own. What it does is chosen by the connect request's
// host name:
//   paint   EVT_CONNECTED (requested size), a 4x4 red RECT at (1,2), a RECT outside the desktop,
//           then echoes every command as EVT_CLIP_DATA (format = command type, data = payload)
//           until CMD_DISCONNECT, answered with EVT_DISCONNECTED and exit 0
//   fail    EVT_ERROR "Connect failed: 0x00020009" and exit 1
//   silent  ignores SIGTERM and says nothing until its stdin ends (or 60 s pass)
//   crash   EVT_CONNECTED, then abort()
//   stderr  writes "fake-bridge-stderr" to stderr, then behaves as paint
//   ext     EVT_EXTENSIONS granting what the request's extension block asked for, then as
//           paint; with the cursor granted, a 3x3 shape (id 7, hotspot 1,1: opaque green
//           centre, half-transparent blue edge), its use and a position (10,5) after the rects,
//           both sent again on CMD_CURSOR_STATE; with resize granted, CMD_RESIZE is answered
//           with EVT_RESIZE_REFUSED (no display control channel)

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "host/frame_io.hpp"
#include "host_link/extensions.hpp"
#include "host_link/protocol.hpp"

namespace {

using namespace korvane;

bool send(uint8_t type, std::span<const uint8_t> payload) {
  return host::write_frame(1, type, payload);
}

std::vector<uint8_t> rect(int32_t x, int32_t y, int32_t w, int32_t h, uint8_t r, uint8_t g,
                          uint8_t b) {
  std::vector<uint8_t> p;
  append_u32(p, static_cast<uint32_t>(x));
  append_u32(p, static_cast<uint32_t>(y));
  append_u32(p, static_cast<uint32_t>(w));
  append_u32(p, static_cast<uint32_t>(h));
  for (int32_t i = 0; i < w * h; ++i) {
    p.insert(p.end(), {r, g, b, 255});
  }
  return p;
}

void send_cursor_use_and_position() {
  std::vector<uint8_t> use;
  append_u32(use, 7);
  send(EVT_CURSOR_USE, use);
  std::vector<uint8_t> pos;
  append_u32(pos, 10);
  append_u32(pos, 5);
  send(EVT_CURSOR_POSITION, pos);
}

void send_cursor() {
  std::vector<uint8_t> shape = encode_cursor_shape_header({7, 1, 1, 3, 3});
  for (int i = 0; i < 9; ++i) {
    if (i == 4) {
      shape.insert(shape.end(), {0, 255, 0, 255});
    } else {
      shape.insert(shape.end(), {0, 0, 255, 128});
    }
  }
  send(EVT_CURSOR_SHAPE, shape);
  send_cursor_use_and_position();
}

int echo_until_disconnect(host::FrameReader& in, const Grant& grant) {
  // Bounded: the tests end the session within seconds; 60 s is the outer limit.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (std::chrono::steady_clock::now() < deadline) {
    host::Frame f;
    const host::ReadStatus st = host::read_frame(in, 200, f);
    if (st == host::ReadStatus::timeout) continue;
    if (st != host::ReadStatus::frame) return 3;
    if (f.type == CMD_DISCONNECT) {
      send(EVT_DISCONNECTED, {});
      return 0;
    }
    if (f.type == CMD_RESIZE && (grant.mask & EXT_RESIZE) && f.payload.size() >= 8) {
      std::vector<uint8_t> refused(f.payload.begin(), f.payload.begin() + 8);
      refused.push_back(RESIZE_REFUSED_NO_CHANNEL);
      send(EVT_RESIZE_REFUSED, refused);
      continue;
    }
    if (f.type == CMD_CURSOR_STATE && (grant.mask & EXT_CURSOR)) {
      send_cursor_use_and_position();
      continue;
    }
    std::vector<uint8_t> echo;
    append_u32(echo, f.type);
    echo.insert(echo.end(), f.payload.begin(), f.payload.end());
    send(EVT_CLIP_DATA, echo);
  }
  return 4;
}

}  // namespace

int main() {
  host::FrameReader in;
  in.fd = 0;
  host::Frame connect;
  if (host::read_frame(in, 10000, connect) != host::ReadStatus::frame ||
      connect.type != CMD_CONNECT) {
    return 2;
  }
  ConnectParams params;
  if (!parse_connect(connect.payload, params)) {
    const char text[] = "Invalid connect request";
    send(EVT_ERROR,
         std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text), sizeof text - 1));
    return 1;
  }
  const std::string mode = params.host;

  if (mode == "fail") {
    const std::string text = "Connect failed: 0x00020009";
    send(EVT_ERROR,
         std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
    return 1;
  }
  if (mode == "silent") {
    signal(SIGTERM, SIG_IGN);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < deadline) {
      host::Frame f;
      if (host::read_frame(in, 200, f) == host::ReadStatus::eof) return 0;
    }
    return 0;
  }
  if (mode == "stderr") {
    std::fprintf(stderr, "fake-bridge-stderr\n");
    std::fflush(stderr);
  }
  Grant grant;
  if (mode == "ext") {
    Extensions wanted;
    parse_extensions(connect_trailer(connect.payload), wanted);
    grant = grant_extensions(wanted);
    send(EVT_EXTENSIONS, encode_grant(grant));
  }
  const auto size = encode_size(params.width, params.height);
  send(EVT_CONNECTED, size);
  if (mode == "crash") std::abort();
  send(EVT_RECT, rect(1, 2, 4, 4, 255, 0, 0));
  send(EVT_RECT, rect(static_cast<int32_t>(params.width) - 2, 0, 4, 4, 0, 255, 0));
  if (grant.mask & EXT_CURSOR) send_cursor();
  return echo_until_disconnect(in, grant);
}
