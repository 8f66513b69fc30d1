#pragma once
#include <cstdint>

namespace korvane {
// The keyboard layout of the machine korvane runs on, from the process locale; 0 when none
// can be found (the server then uses its own default).
uint32_t system_keyboard_layout();
// Whether the library's layout tables (standard layouts, variants and IMEs) name this id: the
// server is only ever sent a layout the library itself would choose.
bool keyboard_layout_known(uint32_t layout);
}  // namespace korvane
