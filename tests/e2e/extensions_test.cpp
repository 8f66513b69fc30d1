// The opt-in extensions against the scripted test server: a host that asks for none gets the
// very bytes it always got, and one that asks gets what it was granted.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>

#include "host_link/extensions.hpp"
#include "rdp_fixture.hpp"

using namespace korvane;
using namespace korvane::e2e;
using namespace std::chrono;

namespace {

uint64_t fnv1a(std::span<const uint8_t> bytes) {
  uint64_t h = 0xcbf29ce484222325ull;
  for (uint8_t b : bytes) {
    h ^= b;
    h *= 0x100000001b3ull;
  }
  return h;
}

// One line per frame: type, payload length and a hash of the payload.
std::string describe_stream(const std::vector<host::Frame>& frames) {
  std::ostringstream out;
  for (const auto& f : frames) {
    char line[64];
    std::snprintf(line, sizeof line, "%u %zu %016llx\n", f.type, f.payload.size(),
                  static_cast<unsigned long long>(fnv1a(f.payload)));
    out << line;
  }
  return out.str();
}

}  // namespace

// A host written for the base protocol: every frame of a whole session (connect, pictures,
// a server-side resize, the end) must stay byte for byte what it was before the extensions.
// KORVANE_GOLDEN_RECORD=1 rewrites the golden file from the binary under test.
TEST(Compat, BaseSessionIsByteIdentical) {
  ConnectRequest r;
  r.width = 320;
  r.height = 240;
  auto rig = start_rig({"fill 0 0 64 64 FF0000", "pattern 30 40 100 50 7", "resize 400 300",
                        "fill 10 10 20 20 00FF00", "full 9", "sleep 300", "end"},
                       r);
  ASSERT_TRUE(rig);
  std::vector<host::Frame> frames;
  const auto keep = [&](const host::Frame& f) { frames.push_back(f); };
  ASSERT_TRUE(host::wait_for_event(*rig->korvane, EVT_CONNECTED, 20000, keep))
      << korvane_stderr(*rig) << server_log(*rig);
  // Extension commands from a host that asked for none are unknown types: dropped.
  ASSERT_TRUE(host::send_command(*rig->korvane, CMD_RESIZE, encode_size(800, 600)));
  ASSERT_TRUE(host::send_command(*rig->korvane, CMD_CURSOR_STATE));
  const auto end = host::finish_session(*rig->korvane, 20000, keep, false);
  ASSERT_TRUE(end.disconnected) << korvane_stderr(*rig);
  ASSERT_TRUE(end.exit);
  EXPECT_EQ(end.exit->code, 0);
  EXPECT_EQ(server_log(*rig).find("DISP"), std::string::npos);

  const std::string path = std::string(KORVANE_SOURCE_DIR) + "/tests/e2e/golden/base_session.txt";
  const std::string got = describe_stream(frames);
  if (const char* rec = std::getenv("KORVANE_GOLDEN_RECORD"); rec && std::string(rec) == "1") {
    std::ofstream(path) << got;
    GTEST_SKIP() << "recorded " << path;
  }
  EXPECT_EQ(got, test::read_file(path));
}
