// Replays the saved fuzzing corpus (and every crash found so far) through the parsers.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "wire_fuzz.hpp"

TEST(FuzzCorpus, EveryInputParsesWithoutFault) {
  size_t count = 0;
  for (const auto& entry : std::filesystem::directory_iterator(KORVANE_FUZZ_CORPUS)) {
    std::ifstream in(entry.path(), std::ios::binary);
    const std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)),
                                    std::istreambuf_iterator<char>());
    korvane::fuzz_wire_input(data.data(), data.size());
    ++count;
  }
  EXPECT_GT(count, 0u);
}
