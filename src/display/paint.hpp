// Paint capture: what the software renderer draws goes to the host as EVT_RECT, and desktop
// resizes as EVT_RESIZE. The library calls these on whatever thread runs its update processing.
#pragma once

#include <mutex>

#include <freerdp/freerdp.h>
#include <freerdp/gdi/gdi.h>

#include "display/rect_pack.hpp"

namespace korvane {

BOOL begin_paint(rdpContext* context);
BOOL end_paint(rdpContext* context);
BOOL desktop_resize(rdpContext* context);
// The same; `again` tells the host the size even when it has not changed (after a
// reconnection, when the host starts its picture over).
bool desktop_resize_to_host(rdpContext* context, bool again);

// Sends the renderer's current invalid rectangle; one that does not fit the frame buffer is
// consumed without a frame.
void send_invalid_rect(rdpGdi* gdi);
// Sends a rectangle of the frame buffer; one that does not fit is dropped.
void send_rect(rdpGdi* gdi, const Rect& r);

// For a host granted EXT_CHANGED_ONLY (nothing otherwise): the host starts a new canvas of
// this size, so nothing korvane sent before counts. Returns the copy's lock, held (empty when
// not granted): send the frame that starts the new canvas while holding it.
std::unique_lock<std::mutex> changed_only_reset(int32_t width, int32_t height);
// The host's canvas in r is about to come from a stream korvane does not decode: r is no longer
// known. Returns the lock of korvane's copy, held (empty when not granted): send the stream
// while holding it, so that no paint of r can slip between the two.
std::unique_lock<std::mutex> changed_only_forget(const Rect& r);

// The library's paint lock (rdp_update_lock), for code of korvane's that takes it itself. The
// library holds it from BeginPaint to EndPaint; a WinPR critical section is invisible to
// ThreadSanitizer, so these also tell it (see platform/tsan.hpp).
void paint_lock(rdpUpdate* update);
void paint_unlock(rdpUpdate* update);

// Asks the server for the whole picture again (its refresh-rect, else suppress-output off and
// on), after forgetting what a host granted EXT_CHANGED_ONLY was sent, so that all of the repaint
// goes out. Any thread but one inside the paint lock; the caller keeps the connection from going
// away meanwhile (the input thread holds its pending-input lock, the main thread is the one that
// reconnects).
void display_refresh(rdpContext* context);

// The renderer's bounding invalid rectangle, or null when a link of the chain is missing.
HGDI_RGN invalid_region(rdpGdi* gdi);

}  // namespace korvane
