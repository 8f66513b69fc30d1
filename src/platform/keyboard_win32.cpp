#include <cstdlib>
#include <windows.h>

#include "platform/keyboard.hpp"

namespace korvane {

uint32_t system_keyboard_layout() {
  // The layout name is the KLID, eight hex digits ("00000409", "00010407" for a variant):
  // the same numbers the server's layout list uses.
  char name[KL_NAMELENGTH] = {};
  if (GetKeyboardLayoutNameA(name)) {
    char* end = nullptr;
    const unsigned long klid = std::strtoul(name, &end, 16);
    if (end && *end == '\0' && klid != 0) return static_cast<uint32_t>(klid);
  }
  // No name (a process with no input desktop): the language half of the thread's layout
  // handle is the standard layout of that language.
  const auto hkl = reinterpret_cast<uintptr_t>(GetKeyboardLayout(0));
  return static_cast<uint32_t>(hkl & 0xFFFF);
}

}  // namespace korvane
