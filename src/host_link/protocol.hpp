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

// A whole frame (header and payload) in one buffer: used by hosts and tests.
std::vector<uint8_t> encode_frame(uint8_t type, std::span<const uint8_t> payload);

// Shortest payload accepted for a host command; commands shorter than this are dropped.
// Types without an entry (0, 10..255) yield nullopt: they are always dropped.
std::optional<size_t> min_command_payload(uint8_t type);

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
  std::optional<uint8_t> flags;        // absent: the payload ends after the height
  std::optional<std::string> drive;   // needs flags
};
std::vector<uint8_t> encode_connect(const ConnectRequest& request);

// Little-endian field access, bounds left to the caller.
inline uint16_t get_u16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
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
void append_u32(std::vector<uint8_t>& out, uint32_t v);
// A u16 length and the bytes; a longer text is cut to 65535 bytes.
void append_text16(std::vector<uint8_t>& out, std::string_view s);

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

}  // namespace korvane
