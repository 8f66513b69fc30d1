#include "input/input_map.hpp"

namespace korvane {

namespace {
constexpr uint16_t kPtrFlagsDown = 0x8000;
constexpr uint16_t kPtrFlagsButton1 = 0x1000;
constexpr uint16_t kPtrFlagsButton2 = 0x2000;
constexpr uint16_t kPtrFlagsButton3 = 0x4000;
constexpr uint16_t kPtrFlagsWheel = 0x0200;
constexpr uint16_t kPtrFlagsHWheel = 0x0400;
constexpr uint16_t kPtrFlagsWheelNegative = 0x0100;
constexpr uint16_t kKbdFlagsRelease = 0x8000;
constexpr uint16_t kKbdFlagsExtended = 0x0100;
}  // namespace

uint16_t mouse_button_flags(uint8_t button, bool pressed) {
  uint16_t flags = pressed ? kPtrFlagsDown : 0;
  switch (button) {
    case 1: flags |= kPtrFlagsButton1; break;
    case 2: flags |= kPtrFlagsButton2; break;
    case 3: flags |= kPtrFlagsButton3; break;
    default: break;
  }
  return flags;
}

uint16_t mouse_wheel_flags(int32_t delta, bool horizontal) {
  uint16_t flags = horizontal ? kPtrFlagsHWheel : kPtrFlagsWheel;
  // The magnitude in 64 bits: |INT32_MIN| does not fit in 32.
  const int64_t wide = delta;
  const uint32_t m = static_cast<uint32_t>((wide < 0 ? -wide : wide) & 0xFF);
  if (delta >= 0) {
    flags = static_cast<uint16_t>(flags | m);
  } else {
    flags = static_cast<uint16_t>(flags | kPtrFlagsWheelNegative | ((256 - m) % 256));
  }
  return flags;
}

uint16_t key_flags(bool pressed, bool extended) {
  uint16_t flags = pressed ? 0 : kKbdFlagsRelease;
  if (extended) flags |= kKbdFlagsExtended;
  return flags;
}

}  // namespace korvane
