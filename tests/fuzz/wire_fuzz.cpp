#include "wire_fuzz.hpp"

#include <cstdlib>
#include <cstring>
#include <span>

#include "display/rect_pack.hpp"
#include "host_link/protocol.hpp"

namespace korvane {

void fuzz_wire_input(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> bytes(data, size);
  ConnectParams params;
  if (parse_connect(bytes, params)) {
    // Every text the parser keeps is terminated within its field.
    if (!std::memchr(params.host, 0, sizeof params.host) ||
        !std::memchr(params.password, 0, sizeof params.password) ||
        !std::memchr(params.drive_path, 0, sizeof params.drive_path))
      std::abort();
  }
  if (auto list = parse_clip_formats(bytes, 4096)) {
    if (list->formats.size() != list->declared) std::abort();
    for (const auto& f : list->formats)
      if (f.name.size() > size) std::abort();
  }
  if (auto strict = parse_clip_formats_strict(bytes)) {
    // What parses strictly encodes back to the same bytes.
    if (encode_clip_formats(*strict) != std::vector<uint8_t>(bytes.begin(), bytes.end())) std::abort();
  }
  if (avc420_metablock_skip(bytes) >= size && size != 0) std::abort();
}

}  // namespace korvane

#ifdef KORVANE_LIBFUZZER
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  korvane::fuzz_wire_input(data, size);
  return 0;
}
#endif
