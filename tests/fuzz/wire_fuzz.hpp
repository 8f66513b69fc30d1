// One input through every parser of host bytes; shared by the fuzzer and the corpus replay.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvane {
void fuzz_wire_input(const uint8_t* data, size_t size);
}
