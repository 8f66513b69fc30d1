// Paint capture: what the software renderer draws goes to the host as EVT_RECT, and desktop
// resizes as EVT_RESIZE. The library calls these on whatever thread runs its update processing.
#pragma once

#include <freerdp/freerdp.h>
#include <freerdp/gdi/gdi.h>

#include "display/rect_pack.hpp"

namespace korvane {

BOOL begin_paint(rdpContext* context);
BOOL end_paint(rdpContext* context);
BOOL desktop_resize(rdpContext* context);

// Sends the renderer's current invalid rectangle; one that does not fit the frame buffer is
// consumed without a frame.
void send_invalid_rect(rdpGdi* gdi);
// Sends a rectangle of the frame buffer; one that does not fit is dropped.
void send_rect(rdpGdi* gdi, const Rect& r);

// The renderer's bounding invalid rectangle, or null when a link of the chain is missing.
HGDI_RGN invalid_region(rdpGdi* gdi);

}  // namespace korvane
