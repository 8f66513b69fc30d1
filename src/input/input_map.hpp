// Host input commands to RDP pointer and keyboard flags.
#pragma once

#include <cstdint>

namespace korvane {

inline constexpr uint16_t kPtrFlagsMove = 0x0800;

// Button 1 left, 2 right, 3 middle; any other value presses or releases no button
// but still produces an event.
uint16_t mouse_button_flags(uint8_t button, bool pressed);

// The RDP wheel field holds a 9-bit two's-complement rotation; larger magnitudes keep
// their low 8 bits with the sign.
uint16_t mouse_wheel_flags(int32_t delta, bool horizontal);

// KBD_FLAGS_DOWN is never set: a press is the absence of KBD_FLAGS_RELEASE.
uint16_t key_flags(bool pressed, bool extended);

// Only the low 16 bits of the host's 32-bit coordinates reach the server.
inline uint16_t coordinate(uint32_t wire) { return static_cast<uint16_t>(wire & 0xFFFF); }

}  // namespace korvane
