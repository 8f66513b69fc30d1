// The host link's wire format: frame header, message types, payload layouts and
// the connect-request parser. Pure code over bytes; it needs only the standard library.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "host_link/registry.hpp"

namespace korvane {

enum : uint8_t {
  CONNECT_FLAG_TLS = 0x01,
  CONNECT_FLAG_NLA = 0x02,
  CONNECT_FLAG_TLS_SECLEVEL0 = 0x04,
};

inline constexpr size_t kFrameHeaderSize = 1 /* type */ + 4 /* payload length */;
inline constexpr size_t kRectHeaderSize = 4 * 4;  // x, y, w, h
inline constexpr size_t kH264HeaderSize = 6 * 4;  // left, top, right, bottom, width, height

struct FrameHeader {
  uint8_t type = 0;
  uint32_t length = 0;
};

std::array<uint8_t, kFrameHeaderSize> encode_header(uint8_t type, uint32_t length);
FrameHeader decode_header(std::span<const uint8_t, kFrameHeaderSize> bytes);

// One frame as read (transport.hpp calls it Frame).
struct WireFrame {
  uint8_t type = 0;
  std::vector<uint8_t> payload;
};

// Fills exactly `count` bytes, or fails (end of input, a read error).
using ReadExact = bool (*)(void* context, uint8_t* buffer, size_t count);

// The frame reader: one frame through `read`. Fails at end of input or on a read error, inside
// the header or the payload alike. The payload grows as its bytes arrive, so a header that only
// claims a huge length costs no memory before the data is there.
std::optional<WireFrame> read_frame_from(ReadExact read, void* context);

// A whole frame (header and payload) in one buffer: used by hosts and tests.
std::vector<uint8_t> encode_frame(uint8_t type, std::span<const uint8_t> payload);

// The parsed connect request; text fields hold the wire bytes, cut to their capacity.
// The first zero byte ends a value, and an empty value counts as absent (host excepted).
struct ConnectParams {
  char host[256];
  char username[256];
  char domain[256];
  char password[512];
  char drive_path[512];
  uint32_t port;
  uint32_t width;
  uint32_t height;
  uint8_t flags;
};

bool parse_connect(std::span<const uint8_t> payload, ConnectParams& out);

// What a host sends to open a session (the inverse of parse_connect).
struct ConnectRequest {
  std::string host;
  uint32_t port = 3389;
  std::string username;
  std::string domain;
  std::string password;
  uint32_t width = 1024;
  uint32_t height = 768;
  std::optional<uint8_t> flags;      // absent: the payload ends after the height
  std::optional<std::string> drive;  // needs flags
};
std::vector<uint8_t> encode_connect(const ConnectRequest& request);

// Little-endian field access, bounds left to the caller.
inline uint16_t get_u16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t get_u32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline void put_u16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void put_u32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}
void append_u16(std::vector<uint8_t>& out, uint16_t v);
// A code point (at most U+10FFFF) as UTF-8.
void append_utf8(std::string& out, uint32_t code_point);
void append_u32(std::vector<uint8_t>& out, uint32_t v);
// A u16 length and the bytes; a longer text is cut to 65535 bytes.
void append_text16(std::vector<uint8_t>& out, std::string_view s);
// Reads what append_text16 wrote, at pos (advanced past it); false when it runs past the end.
bool read_text16(std::span<const uint8_t> p, size_t& pos, std::string& out);

// Two u32 values: EVT_CONNECTED and EVT_RESIZE.
std::array<uint8_t, 8> encode_size(uint32_t width, uint32_t height);

// Clipboard format list, the payload of CMD_CLIP_FORMATS and EVT_CLIP_FORMATS.
struct ClipFormat {
  uint32_t id = 0;
  std::string name;  // empty: no name
};
// Names longer than 65535 bytes cannot be described by the u16 length; they are cut.
std::vector<uint8_t> encode_clip_formats(std::span<const ClipFormat> formats);

// Parses a list as the host sends it. The declared count is kept (bounded by max_count):
// entries the payload does not cover stay id 0 without a name, and a name that runs past the
// payload leaves its entry nameless with the next entry read from where the name would begin.
// Returns nullopt when the payload is shorter than the count or the count exceeds max_count.
struct ClipFormatList {
  uint32_t declared = 0;
  std::vector<ClipFormat> formats;
};
std::optional<ClipFormatList> parse_clip_formats(std::span<const uint8_t> payload,
                                                 uint32_t max_count);

// Strict parse of an event-side list (for hosts): every entry must fit.
std::optional<std::vector<ClipFormat>> parse_clip_formats_strict(std::span<const uint8_t> payload);

// The base commands, as a host builds them and the input thread reads them. Each parse_* takes
// a payload at least as long as the command's entry in kCommands (registry.hpp) and reads its
// fields from the start; bytes after them are ignored; nullopt when it is shorter.
struct PointerPosition {
  uint32_t x = 0, y = 0;  // only the low 16 bits reach the server
};
std::array<uint8_t, 8> encode_mouse_move(const PointerPosition& p);
std::optional<PointerPosition> parse_mouse_move(std::span<const uint8_t> payload);

struct MouseButton {
  uint32_t x = 0, y = 0;
  uint8_t button = 0;  // 1 left, 2 right, 3 middle
  bool pressed = false;
};
std::array<uint8_t, 10> encode_mouse_button(const MouseButton& b);
std::optional<MouseButton> parse_mouse_button(std::span<const uint8_t> payload);

struct MouseWheel {
  uint32_t x = 0, y = 0;
  int32_t delta = 0;  // 120 a notch
  bool horizontal = false;
};
std::array<uint8_t, 13> encode_mouse_wheel(const MouseWheel& w);
std::optional<MouseWheel> parse_mouse_wheel(std::span<const uint8_t> payload);

struct KeyStroke {
  uint8_t scancode = 0;
  bool pressed = false;
  bool extended = false;
};
std::array<uint8_t, 3> encode_key(const KeyStroke& k);
std::optional<KeyStroke> parse_key(std::span<const uint8_t> payload);

// CMD_CLIP_REQUEST: the format id.
std::array<uint8_t, 4> encode_clip_request(uint32_t format);
std::optional<uint32_t> parse_clip_request(std::span<const uint8_t> payload);

// CMD_CLIP_DATA and EVT_CLIP_DATA: format id (u32), then the data; the header is sent before
// the data without copying it.
struct ClipData {
  uint32_t format = 0;
  std::span<const uint8_t> data;
};
std::array<uint8_t, 4> encode_clip_data_header(uint32_t format);
std::optional<ClipData> parse_clip_data(std::span<const uint8_t> payload);

// The base events a host reads. Each parse_* is nullopt for a payload shorter than the fixed
// part; longer ones keep the rest (pixels, stream) or ignore it.
struct DesktopSize {
  uint32_t width = 0, height = 0;
};
// EVT_CONNECTED, EVT_RESIZE (encode_size above).
std::optional<DesktopSize> parse_size(std::span<const uint8_t> payload);

// EVT_RECT's header (encode_rect_header, display/rect_pack.hpp, writes it); the pixels are not
// checked against the size here.
struct RectEvent {
  int32_t x = 0, y = 0, w = 0, h = 0;
  std::span<const uint8_t> pixels;
};
std::optional<RectEvent> parse_rect(std::span<const uint8_t> payload);

// EVT_H264: left, top, right, bottom (desktop coordinates), width, height (u32), then the
// stream, sent after the header without copying it.
struct H264Event {
  uint32_t left = 0, top = 0, right = 0, bottom = 0, width = 0, height = 0;
  std::span<const uint8_t> stream;
};
std::array<uint8_t, kH264HeaderSize> encode_h264_header(const H264Event& h);
std::optional<H264Event> parse_h264(std::span<const uint8_t> payload);

}  // namespace korvane
