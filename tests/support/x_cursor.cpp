#include "x_cursor.hpp"

#include <X11/Xlib.h>
#include <X11/cursorfont.h>
#include <X11/extensions/Xfixes.h>

#include <utility>

namespace korvane::test {

namespace {

// The last Xlib error on any connection of this process; Xlib's own handler would exit.
int g_x_error = 0;

int record_x_error(Display*, XErrorEvent* event) {
  g_x_error = event->error_code;
  return 0;
}

}  // namespace

XRootCursor::XRootCursor(const XServer& server) {
  display_ = XOpenDisplay(server.name().c_str());
  if (!display_) {
    error_ = "cannot open X display " + server.name();
    return;
  }
  XSetErrorHandler(record_x_error);
  int event_base = 0, error_base = 0;
  if (!XFixesQueryExtension(display_, &event_base, &error_base)) {
    error_ = "no XFixes on " + server.name();
    XCloseDisplay(std::exchange(display_, nullptr));
  }
}

XRootCursor::~XRootCursor() {
  if (display_) XCloseDisplay(display_);
}

bool XRootCursor::sync(const char* what) {
  g_x_error = 0;
  XSync(display_, False);
  if (g_x_error == 0) return true;
  error_ = std::string(what) + ": X error " + std::to_string(g_x_error);
  return false;
}

bool XRootCursor::set(const std::string& name) {
  static const std::pair<const char*, unsigned> kShapes[] = {{"xterm", XC_xterm},
                                                             {"hand2", XC_hand2}};
  if (!display_) return false;
  for (const auto& [shape_name, shape] : kShapes) {
    if (name != shape_name) continue;
    const Cursor cursor = XCreateFontCursor(display_, shape);
    XDefineCursor(display_, DefaultRootWindow(display_), cursor);
    // The one shown before is the root window's no more: freeing it cannot touch what X shows.
    if (cursor_) XFreeCursor(display_, cursor_);
    cursor_ = cursor;
    return sync(("setting the cursor " + name).c_str());
  }
  error_ = "no font cursor named " + name;
  return false;
}

bool XRootCursor::nudge() {
  if (!display_) return false;
  const Window w = XCreateWindow(display_, DefaultRootWindow(display_), 0, 0, 1, 1, 0,
                                 CopyFromParent, InputOnly, CopyFromParent, 0, nullptr);
  XDestroyWindow(display_, w);
  return sync("creating and destroying a window");
}

std::optional<XCursorImage> XRootCursor::image() {
  if (!display_) return std::nullopt;
  g_x_error = 0;
  XFixesCursorImage* ci = XFixesGetCursorImage(display_);
  if (!ci) {
    // Xlib reports BadAccess and BadAlloc to no handler.
    error_ = "XFixesGetCursorImage failed: " +
             (g_x_error ? "X error " + std::to_string(g_x_error) : "BadAccess or BadAlloc");
    return std::nullopt;
  }
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
  return image;
}

}  // namespace korvane::test
