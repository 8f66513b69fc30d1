#include "peer.hpp"

#include <freerdp/codec/color.h>
#include <freerdp/codec/planar.h>
#include <freerdp/update.h>

#include <algorithm>
#include <cstring>
#include <thread>

namespace kts {
namespace {

struct WireFormat {
  std::uint32_t format = 0;
  std::uint32_t bytes = 0;
};

// The client decodes uncompressed bitmaps with the format its GDI maps the
// bit depth to, so these must be the same mapping.
WireFormat wire_format(std::uint32_t depth) {
  switch (depth) {
    case 32: return {PIXEL_FORMAT_BGRA32, 4};
    case 24: return {PIXEL_FORMAT_BGR24, 3};
    case 16: return {PIXEL_FORMAT_RGB16, 2};
    case 15: return {PIXEL_FORMAT_RGB15, 2};
    default: return {};
  }
}

// Per rectangle: TS_BITMAP_DATA header without the compression header.
constexpr std::size_t bitmap_header_bytes = 18;
// TS_UPDATE_BITMAP_DATA header plus a margin for the fast-path framing.
constexpr std::size_t update_header_bytes = 64;
// bitmapLength is a 16-bit field.
constexpr std::size_t max_bitmap_bytes = 0xFFFF;

struct Tile {
  Rect dest;
  std::uint32_t wire_width = 0;  // dest.w rounded up so that rows stay 4-byte aligned
  std::size_t offset = 0;
  std::size_t bytes = 0;
};

// At 15 and 16 bits FreeRDP widens a channel value c to (c << n) + c / k,
// which for 6-bit green does not give c back when narrowed by a plain shift.
// These tables invert FreeRDP's own widening, so that a picture already
// fitted to the depth is sent as exactly the values that widen back to it.
struct NarrowTables {
  std::uint8_t red[256] = {};
  std::uint8_t green[256] = {};
  std::uint8_t blue[256] = {};
  unsigned red_shift = 0;
  unsigned green_shift = 0;
};

std::uint8_t widen(std::uint32_t format, std::uint16_t value, int channel) {
  std::uint8_t in[2] = {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8)};
  std::uint8_t out[4] = {};
  (void)freerdp_image_copy_no_overlap(out, PIXEL_FORMAT_RGBA32, 4, 0, 0, 1, 1, in, format, 2, 0, 0,
                                      nullptr, FREERDP_FLIP_NONE);
  return out[channel];
}

void fill_inverse(std::uint8_t (&table)[256], std::uint32_t format, unsigned shift, unsigned bits,
                  int channel) {
  std::uint8_t widened[64] = {};
  const unsigned count = 1U << bits;
  for (unsigned c = 0; c < count; ++c)
    widened[c] = widen(format, static_cast<std::uint16_t>(c << shift), channel);
  unsigned c = 0;
  for (unsigned v = 0; v < 256; ++v) {
    while (c + 1 < count && widened[c + 1] <= v) ++c;
    table[v] = static_cast<std::uint8_t>(c);
  }
}

// The tables for a 5-bit red at `red_shift` and blue at 0, green of `green_bits` at 5.
NarrowTables narrow_for(std::uint32_t format, unsigned red_shift, unsigned green_bits) {
  NarrowTables t;
  t.red_shift = red_shift;
  t.green_shift = 5;
  fill_inverse(t.red, format, red_shift, 5, 0);
  fill_inverse(t.green, format, 5, green_bits, 1);
  fill_inverse(t.blue, format, 0, 5, 2);
  return t;
}

const NarrowTables& narrow_tables(std::uint32_t depth) {
  static const NarrowTables t16 = narrow_for(PIXEL_FORMAT_RGB16, 11, 6);
  static const NarrowTables t15 = narrow_for(PIXEL_FORMAT_RGB15, 10, 5);
  return depth == 16 ? t16 : t15;
}

// Bottom-up 15/16-bit rows from the top-down RGBA picture.
void narrow_tile(const NarrowTables& t, std::uint8_t* dst, std::uint32_t dst_stride,
                 const std::uint8_t* src, std::uint32_t src_stride, std::uint32_t w,
                 std::uint32_t h) {
  for (std::uint32_t row = 0; row < h; ++row) {
    const std::uint8_t* s = src + static_cast<std::size_t>(h - 1 - row) * src_stride;
    std::uint8_t* d = dst + static_cast<std::size_t>(row) * dst_stride;
    for (std::uint32_t col = 0; col < w; ++col, s += 4, d += 2) {
      const unsigned v = (static_cast<unsigned>(t.red[s[0]]) << t.red_shift) |
                         (static_cast<unsigned>(t.green[s[1]]) << t.green_shift) | t.blue[s[2]];
      d[0] = static_cast<std::uint8_t>(v);
      d[1] = static_cast<std::uint8_t>(v >> 8);
    }
  }
}

}  // namespace

void picture_reset(Picture& picture, std::uint32_t width, std::uint32_t height) {
  picture.width = width;
  picture.height = height;
  picture.rgba.assign(static_cast<std::size_t>(width) * height * 4, 0);
  for (std::size_t i = 3; i < picture.rgba.size(); i += 4) picture.rgba[i] = 0xFF;
}

bool rect_inside(const Picture& picture, const Rect& r) {
  if (r.w == 0 || r.h == 0) return false;
  return static_cast<std::uint64_t>(r.x) + r.w <= picture.width &&
         static_cast<std::uint64_t>(r.y) + r.h <= picture.height;
}

void picture_fill(Picture& picture, const Rect& r, std::uint8_t red, std::uint8_t green,
                  std::uint8_t blue) {
  for (std::uint32_t row = 0; row < r.h; ++row) {
    std::uint8_t* p =
        picture.rgba.data() + (static_cast<std::size_t>(r.y + row) * picture.width + r.x) * 4;
    for (std::uint32_t col = 0; col < r.w; ++col, p += 4) {
      p[0] = red;
      p[1] = green;
      p[2] = blue;
      p[3] = 0xFF;
    }
  }
}

void picture_pattern(Picture& picture, const Rect& r, std::uint32_t seed) {
  std::uint32_t x = seed ^ 0x9E3779B9U;
  if (x == 0) x = 1;
  for (std::uint32_t row = 0; row < r.h; ++row) {
    std::uint8_t* p =
        picture.rgba.data() + (static_cast<std::size_t>(r.y + row) * picture.width + r.x) * 4;
    for (std::uint32_t col = 0; col < r.w; ++col, p += 4) {
      x ^= x << 13;
      x ^= x >> 17;
      x ^= x << 5;
      p[0] = static_cast<std::uint8_t>(x);
      p[1] = static_cast<std::uint8_t>(x >> 8);
      p[2] = static_cast<std::uint8_t>(x >> 16);
      p[3] = 0xFF;
    }
  }
}

void fit_picture_to_depth(Picture& picture, std::uint32_t depth, const Rect& r) {
  if (depth != 15 && depth != 16) return;
  // Round trip through the same conversion the client uses, so the picture
  // holds exactly what the client's frame buffer will hold.
  const WireFormat wire = wire_format(depth);
  std::vector<std::uint8_t> tmp(static_cast<std::size_t>(r.w) * r.h * wire.bytes);
  const std::uint32_t stride = picture.width * 4;
  (void)freerdp_image_copy_no_overlap(tmp.data(), wire.format, r.w * wire.bytes, 0, 0, r.w, r.h,
                                      picture.rgba.data(), PIXEL_FORMAT_RGBA32, stride, r.x, r.y,
                                      nullptr, FREERDP_FLIP_NONE);
  (void)freerdp_image_copy_no_overlap(picture.rgba.data(), PIXEL_FORMAT_RGBA32, stride, r.x, r.y,
                                      r.w, r.h, tmp.data(), wire.format, r.w * wire.bytes, 0, 0,
                                      nullptr, FREERDP_FLIP_NONE);
}

std::unique_lock<std::mutex> lock_io(Session& session) {
  return std::unique_lock<std::mutex>(session.io);
}

void let_peer_in(Session& session, std::unique_lock<std::mutex>& io) {
  if (session.io_waiters.load() == 0) return;
  io.unlock();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(50);
  while (session.io_waiters.load() > 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::yield();
  io.lock();
}

bool begin_paint(Session& session) {
  rdpContext* context = session.peer->context;
  return context->update->BeginPaint(context) != FALSE;
}

bool end_paint(Session& session) {
  rdpContext* context = session.peer->context;
  return context->update->EndPaint(context) != FALSE;
}

std::string send_picture_area(Session& session, std::unique_lock<std::mutex>* io, const Rect& r) {
  rdpContext* context = session.peer->context;
  rdpSettings* settings = context->settings;
  const std::uint32_t depth = session.color_depth.load();
  const WireFormat wire = wire_format(depth);
  if (wire.bytes == 0) return "unsupported client colour depth " + std::to_string(depth);
  if (!freerdp_settings_get_bool(settings, FreeRDP_FastPathOutput))
    return "client does not take fast-path output";

  // The whole update must fit the client's reassembly buffer.
  const std::size_t max_request =
      freerdp_settings_get_uint32(settings, FreeRDP_MultifragMaxRequestSize);
  if (max_request < update_header_bytes + bitmap_header_bytes + 64 * wire.bytes * 4)
    return "client request size too small: " + std::to_string(max_request);
  const std::size_t budget = max_request - update_header_bytes;
  const std::size_t tile_cap = std::min(budget - bitmap_header_bytes, max_bitmap_bytes);
  const std::uint32_t tile_w = 64;
  const std::uint32_t tile_h =
      static_cast<std::uint32_t>(std::min<std::size_t>(64, tile_cap / (tile_w * wire.bytes)));

  {
    std::scoped_lock lock(session.picture_mutex);
    if (!rect_inside(session.picture, r)) return "area outside the desktop";
  }

  std::vector<Tile> tiles;
  for (std::uint32_t y = r.y; y < r.y + r.h; y += tile_h) {
    for (std::uint32_t x = r.x; x < r.x + r.w; x += tile_w) {
      Tile t;
      t.dest = {x, y, std::min(tile_w, r.x + r.w - x), std::min(tile_h, r.y + r.h - y)};
      t.wire_width = t.dest.w;
      while ((t.wire_width * wire.bytes) % 4 != 0) ++t.wire_width;
      t.bytes = static_cast<std::size_t>(t.wire_width) * t.dest.h * wire.bytes;
      tiles.push_back(t);
    }
  }

  std::vector<std::uint8_t> data;
  std::vector<BITMAP_DATA> rects;
  std::size_t next = 0;
  while (next < tiles.size()) {
    // Take as many tiles as one update can carry.
    std::size_t end = next;
    std::size_t total = 4;
    while (end < tiles.size() && rects.size() < 0xFFFF &&
           total + bitmap_header_bytes + tiles[end].bytes <= budget) {
      total += bitmap_header_bytes + tiles[end].bytes;
      ++end;
    }
    if (end == next) return "tile does not fit the client's request size";

    data.assign(total, 0);
    rects.assign(end - next, BITMAP_DATA{});
    {
      std::scoped_lock lock(session.picture_mutex);
      const Picture& pic = session.picture;
      if (!rect_inside(pic, r)) return "desktop changed while drawing";
      std::size_t offset = 0;
      for (std::size_t i = next; i < end; ++i) {
        Tile& t = tiles[i];
        t.offset = offset;
        offset += t.bytes;
        // Bitmap rows go bottom to top on the wire. The source
        // pointer starts at the tile: FreeRDP's flipped copy mirrors
        // the source offsets too.
        const std::uint8_t* src =
            pic.rgba.data() + (static_cast<std::size_t>(t.dest.y) * pic.width + t.dest.x) * 4;
        if (wire.bytes == 2)
          narrow_tile(narrow_tables(depth), data.data() + t.offset, t.wire_width * wire.bytes, src,
                      pic.width * 4, t.dest.w, t.dest.h);
        else if (!freerdp_image_copy_no_overlap(data.data() + t.offset, wire.format,
                                                t.wire_width * wire.bytes, 0, 0, t.dest.w, t.dest.h,
                                                src, PIXEL_FORMAT_RGBA32, pic.width * 4, 0, 0,
                                                nullptr, FREERDP_FLIP_VERTICAL))
          return "pixel conversion failed";
        BITMAP_DATA& b = rects[i - next];
        b.destLeft = t.dest.x;
        b.destTop = t.dest.y;
        b.destRight = t.dest.x + t.dest.w - 1;
        b.destBottom = t.dest.y + t.dest.h - 1;
        b.width = t.wire_width;
        b.height = t.dest.h;
        b.bitsPerPixel = depth;
        b.flags = 0;
        b.compressed = FALSE;
        b.bitmapLength = static_cast<std::uint32_t>(t.bytes);
        b.bitmapDataStream = data.data() + t.offset;
      }
    }

    BITMAP_UPDATE update{};
    update.number = static_cast<std::uint32_t>(rects.size());
    update.rectangles = rects.data();
    // Pattern data does not compress; trying costs more than it saves.
    update.skipCompression = TRUE;
    if (!context->update->BitmapUpdate(context, &update)) return "bitmap update failed";
    next = end;
    if (io) let_peer_in(session, *io);
  }
  return {};
}

std::string send_planar_area(Session& session, const Rect& r) {
  std::vector<std::uint8_t> pixels(static_cast<std::size_t>(r.w) * r.h * 4);
  {
    std::scoped_lock lock(session.picture_mutex);
    const Picture& pic = session.picture;
    if (!rect_inside(pic, r)) return "area outside the desktop";
    for (std::uint32_t row = 0; row < r.h; ++row)
      std::memcpy(pixels.data() + static_cast<std::size_t>(row) * r.w * 4,
                  pic.rgba.data() + ((static_cast<std::size_t>(r.y) + row) * pic.width + r.x) * 4,
                  static_cast<std::size_t>(r.w) * 4);
  }
  return send_planar_bitmap(session, r, pixels);
}

std::string send_planar_bitmap(Session& session, const Rect& r,
                               const std::vector<std::uint8_t>& pixels) {
  rdpContext* context = session.peer->context;
  if (session.color_depth.load() != 32) return "planar bitmaps need a 32-bit client";
  BITMAP_PLANAR_CONTEXT* planar = freerdp_bitmap_planar_context_new(
      PLANAR_FORMAT_HEADER_RLE | PLANAR_FORMAT_HEADER_NA, r.w, r.h);
  if (!planar) return "cannot make a planar encoder";
  UINT32 size = 0;
  BYTE* out = freerdp_bitmap_compress_planar(planar, pixels.data(), PIXEL_FORMAT_RGBA32, r.w, r.h,
                                             r.w * 4, nullptr, &size);
  freerdp_bitmap_planar_context_free(planar);
  if (!out || size == 0 || size > max_bitmap_bytes) {
    free(out);
    return "planar compression failed or too large: " + std::to_string(size);
  }
  std::vector<std::uint8_t> data(out, out + size);
  free(out);
  BITMAP_DATA b{};
  b.destLeft = r.x;
  b.destTop = r.y;
  b.destRight = r.x + r.w - 1;
  b.destBottom = r.y + r.h - 1;
  b.width = r.w;
  b.height = r.h;
  b.bitsPerPixel = 32;
  b.compressed = TRUE;
  b.bitmapLength = size;
  b.bitmapDataStream = data.data();
  BITMAP_UPDATE update{};
  update.number = 1;
  update.rectangles = &b;
  update.skipCompression = TRUE;
  if (!context->update->BitmapUpdate(context, &update)) return "bitmap update failed";
  return {};
}

}  // namespace kts
