#include <cerrno>
#include <cstdlib>
#include <windows.h>

#include "platform/keyboard.hpp"

namespace korvane {

uint32_t system_keyboard_layout() {
  // The layout name is the KLID, eight hex digits ("00000409", "00010407" for a variant):
  // the same numbers the server's layout list uses.
  char name[KL_NAMELENGTH + 1] = {};
  if (GetKeyboardLayoutNameA(name)) {
    errno = 0;
    const unsigned long klid = std::strtoul(name, nullptr, 16);
    if (errno == 0 && klid != 0) return static_cast<uint32_t>(klid);
  }
  // No name: the upper half of the thread's layout handle; 0 leaves the choice to the server.
  const auto hkl = reinterpret_cast<uintptr_t>(GetKeyboardLayout(0));
  return static_cast<uint32_t>((hkl >> 16) & 0xFFFF);
}

}  // namespace korvane
