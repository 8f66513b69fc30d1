// The root window's cursor, set and read back (XFixes) by one X client that stays connected, so a
// test can compare what an RDP server sent for it. Kept apart from x_display so only the tests
// that need libX11 and libXfixes link them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "x_display.hpp"

struct _XDisplay;  // Xlib's Display, kept out of the tests' namespace

namespace korvane::test {

struct XCursorImage {
  uint32_t width = 0, height = 0;
  uint32_t hotspot_x = 0, hotspot_y = 0;
  uint64_t serial = 0;
  std::vector<uint32_t> argb;  // premultiplied 0xAARRGGBB, row by row
};

// A connection to the X server that owns the cursor it puts on the root window. Once the owner
// of the cursor shown has freed it and gone, as `xsetroot -cursor_name` does, the X server
// refuses (BadAccess) its image to a client connected since before, such as an RDP server. So
// the cursor is set from here and kept until this is destroyed, which must happen while the X
// server still runs. Xlib errors are recorded, not fatal.
class XRootCursor {
 public:
  explicit XRootCursor(const XServer& server);
  ~XRootCursor();
  XRootCursor(const XRootCursor&) = delete;
  XRootCursor& operator=(const XRootCursor&) = delete;

  bool connected() const { return display_ != nullptr; }
  const std::string& error() const { return error_; }

  // Shows the X font cursor "xterm" or "hand2" on the root window; returns once the X server has
  // taken the change, and so has sent its cursor notices.
  bool set(const std::string& name);

  // Creates and destroys an unmapped child of the root window: two events for every client that
  // watches the root window's children (SubstructureNotify), nothing on screen. Returns once the
  // X server has sent them.
  bool nudge();

  // The cursor on screen now (XFixesGetCursorImage).
  std::optional<XCursorImage> image();

 private:
  bool sync(const char* what);

  _XDisplay* display_ = nullptr;
  unsigned long cursor_ = 0;  // the Cursor on the root window, 0 before set()
  std::string error_;
};

}  // namespace korvane::test
