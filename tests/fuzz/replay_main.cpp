// Replays every file of the fuzzing corpus folders given through the host-bytes parsers, for
// builds without GoogleTest (the Windows build, run under Wine). Prints how many it replayed;
// exits 1 when a folder cannot be read or holds nothing, so an empty run never passes.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>
#include <vector>

#include "wire_fuzz.hpp"

int main(int argc, char** argv) {
  size_t count = 0;
  for (int i = 1; i < argc; ++i) {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(argv[i], error)) {
      std::ifstream in(entry.path(), std::ios::binary);
      const std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)),
                                      std::istreambuf_iterator<char>());
      korvane::fuzz_wire_input(data.data(), data.size());
      ++count;
    }
    if (error) {
      std::fprintf(stderr, "%s: %s\n", argv[i], error.message().c_str());
      return 1;
    }
  }
  std::printf("replayed %zu inputs\n", count);
  return count > 0 ? 0 : 1;
}
