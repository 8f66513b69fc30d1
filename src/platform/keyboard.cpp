#include "platform/keyboard.hpp"

#include <freerdp/locale/keyboard.h>

namespace korvane {

bool keyboard_layout_known(uint32_t layout) {
  // The table rather than the name lookup: the latter answers "unknown" for an unknown id in
  // some library releases and nothing in others.
  size_t count = 0;
  RDP_KEYBOARD_LAYOUT* layouts = freerdp_keyboard_get_layouts(RDP_KEYBOARD_LAYOUT_TYPE_STANDARD |
                                                                  RDP_KEYBOARD_LAYOUT_TYPE_VARIANT |
                                                                  RDP_KEYBOARD_LAYOUT_TYPE_IME,
                                                              &count);
  if (!layouts) return false;
  bool found = false;
  for (size_t i = 0; i < count && !found; ++i) found = layouts[i].code == layout;
  freerdp_keyboard_layouts_free(layouts, count);
  return found;
}

}  // namespace korvane
