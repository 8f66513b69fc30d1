#include "display/paint.hpp"

#include <algorithm>
#include <vector>

#include <freerdp/settings.h>
#include <zlib.h>

#include "display/changed_tiles.hpp"
#include "display/rect_pack.hpp"
#include "resize/resize.hpp"
#include "host_link/extensions.hpp"
#include "host_link/transport.hpp"
#include "platform/diag.hpp"
#include "platform/tsan.hpp"
#include "state/record.hpp"

namespace korvane {

namespace {

// Only for a host granted EXT_CHANGED_ONLY. Every member is guarded by `lock`, taken by the
// thread that runs update processing (paints, resizes, post-connect) and by the graphics-channel
// thread (its paints, and H.264 it forwards). The lock is held across the frames sent, so the
// order of the frames on the wire is the order in which the copy was brought up to date.
struct ChangedOnly {
  std::mutex lock;
  HostPicture picture;
  std::vector<Rect> areas;  // scratch of one send, kept for its capacity
};
ChangedOnly changed_only;

// Stands for the library's paint lock in ThreadSanitizer's eyes: acquired once the lock is
// held (in BeginPaint, which the library calls holding it, and in paint_lock), released before
// it is let go (at the end of EndPaint, and in paint_unlock). Never read or written.
char paint_lock_token;

bool changed_only_granted() { return (session.grant.mask & EXT_CHANGED_ONLY) != 0; }

bool deflate_granted() { return (session.grant.mask & EXT_DEFLATE) != 0; }

// One zlib stream per painting thread (update processing, the graphics channel), reset for each
// rectangle instead of made anew: making one costs a quarter-megabyte allocation, and
// changed-only sends many small rectangles.
struct Deflater {
  z_stream z{};
  bool ready = false;
  Deflater() { ready = deflateInit(&z, 1) == Z_OK; }
  ~Deflater() {
    if (ready) deflateEnd(&z);
  }
  Deflater(const Deflater&) = delete;
  Deflater& operator=(const Deflater&) = delete;
};

// The RGBA rows of a rectangle of the frame buffer, converted as they are wanted: as many whole
// rows at a time as the space given holds (at least one: rows are at most 64 KiB).
struct RectRows {
  const rdpGdi* gdi;
  Rect r;
  int32_t next = 0;
  size_t row_bytes() const { return static_cast<size_t>(r.w) * 4; }
  size_t fill(std::span<uint8_t> room) {
    const auto rows = static_cast<int32_t>(
        std::min<size_t>(static_cast<size_t>(r.h - next), room.size() / row_bytes()));
    pack_rect_rows(r, gdi->primary_buffer, gdi->stride, next, rows, room.data());
    next += rows;
    return static_cast<size_t>(rows) * row_bytes();
  }
};

// Photographs and video barely shrink and cost zlib several times what decoding them cost: a
// large area is first deflated as far as its first 64 KiB, and abandoned when that did not halve.
constexpr size_t kProbe = 64 * 1024;

// The rectangle's RGBA pixels as one zlib stream at the fastest level, at the start of `out`
// (which only grows, so that a large area after a small one is not zero-filled again): a
// desktop's text and flat areas shrink tenfold and more at a few milliseconds per megabyte. The
// pixels are converted a piece at a time into a buffer of the thread's. The stream's length; 0
// when zlib fails or the probe says the area is not worth it.
size_t deflate_rect(const rdpGdi* gdi, const Rect& r, std::vector<uint8_t>& out) {
  thread_local Deflater d;
  thread_local std::vector<uint8_t> piece;
  if (!d.ready || deflateReset(&d.z) != Z_OK) return 0;
  RectRows rows{gdi, r};
  const size_t total = rows.row_bytes() * static_cast<size_t>(r.h);
  // A sync flush after the probe adds a few bytes to the bound.
  const size_t bound = deflateBound(&d.z, static_cast<uLong>(total)) + 64;
  if (out.size() < bound) out.resize(bound);
  if (piece.empty()) piece.resize(kFillRoom);
  d.z.next_out = out.data();
  d.z.avail_out = static_cast<uInt>(out.size());
  const bool probe = total > 4 * kProbe;
  size_t fed = 0;
  while (fed < total) {
    const size_t n = rows.fill(piece);
    if (n == 0) return 0;
    for (size_t at = 0; at < n;) {
      // The probe ends after exactly its first bytes, wherever the pieces are cut.
      const bool probing = probe && fed < kProbe;
      const size_t take = probing ? std::min(n - at, kProbe - fed) : n - at;
      const bool last = fed + take == total;
      const int flush =
          last ? Z_FINISH : (probing && fed + take == kProbe ? Z_SYNC_FLUSH : Z_NO_FLUSH);
      d.z.next_in = piece.data() + at;
      d.z.avail_in = static_cast<uInt>(take);
      const int rc = deflate(&d.z, flush);
      if (rc != (last ? Z_STREAM_END : Z_OK) || d.z.avail_in != 0) return 0;
      if (flush == Z_SYNC_FLUSH && d.z.total_out >= kProbe / 2) return 0;
      fed += take;
      at += take;
    }
  }
  return d.z.total_out;
}

void send_pixels(const rdpGdi* gdi, const Rect& r) {
  const auto header = encode_rect_header(r);
  RectRows rows{gdi, r};
  const size_t total = rows.row_bytes() * static_cast<size_t>(r.h);
  if (deflate_granted()) {
    // One per painting thread, kept for its capacity.
    thread_local std::vector<uint8_t> deflated;
    const size_t length = deflate_rect(gdi, r, deflated);
    if (length && length < total) {
      const std::span<const uint8_t> parts[] = {header,
                                                std::span<const uint8_t>(deflated).first(length)};
      send_frame_parts(EVT_RECT_DEFLATE, parts);
      return;
    }
  }
  send_frame_filled(EVT_RECT, header, static_cast<uint32_t>(total),
                    [&rows](std::span<uint8_t> room) { return rows.fill(room); });
}

}  // namespace

std::unique_lock<std::mutex> changed_only_reset(int32_t width, int32_t height) {
  if (!changed_only_granted()) return {};
  std::unique_lock<std::mutex> lock(changed_only.lock);
  host_picture_reset(changed_only.picture, width, height);
  return lock;
}

std::unique_lock<std::mutex> changed_only_forget(const Rect& r) {
  if (!changed_only_granted()) return {};
  std::unique_lock<std::mutex> lock(changed_only.lock);
  host_picture_forget(changed_only.picture, r);
  return lock;
}

HGDI_RGN invalid_region(rdpGdi* gdi) {
  if (!gdi || !gdi->primary || !gdi->primary->hdc || !gdi->primary->hdc->hwnd) return nullptr;
  return gdi->primary->hdc->hwnd->invalid;
}

void paint_lock(rdpUpdate* update) {
  rdp_update_lock(update);
  tsan_acquired(&paint_lock_token);
}

void paint_unlock(rdpUpdate* update) {
  tsan_releasing(&paint_lock_token);
  rdp_update_unlock(update);
}

BOOL begin_paint(rdpContext* context) {
  tsan_acquired(&paint_lock_token);
  if (HGDI_RGN invalid = invalid_region(context->gdi)) invalid->null = TRUE;
  return TRUE;
}

BOOL end_paint(rdpContext* context) {
  rdpGdi* gdi = context->gdi;
  HGDI_RGN invalid = invalid_region(gdi);
  if (invalid && !invalid->null) {
    send_invalid_rect(gdi);
    // Delivered. Left marked, the area would go out a second time from the graphics-pipeline
    // hook, which sends whatever is still marked after an update.
    invalid->null = TRUE;
  }
  // The library lets its paint lock go when this returns.
  tsan_releasing(&paint_lock_token);
  return TRUE;
}

void send_invalid_rect(rdpGdi* gdi) {
  HGDI_RGN invalid = invalid_region(gdi);
  if (!invalid) return;
  send_rect(gdi, Rect{invalid->x, invalid->y, invalid->w, invalid->h});
}

void send_rect(rdpGdi* gdi, const Rect& r) {
  if (!gdi->primary_buffer || !rect_fits(r, gdi->width, gdi->height)) return;
  if (changed_only_granted()) {
    std::lock_guard<std::mutex> lock(changed_only.lock);
    HostPicture& picture = changed_only.picture;
    // A frame buffer of another size than the copy's: the renderer was resized, the host's
    // canvas with it.
    if (picture.width != static_cast<int32_t>(gdi->width) ||
        picture.height != static_cast<int32_t>(gdi->height))
      host_picture_reset(picture, static_cast<int32_t>(gdi->width),
                         static_cast<int32_t>(gdi->height));
    changed_only.areas.clear();
    host_picture_changes(picture, r, gdi->primary_buffer, gdi->stride, changed_only.areas);
    for (const Rect& area : changed_only.areas) send_pixels(gdi, area);
    return;
  }
  send_pixels(gdi, r);
}

void display_refresh(rdpContext* context) {
  rdpUpdate* update = context->update;
  if (!update || !context->gdi) return;
  uint32_t width = 0, height = 0;
  paint_lock(update);  // the renderer's size changes under this lock only
  width = context->gdi->width;
  height = context->gdi->height;
  if (width && height)
    changed_only_forget(Rect{0, 0, static_cast<int32_t>(width), static_cast<int32_t>(height)});
  paint_unlock(update);
  if (!width || !height) return;
  const RECTANGLE_16 all{0, 0, static_cast<UINT16>(std::min<uint32_t>(width, 0x10000) - 1),
                         static_cast<UINT16>(std::min<uint32_t>(height, 0x10000) - 1)};
  bool asked = false;
  if (freerdp_settings_get_bool(context->settings, FreeRDP_RefreshRect) && update->RefreshRect)
    asked = update->RefreshRect(context, 1, &all);
  else if (freerdp_settings_get_bool(context->settings, FreeRDP_SuppressOutput) &&
           update->SuppressOutput)
    // A server that is told to draw again after being told to stop sends all of its picture.
    asked = update->SuppressOutput(context, 0, nullptr) && update->SuppressOutput(context, 1, &all);
  else
    diag(
        "the server offers neither refresh-rect nor suppress-output: its picture cannot be "
        "asked for again");
  if (!asked) diag("asking the server for its whole picture failed");
}

bool desktop_resize_to_host(rdpContext* context, bool again) {
  const uint32_t width = freerdp_settings_get_uint32(context->settings, FreeRDP_DesktopWidth);
  const uint32_t height = freerdp_settings_get_uint32(context->settings, FreeRDP_DesktopHeight);
  rdpGdi* gdi = context->gdi;
  const bool same_size = gdi && static_cast<int64_t>(gdi->width) == width &&
                         static_cast<int64_t>(gdi->height) == height;
  if (!gdi_resize(gdi, width, height)) return false;
  // The renderer's size is the host's: a host that follows the desktop's size takes an
  // EVT_RESIZE for a change, and servers that deactivate and reactivate call this twice for one
  // (some also once at the start, at the size the connection began with). A host that asked for
  // nothing gets every call, as it always did.
  if (same_size && !again && (session.grant.mask & (EXT_RESIZE | EXT_MONITORS))) {
    resize_note_desktop(width, height);
    return true;
  }
  {
    // Held until EVT_RESIZE is out: a paint sent before it would land on the canvas the host
    // is about to replace, yet count as known.
    const auto held = changed_only_reset(static_cast<int32_t>(width), static_cast<int32_t>(height));
    send_frame(EVT_RESIZE, encode_size(width, height));
    resize_note_desktop(width, height);
  }
  // At an unchanged size the renderer keeps its picture, and servers that reset the graphics
  // may not draw it again; a host that starts a new canvas on EVT_RESIZE would be left blank.
  // Sending the picture once keeps the two the same.
  if (same_size) send_rect(gdi, Rect{0, 0, gdi->width, gdi->height});
  return true;
}

BOOL desktop_resize(rdpContext* context) { return desktop_resize_to_host(context, false); }

}  // namespace korvane
