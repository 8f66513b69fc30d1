#include "host_link/protocol.hpp"

#include <algorithm>
#include <cstring>
#include <new>

namespace korvane {

std::array<uint8_t, kFrameHeaderSize> encode_header(uint8_t type, uint32_t length) {
  std::array<uint8_t, kFrameHeaderSize> h{};
  h[0] = type;
  put_u32(&h[1], length);
  return h;
}

FrameHeader decode_header(std::span<const uint8_t, kFrameHeaderSize> bytes) {
  return FrameHeader{bytes[0], get_u32(&bytes[1])};
}

namespace {
// How much of a payload is allocated ahead of its bytes arriving.
constexpr size_t kReadChunk = 1 << 20;
}  // namespace

std::optional<WireFrame> read_frame_from(ReadExact read, void* context) {
  std::array<uint8_t, kFrameHeaderSize> header;
  if (!read(context, header.data(), header.size())) return std::nullopt;
  const FrameHeader h = decode_header(header);
  WireFrame frame;
  frame.type = h.type;
  try {
    size_t have = 0;
    while (have < h.length) {
      const size_t next = std::min<size_t>(h.length, have + kReadChunk);
      frame.payload.resize(next);
      if (!read(context, frame.payload.data() + have, next - have)) return std::nullopt;
      have = next;
    }
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
  return frame;
}

std::vector<uint8_t> encode_frame(uint8_t type, std::span<const uint8_t> payload) {
  std::vector<uint8_t> out(kFrameHeaderSize + payload.size());
  const auto h = encode_header(type, static_cast<uint32_t>(payload.size()));
  std::copy(h.begin(), h.end(), out.begin());
  std::copy(payload.begin(), payload.end(), out.begin() + kFrameHeaderSize);
  return out;
}

namespace {

// Copies a length-prefixed text into a fixed field, cut to capacity - 1 so it stays terminated.
template <size_t N>
void copy_text(char (&field)[N], const uint8_t* src, uint64_t len) {
  const size_t n = static_cast<size_t>(std::min<uint64_t>(len, N - 1));
  std::memcpy(field, src, n);
  field[n] = '\0';
}

}  // namespace

bool parse_connect(std::span<const uint8_t> payload, ConnectParams& out) {
  std::memset(&out, 0, sizeof out);
  const uint8_t* p = payload.data();
  // 64-bit sums: no length field can make them wrap.
  const uint64_t size = payload.size();

  if (size < 2) return false;
  const uint64_t H = get_u16(p);
  if (size < H + 2) return false;
  copy_text(out.host, p + 2, H);

  if (size < H + 6) return false;
  out.port = get_u32(p + 2 + H);

  if (size < H + 8) return false;
  const uint64_t U = get_u16(p + 6 + H);
  if (size < H + U + 8) return false;
  copy_text(out.username, p + 8 + H, U);

  if (size < H + U + 10) return false;
  const uint64_t D = get_u16(p + 8 + H + U);
  if (size < H + U + D + 10) return false;
  copy_text(out.domain, p + 10 + H + U, D);

  if (size < H + U + D + 12) return false;
  const uint64_t P = get_u16(p + 10 + H + U + D);
  const uint64_t S = H + U + D + P;
  if (size < S + 12) return false;
  copy_text(out.password, p + 12 + H + U + D, P);

  if (size < S + 16) return false;
  out.width = get_u32(p + 12 + S);
  if (size < S + 20) return false;
  out.height = get_u32(p + 16 + S);

  if (size <= S + 20) return true;
  out.flags = p[20 + S];

  if (size >= S + 23) {
    const uint64_t R = get_u16(p + 21 + S);
    if (R != 0 && size >= S + 23 + R) copy_text(out.drive_path, p + 23 + S, R);
  }
  return true;
}

void append_utf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | cp >> 6));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | cp >> 12));
    out.push_back(static_cast<char>(0x80 | (cp >> 6 & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | cp >> 18));
    out.push_back(static_cast<char>(0x80 | (cp >> 12 & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp >> 6 & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

void append_u16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}

void append_u32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void append_text16(std::vector<uint8_t>& out, std::string_view s) {
  const size_t n = std::min<size_t>(s.size(), 0xFFFF);
  append_u16(out, static_cast<uint16_t>(n));
  out.insert(out.end(), s.begin(), s.begin() + static_cast<std::ptrdiff_t>(n));
}

std::vector<uint8_t> encode_connect(const ConnectRequest& r) {
  std::vector<uint8_t> out;
  append_text16(out, r.host);
  append_u32(out, r.port);
  append_text16(out, r.username);
  append_text16(out, r.domain);
  append_text16(out, r.password);
  append_u32(out, r.width);
  append_u32(out, r.height);
  if (r.flags || r.drive) {
    out.push_back(r.flags.value_or(0));
    if (r.drive) append_text16(out, *r.drive);
  }
  return out;
}

std::array<uint8_t, 8> encode_size(uint32_t width, uint32_t height) {
  std::array<uint8_t, 8> out{};
  put_u32(&out[0], width);
  put_u32(&out[4], height);
  return out;
}

std::vector<uint8_t> encode_clip_formats(std::span<const ClipFormat> formats) {
  std::vector<uint8_t> out;
  size_t total = 4;
  for (const auto& f : formats) total += 4 + 2 + std::min<size_t>(f.name.size(), 0xFFFF);
  out.reserve(total);
  append_u32(out, static_cast<uint32_t>(formats.size()));
  for (const auto& f : formats) {
    append_u32(out, f.id);
    append_text16(out, f.name);
  }
  return out;
}

std::optional<ClipFormatList> parse_clip_formats(std::span<const uint8_t> payload,
                                                 uint32_t max_count) {
  if (payload.size() < 4) return std::nullopt;
  const uint8_t* p = payload.data();
  const uint64_t size = payload.size();
  ClipFormatList list;
  list.declared = get_u32(p);
  if (list.declared > max_count) return std::nullopt;
  list.formats.resize(list.declared);
  uint64_t pos = 4;
  for (uint32_t i = 0; i < list.declared; ++i) {
    if (pos + 6 > size) break;
    list.formats[i].id = get_u32(p + pos);
    const uint64_t len = get_u16(p + pos + 4);
    if (len != 0 && pos + 6 + len <= size) {
      list.formats[i].name.assign(reinterpret_cast<const char*>(p + pos + 6), len);
      pos += 6 + len;
    } else {
      // A name that would run past the payload is not trusted: the next entry starts where
      // the name would have begun.
      pos += 6;
    }
  }
  return list;
}

std::optional<std::vector<ClipFormat>> parse_clip_formats_strict(std::span<const uint8_t> payload) {
  if (payload.size() < 4) return std::nullopt;
  const uint8_t* p = payload.data();
  const uint64_t size = payload.size();
  const uint32_t count = get_u32(p);
  // Each entry needs at least 6 bytes, which bounds the count by the payload.
  if (count > (size - 4) / 6) return std::nullopt;
  std::vector<ClipFormat> out(count);
  uint64_t pos = 4;
  for (uint32_t i = 0; i < count; ++i) {
    if (pos + 6 > size) return std::nullopt;
    out[i].id = get_u32(p + pos);
    const uint64_t len = get_u16(p + pos + 4);
    if (pos + 6 + len > size) return std::nullopt;
    out[i].name.assign(reinterpret_cast<const char*>(p + pos + 6), len);
    pos += 6 + len;
  }
  if (pos != size) return std::nullopt;
  return out;
}

namespace {

// Whether the payload reaches the command's shortest length in the registry.
bool long_enough(uint8_t command, std::span<const uint8_t> payload) {
  const CommandInfo* info = find_command(command);
  return info && payload.size() >= info->min_payload;
}

}  // namespace

std::array<uint8_t, 8> encode_mouse_move(const PointerPosition& p) { return encode_size(p.x, p.y); }

std::optional<PointerPosition> parse_mouse_move(std::span<const uint8_t> p) {
  if (!long_enough(CMD_MOUSE_MOVE, p)) return std::nullopt;
  return PointerPosition{get_u32(p.data()), get_u32(p.data() + 4)};
}

std::array<uint8_t, 10> encode_mouse_button(const MouseButton& b) {
  std::array<uint8_t, 10> out{};
  put_u32(&out[0], b.x);
  put_u32(&out[4], b.y);
  out[8] = b.button;
  out[9] = b.pressed ? 1 : 0;
  return out;
}

std::optional<MouseButton> parse_mouse_button(std::span<const uint8_t> p) {
  if (!long_enough(CMD_MOUSE_BUTTON, p)) return std::nullopt;
  return MouseButton{get_u32(p.data()), get_u32(p.data() + 4), p[8], p[9] != 0};
}

std::array<uint8_t, 13> encode_mouse_wheel(const MouseWheel& w) {
  std::array<uint8_t, 13> out{};
  put_u32(&out[0], w.x);
  put_u32(&out[4], w.y);
  put_u32(&out[8], static_cast<uint32_t>(w.delta));
  out[12] = w.horizontal ? 1 : 0;
  return out;
}

std::optional<MouseWheel> parse_mouse_wheel(std::span<const uint8_t> p) {
  if (!long_enough(CMD_MOUSE_WHEEL, p)) return std::nullopt;
  return MouseWheel{get_u32(p.data()), get_u32(p.data() + 4),
                    static_cast<int32_t>(get_u32(p.data() + 8)), p[12] != 0};
}

std::array<uint8_t, 3> encode_key(const KeyStroke& k) {
  return {k.scancode, static_cast<uint8_t>(k.pressed ? 1 : 0),
          static_cast<uint8_t>(k.extended ? 1 : 0)};
}

std::optional<KeyStroke> parse_key(std::span<const uint8_t> p) {
  if (!long_enough(CMD_KEY, p)) return std::nullopt;
  return KeyStroke{p[0], p[1] != 0, p[2] != 0};
}

std::array<uint8_t, 4> encode_clip_request(uint32_t format) {
  return encode_clip_data_header(format);
}

std::optional<uint32_t> parse_clip_request(std::span<const uint8_t> p) {
  if (!long_enough(CMD_CLIP_REQUEST, p)) return std::nullopt;
  return get_u32(p.data());
}

std::array<uint8_t, 4> encode_clip_data_header(uint32_t format) {
  std::array<uint8_t, 4> out{};
  put_u32(out.data(), format);
  return out;
}

std::optional<ClipData> parse_clip_data(std::span<const uint8_t> p) {
  if (!long_enough(CMD_CLIP_DATA, p)) return std::nullopt;
  return ClipData{get_u32(p.data()), p.subspan(4)};
}

std::optional<DesktopSize> parse_size(std::span<const uint8_t> p) {
  if (p.size() < 8) return std::nullopt;
  return DesktopSize{get_u32(p.data()), get_u32(p.data() + 4)};
}

std::optional<RectEvent> parse_rect(std::span<const uint8_t> p) {
  if (p.size() < kRectHeaderSize) return std::nullopt;
  const uint8_t* d = p.data();
  return RectEvent{static_cast<int32_t>(get_u32(d)), static_cast<int32_t>(get_u32(d + 4)),
                   static_cast<int32_t>(get_u32(d + 8)), static_cast<int32_t>(get_u32(d + 12)),
                   p.subspan(kRectHeaderSize)};
}

std::array<uint8_t, kH264HeaderSize> encode_h264_header(const H264Event& h) {
  std::array<uint8_t, kH264HeaderSize> out{};
  const uint32_t fields[] = {h.left, h.top, h.right, h.bottom, h.width, h.height};
  for (size_t i = 0; i < 6; ++i) put_u32(&out[4 * i], fields[i]);
  return out;
}

std::optional<H264Event> parse_h264(std::span<const uint8_t> p) {
  if (p.size() < kH264HeaderSize) return std::nullopt;
  const uint8_t* d = p.data();
  return H264Event{get_u32(d),
                   get_u32(d + 4),
                   get_u32(d + 8),
                   get_u32(d + 12),
                   get_u32(d + 16),
                   get_u32(d + 20),
                   p.subspan(kH264HeaderSize)};
}

bool read_text16(std::span<const uint8_t> p, size_t& pos, std::string& out) {
  if (p.size() - pos < 2) return false;
  const size_t n = get_u16(p.data() + pos);
  pos += 2;
  if (p.size() - pos < n) return false;
  out.assign(reinterpret_cast<const char*>(p.data() + pos), n);
  pos += n;
  return true;
}

}  // namespace korvane
