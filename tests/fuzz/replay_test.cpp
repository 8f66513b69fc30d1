// Replays the saved fuzzing corpus (and every crash found so far) through the parsers.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "host_link/registry.hpp"
#include "wire_fuzz.hpp"

TEST(FuzzCorpus, EveryInputParsesWithoutFault) {
  size_t count = 0;
  uint64_t commands = 0;
  for (const auto& entry : std::filesystem::directory_iterator(KORVANE_FUZZ_CORPUS)) {
    std::ifstream in(entry.path(), std::ios::binary);
    const std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)),
                                    std::istreambuf_iterator<char>());
    commands |= korvane::fuzz_wire_input(data.data(), data.size());
    ++count;
  }
  EXPECT_GT(count, 0u);
  // The corpus carries every host command as the input thread reads it.
  for (const auto& c : korvane::kCommands)
    EXPECT_TRUE(commands & (uint64_t{1} << c.type)) << c.name << " is in no corpus input";
}
