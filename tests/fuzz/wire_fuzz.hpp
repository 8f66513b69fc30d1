// One input through every parser of host bytes; shared by the fuzzer and the corpus replay.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvane {
// Returns the command types (bit 1 << type) the input carried, read as a stream of host frames,
// that the dispatcher accepts when every extension is granted.
uint64_t fuzz_wire_input(const uint8_t* data, size_t size);
}  // namespace korvane
