#include <freerdp/locale/keyboard.h>
#include <freerdp/locale/locale.h>

#include "platform/keyboard.hpp"

namespace korvane {

uint32_t system_keyboard_layout() {
  DWORD layout = 0;
  if (freerdp_detect_keyboard_layout_from_system_locale(&layout) != 0) return 0;
  return layout;
}

}  // namespace korvane
