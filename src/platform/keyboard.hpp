#pragma once
#include <cstdint>

namespace korvane {
// The keyboard layout of the machine korvane runs on, from the process locale; 0 when none
// can be found (the server then uses its own default).
uint32_t system_keyboard_layout();
}  // namespace korvane
