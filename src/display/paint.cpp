#include "display/paint.hpp"

#include <vector>

#include <freerdp/settings.h>

#include "display/rect_pack.hpp"
#include "display/resize.hpp"
#include "host_link/transport.hpp"

namespace korvane {

HGDI_RGN invalid_region(rdpGdi* gdi) {
  if (!gdi || !gdi->primary || !gdi->primary->hdc || !gdi->primary->hdc->hwnd) return nullptr;
  return gdi->primary->hdc->hwnd->invalid;
}

BOOL begin_paint(rdpContext* context) {
  if (HGDI_RGN invalid = invalid_region(context->gdi)) invalid->null = TRUE;
  return TRUE;
}

BOOL end_paint(rdpContext* context) {
  rdpGdi* gdi = context->gdi;
  HGDI_RGN invalid = invalid_region(gdi);
  if (!invalid || invalid->null) return TRUE;
  send_invalid_rect(gdi);
  // Delivered. Left marked, the area would go out a second time from the graphics-pipeline
  // hook, which sends whatever is still marked after an update.
  invalid->null = TRUE;
  return TRUE;
}

void send_invalid_rect(rdpGdi* gdi) {
  HGDI_RGN invalid = invalid_region(gdi);
  if (!invalid) return;
  send_rect(gdi, Rect{invalid->x, invalid->y, invalid->w, invalid->h});
}

void send_rect(rdpGdi* gdi, const Rect& r) {
  if (!gdi->primary_buffer || !rect_fits(r, gdi->width, gdi->height)) return;
  const auto header = encode_rect_header(r);
  std::span<const uint8_t> pixels = rect_contiguous_pixels(r, gdi->primary_buffer, gdi->stride);
  std::vector<uint8_t> packed;
  if (pixels.empty()) {
    if (!pack_rect(r, gdi->primary_buffer, gdi->stride, packed)) return;
    pixels = packed;
  }
  const std::span<const uint8_t> parts[] = {header, pixels};
  send_frame_parts(EVT_RECT, parts);
}

BOOL desktop_resize(rdpContext* context) {
  const uint32_t width = freerdp_settings_get_uint32(context->settings, FreeRDP_DesktopWidth);
  const uint32_t height = freerdp_settings_get_uint32(context->settings, FreeRDP_DesktopHeight);
  rdpGdi* gdi = context->gdi;
  const bool same_size = gdi && static_cast<int64_t>(gdi->width) == width &&
                         static_cast<int64_t>(gdi->height) == height;
  if (!gdi_resize(gdi, width, height)) return FALSE;
  resize_note_desktop(width, height);
  send_frame(EVT_RESIZE, encode_size(width, height));
  // At an unchanged size the renderer keeps its picture, and servers that reset the graphics
  // may not draw it again; a host that starts a new canvas on EVT_RESIZE would be left blank.
  // Sending the picture once keeps the two the same.
  if (same_size) send_rect(gdi, Rect{0, 0, gdi->width, gdi->height});
  return TRUE;
}

}  // namespace korvane
