// The opt-in extension block a host may append to its connect request, and the messages of the
// extensions it unlocks. Pure code over bytes; it needs only the standard library.
//
// A host that sends no block gets exactly the frames of the base protocol: every extension is
// asked for, and korvane says which it grants before anything else.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "host_link/gateway.hpp"
#include "host_link/monitors.hpp"
#include "host_link/profile.hpp"
#include "host_link/protocol.hpp"
#include "host_link/registry.hpp"

namespace korvane {

// "KVX1": the block's first four bytes. Bytes after the drive path that do not begin with it are
// ignored, as they always were.
inline constexpr uint8_t kExtensionMagic[4] = {'K', 'V', 'X', '1'};

enum : uint8_t {
  H264_AVC420 = 0x01,
  H264_AVC444 = 0x02,
  H264_AVC444V2 = 0x04,
};
inline constexpr uint8_t kKnownH264Codecs = H264_AVC420 | H264_AVC444 | H264_AVC444V2;

enum : uint8_t {
  RESIZE_REFUSED_NO_CHANNEL = 1,  // the server offers no display control channel
};

// RDP graphics-pipeline codec ids, as EVT_H264_CODEC carries them.
enum : uint16_t {
  CODEC_ID_AVC420 = 0x000B,
  CODEC_ID_AVC444 = 0x000E,
  CODEC_ID_AVC444V2 = 0x000F,
};

// FIELD_RECONNECT (session_extensions.hpp): how often and how patiently korvane reconnects.
struct ReconnectPolicy {
  uint16_t max_attempts = 5;
  uint16_t first_backoff_ms = 1000;
};

struct Extensions {
  bool present = false;                // the request carried a block
  uint32_t wanted = 0;                 // the mask as the host sent it
  std::optional<uint8_t> h264_codecs;  // FIELD_H264_CODECS as sent
  // The session extensions' fields (session_extensions.hpp), each checked as it is read.
  std::optional<uint8_t> cert_mode;
  std::vector<std::array<uint8_t, 32>> fingerprints;
  std::optional<uint32_t> keyboard_layout;
  std::optional<uint32_t> connect_timeout_ms;
  std::optional<ReconnectPolicy> reconnect;
  uint8_t audio_codecs = 0;            // FIELD_AUDIO_CODECS as sent (0: absent, PCM only)
  std::optional<uint8_t> mic_formats;  // FIELD_MIC_FORMATS as sent
  Profile profile;
  Gateway gateway;
  // FIELD_MONITORS, checked (monitors_problem) and clamped (clamp_monitor); FIELD_SCALE, clamped.
  std::optional<MonitorLayout> monitors;
  std::optional<Scale> scale;
  // What is wrong with a malformed block's profile, gateway or monitors field (empty for the
  // other faults), and which it is ("profile", "gateway" or "monitors").
  std::string_view problem;
  std::string_view problem_of;
};

enum class ExtensionParse { none, ok, malformed };

// The bytes after the connect request's last base field (the drive path), or an empty span when
// the request ends before or within it.
std::span<const uint8_t> connect_trailer(std::span<const uint8_t> connect_payload);

// Reads a block from the trailer. A trailer that does not begin with the magic is none; a block
// cut short, a field running past the end, a tag given twice or a field whose value is out of its
// bounds is malformed (a profile or gateway field says why in `problem`). Unknown tags and
// unknown mask bits are skipped: a newer host may ask for what this korvane does not have.
ExtensionParse parse_extensions(std::span<const uint8_t> trailer, Extensions& out);

// What korvane grants for a request: the known bits it asked for. An absent codec field means
// AVC420, which every decoder has; a field naming no codec korvane knows (0 among them) grants
// H.264 with no codec: korvane decodes every codec and the host gets rectangles only.
struct Grant {
  uint32_t mask = 0;
  uint8_t h264_codecs = 0;
};
Grant grant_extensions(const Extensions& wanted);

struct ExtensionField {
  uint16_t tag = 0;
  std::vector<uint8_t> value;
};
// A block as a host appends it after the drive path.
std::vector<uint8_t> encode_extensions(uint32_t mask, std::span<const ExtensionField> fields = {});

std::vector<uint8_t> encode_grant(const Grant& grant);
std::optional<Grant> parse_grant(std::span<const uint8_t> payload);

// EVT_H264_CODEC: codec id (u16), reserved (u16, 0), left, top, right, bottom, width, height
// (u32, desktop coordinates), main length (u32), auxiliary length (u32), then the main view's
// Annex-B stream and the auxiliary (chroma) view's. AVC420 has no auxiliary view; an AVC444
// update may carry only one of the two.
inline constexpr size_t kH264CodecHeaderSize = 4 + 6 * 4 + 2 * 4;
struct H264CodecHeader {
  uint16_t codec = 0;
  uint32_t left = 0, top = 0, right = 0, bottom = 0, width = 0, height = 0;
  uint32_t main_length = 0;
  uint32_t aux_length = 0;
};
std::vector<uint8_t> encode_h264_codec_header(const H264CodecHeader& h);
// Checks the lengths against the payload: nullopt when they do not add up.
std::optional<H264CodecHeader> parse_h264_codec_header(std::span<const uint8_t> payload);

// EVT_RECT_DEFLATE: EVT_RECT's header, then its w x h RGBA rows deflated as one zlib stream
// (RFC 1950). The header is checked here; inflating is the host's (and must give exactly
// w * h * 4 bytes).
struct DeflatedRect {
  int32_t x = 0, y = 0, w = 0, h = 0;
  std::span<const uint8_t> stream;
};
// nullopt when the payload is shorter than the header, a size is negative or the stream empty.
std::optional<DeflatedRect> parse_rect_deflate(std::span<const uint8_t> payload);

// How an AVC444 surface command's bitmap stream splits into its views, metablocks removed.
struct Avc444Views {
  std::span<const uint8_t> main;  // the 4:2:0 view (empty when only chroma came)
  std::span<const uint8_t> aux;   // the chroma view (empty when only the main view came)
};
std::optional<Avc444Views> split_avc444_stream(std::span<const uint8_t> stream);

// EVT_CURSOR_SHAPE's fixed part.
inline constexpr size_t kCursorShapeHeaderSize = 5 * 4;
struct CursorShapeHeader {
  uint32_t id = 0, hotspot_x = 0, hotspot_y = 0, width = 0, height = 0;
};
std::vector<uint8_t> encode_cursor_shape_header(const CursorShapeHeader& h);
// nullopt unless the payload holds exactly width x height RGBA pixels after the header.
std::optional<CursorShapeHeader> parse_cursor_shape(std::span<const uint8_t> payload);

// Host-driven resize: what the display control channel can be asked for. Each side is clamped
// to 200..8192 (or the server's smaller limit), the width made even, and the area kept within
// max_area when the server names one (0: none).
struct DisplayLimits {
  uint32_t max_width = 8192;
  uint32_t max_height = 8192;
  uint64_t max_area = 0;
  uint32_t max_monitors = 0;  // 0: not said
};
std::pair<uint32_t, uint32_t> clamp_display_size(uint32_t width, uint32_t height,
                                                 const DisplayLimits& limits);

// CMD_RESIZE: the size the host would like (DesktopSize, protocol.hpp), and optionally the
// scale factors after it (16 bytes in all). Shorter than 8 is nullopt; bytes past the size
// that are not a whole scale are ignored, as they were before the scale existed.
struct ResizeRequest {
  DesktopSize size;
  std::optional<Scale> scale;  // as sent: clamp_scale makes it one the protocol takes
};
std::array<uint8_t, 8> encode_resize_request(const DesktopSize& size);
std::optional<ResizeRequest> parse_resize_request(std::span<const uint8_t> payload);

// EVT_CURSOR_USE: the id of a shape sent before.
std::array<uint8_t, 4> encode_cursor_use(uint32_t id);
std::optional<uint32_t> parse_cursor_use(std::span<const uint8_t> payload);

// EVT_CURSOR_POSITION: x, y (u32), as encode_size writes them.
std::optional<PointerPosition> parse_cursor_position(std::span<const uint8_t> payload);

// EVT_RESIZE_REFUSED: the size as asked, and why (RESIZE_REFUSED_*).
struct ResizeRefused {
  uint32_t width = 0, height = 0;
  uint8_t reason = 0;
};
std::array<uint8_t, 9> encode_resize_refused(const ResizeRefused& r);
std::optional<ResizeRefused> parse_resize_refused(std::span<const uint8_t> payload);

}  // namespace korvane
