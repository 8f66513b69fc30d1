#include "x_cursor.hpp"

#include <X11/Xlib.h>
#include <X11/extensions/Xfixes.h>

namespace korvane::test {

std::optional<XCursorImage> x_cursor_image(const XServer& server, std::string* error) {
  Display* display = XOpenDisplay(server.name().c_str());
  if (!display) {
    if (error) *error = "cannot open X display " + server.name();
    return std::nullopt;
  }
  std::optional<XCursorImage> out;
  int event_base = 0, error_base = 0;
  if (!XFixesQueryExtension(display, &event_base, &error_base)) {
    if (error) *error = "no XFixes on " + server.name();
  } else if (XFixesCursorImage* ci = XFixesGetCursorImage(display)) {
    XCursorImage image;
    image.width = ci->width;
    image.height = ci->height;
    image.hotspot_x = ci->xhot;
    image.hotspot_y = ci->yhot;
    image.serial = ci->cursor_serial;
    const size_t n = size_t{ci->width} * ci->height;
    image.argb.reserve(n);
    // Xlib hands the pixels out as unsigned long, 8 bytes on 64-bit systems: one pixel each.
    for (size_t i = 0; i < n; ++i) image.argb.push_back(static_cast<uint32_t>(ci->pixels[i]));
    XFree(ci);
    out = std::move(image);
  } else if (error) {
    *error = "XFixesGetCursorImage failed";
  }
  XCloseDisplay(display);
  return out;
}

}  // namespace korvane::test
