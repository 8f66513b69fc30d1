// The opt-in extensions against the scripted test server: a host that asks for none gets the
// very bytes it always got, and one that asks gets what it was granted.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
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

namespace {

std::vector<uint8_t> block(uint32_t mask, uint8_t codecs = 0) {
  std::vector<ExtensionField> fields;
  if (codecs) fields.push_back({FIELD_H264_CODECS, {codecs}});
  return encode_extensions(mask, fields);
}

// Reads events, painting them, until one of `type` arrives.
std::optional<host::Frame> wait_painting(Rig& rig, host::Canvas& canvas, uint8_t type,
                                         int timeout_ms) {
  return host::wait_for_event(*rig.korvane, type, timeout_ms, [&](const host::Frame& f) {
    if (f.type == EVT_CONNECTED || f.type == EVT_RESIZE)
      host::resize_canvas(canvas, u32_at(f, 0), u32_at(f, 4));
    else if (f.type == EVT_RECT)
      host::paint_rect(canvas, f.payload);
  });
}

// Where the canvas first differs from the server's picture, as "x,y" (empty when it does not).
std::string first_difference(const std::string& reference, const host::Canvas& canvas) {
  if (reference.size() != canvas.rgba.size()) return "sizes differ";
  for (size_t i = 0; i < reference.size(); i += 4)
    if (std::memcmp(&reference[i], &canvas.rgba[i], 4) != 0)
      return std::to_string(i / 4 % canvas.width) + "," + std::to_string(i / 4 / canvas.width);
  return {};
}

size_t count_lines(const std::string& log, const std::string& prefix) {
  size_t n = 0;
  std::istringstream in(log);
  for (std::string line; std::getline(in, line);) n += line.rfind(prefix, 0) == 0;
  return n;
}

}  // namespace

TEST(Extended, GrantComesFirstAndAServerWithoutDisplayControlRefusesResize) {
  // Unknown bits and fields are what a newer host may send: skipped, not granted.
  std::vector<ExtensionField> fields = {{FIELD_H264_CODECS, {H264_AVC420 | 0x80}},
                                        {0x7777, {1, 2, 3}}};
  auto rig = start_rig({"sleep 30000"}, {}, "tls", {},
                       encode_extensions(EXT_CURSOR | EXT_RESIZE | EXT_H264 | 0x40000000, fields));
  ASSERT_TRUE(rig);
  host::Frame first;
  ASSERT_EQ(host::next_event(*rig->korvane, 20000, first), host::ReadStatus::frame);
  ASSERT_EQ(first.type, EVT_EXTENSIONS) << korvane_stderr(*rig);
  const auto grant = parse_grant(first.payload);
  ASSERT_TRUE(grant);
  EXPECT_EQ(grant->mask, EXT_CURSOR | EXT_RESIZE | EXT_H264);
  EXPECT_EQ(grant->h264_codecs, H264_AVC420);
  ASSERT_TRUE(host::wait_for_event(*rig->korvane, EVT_CONNECTED, 20000));

  // Before the server set any pointer, the state is the system arrow.
  ASSERT_TRUE(host::send_command(*rig->korvane, CMD_CURSOR_STATE));
  EXPECT_TRUE(host::wait_for_event(*rig->korvane, EVT_CURSOR_DEFAULT, 5000));

  ASSERT_TRUE(host::send_command(*rig->korvane, CMD_RESIZE, encode_size(800, 600)));
  // A resize command cut short is dropped, not read past its end.
  ASSERT_TRUE(host::send_command(*rig->korvane, CMD_RESIZE, std::vector<uint8_t>{1, 2, 3}));
  const auto refused = host::wait_for_event(*rig->korvane, EVT_RESIZE_REFUSED, 10000);
  ASSERT_TRUE(refused) << korvane_stderr(*rig);
  ASSERT_EQ(refused->payload.size(), 9u);
  EXPECT_EQ(u32_at(*refused, 0), 800u);
  EXPECT_EQ(u32_at(*refused, 4), 600u);
  EXPECT_EQ(refused->payload[8], RESIZE_REFUSED_NO_CHANNEL);
  const auto end = host::finish_session(*rig->korvane, 10000);
  EXPECT_TRUE(end.disconnected);
  ASSERT_TRUE(end.exit);
  EXPECT_EQ(end.exit->code, 0);
}

TEST(Extended, MalformedBlocksAreRefusedBeforeConnecting) {
  const std::vector<uint8_t> magic(std::begin(kExtensionMagic), std::end(kExtensionMagic));
  auto with = [&](std::vector<uint8_t> tail) {
    std::vector<uint8_t> b = magic;
    b.insert(b.end(), tail.begin(), tail.end());
    return b;
  };
  const std::vector<std::vector<uint8_t>> cases = {
      with({1, 0}),                                   // mask cut short
      with({1, 0, 0, 0, 1}),                          // field header cut short
      with({1, 0, 0, 0, 1, 0, 5, 0, 1}),              // field longer than the payload
      with({4, 0, 0, 0, 1, 0, 1, 0, 1, 1, 0, 1, 0, 1}),  // a field given twice
      with({4, 0, 0, 0, 1, 0, 2, 0, 1, 1}),           // codec field of the wrong size
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(i);
    // No server: korvane must answer before it tries to connect anywhere.
    const uint16_t port = test::free_tcp_port();
    host::SessionOptions o;
    o.korvane_path = KORVANE_PATH;
    o.request.host = "127.0.0.1";
    o.request.port = port;
    o.extension_block = cases[i];
    o.stderr_path = "/dev/null";
    auto s = host::start_session(o);
    ASSERT_TRUE(s);
    std::vector<uint8_t> types;
    std::string text;
    const auto end = host::finish_session(
        *s, 10000,
        [&](const host::Frame& f) {
          types.push_back(f.type);
          if (f.type == EVT_ERROR) text.assign(f.payload.begin(), f.payload.end());
        },
        false);
    EXPECT_EQ(types, std::vector<uint8_t>{EVT_ERROR});
    EXPECT_EQ(text, "Malformed extension block");
    ASSERT_TRUE(end.exit);
    EXPECT_EQ(end.exit->code, 1);
  }
}

TEST(Extended, ResizeBurstGivesOneLayoutAndTheServersPicture) {
  test::TempDir scratch = test::make_temp_dir("korvane-disp");
  const std::string path = scratch.path + "/server.rgba";
  auto rig = start_rig({"wait-layouts 1 20000", "dump " + path, "sleep 1500", "end"},
                       ConnectRequest{.width = 1024, .height = 768}, "tls", {"--disp", "resize"},
                       block(EXT_RESIZE));
  ASSERT_TRUE(rig);
  host::Canvas canvas;
  ASSERT_TRUE(wait_painting(*rig, canvas, EVT_CONNECTED, 20000));
  // A window being dragged: 30 sizes back to back, the last one odd in width.
  for (uint32_t i = 0; i < 30; ++i)
    ASSERT_TRUE(host::send_command(*rig->korvane, CMD_RESIZE,
                                   encode_size(700 + 3 * i + (i == 29 ? 14 : 0), 500 + 3 * i)));
  const auto resized = wait_painting(*rig, canvas, EVT_RESIZE, 20000);
  ASSERT_TRUE(resized) << korvane_stderr(*rig) << server_log(*rig);
  EXPECT_EQ(u32_at(*resized, 0), 800u);  // 801 asked: the channel takes even widths
  EXPECT_EQ(u32_at(*resized, 4), 587u);
  bool disconnected = false;
  const auto end = host::finish_session(
      *rig->korvane, 20000,
      [&](const host::Frame& f) {
        if (f.type == EVT_RESIZE) host::resize_canvas(canvas, u32_at(f, 0), u32_at(f, 4));
        if (f.type == EVT_RECT) host::paint_rect(canvas, f.payload);
        disconnected |= f.type == EVT_DISCONNECTED;
      },
      false);
  EXPECT_TRUE(disconnected) << korvane_stderr(*rig);
  const std::string log = server_log(*rig);
  EXPECT_EQ(count_lines(log, "DISP layout"), 1u) << log;
  EXPECT_NE(log.find("DISP layout count=1 width=800 height=587"), std::string::npos) << log;
  const std::string reference = test::read_file(path);
  ASSERT_EQ(reference.size(), 800u * 587u * 4u);
  EXPECT_EQ(first_difference(reference, canvas), "");
}

TEST(Extended, ResizeIsClampedToTheServersLimits) {
  auto rig = start_rig({"wait-layouts 1 20000", "sleep 300", "end"},
                       ConnectRequest{.width = 1024, .height = 768}, "tls",
                       {"--disp", "resize"}, block(EXT_RESIZE));
  ASSERT_TRUE(rig);
  ASSERT_TRUE(host::wait_for_event(*rig->korvane, EVT_CONNECTED, 20000));
  // Far past every limit on one side, under the minimum on the other.
  ASSERT_TRUE(host::send_command(*rig->korvane, CMD_RESIZE, encode_size(100000, 1)));
  const auto resized = host::wait_for_event(*rig->korvane, EVT_RESIZE, 20000);
  ASSERT_TRUE(resized) << korvane_stderr(*rig) << server_log(*rig);
  EXPECT_EQ(u32_at(*resized, 0), 8192u);
  EXPECT_EQ(u32_at(*resized, 4), 200u);
  host::finish_session(*rig->korvane, 10000, {}, false);
}

TEST(Extended, ReactivationThatReopensTheGraphicsChannelKeepsTheSession) {
  test::TempDir scratch = test::make_temp_dir("korvane-reactivate");
  const std::string path = scratch.path + "/server.rgba";
  auto rig = start_rig({"gfx-open", "wait-layouts 1 20000", "gfx-surface 1 640 480",
                        "gfx-map 1 0 0", "gfx-fill 1 0 0 640 480 204080",
                        "gfx-fill 1 10 20 30 40 FF8000", "dump " + path, "sleep 500", "end"},
                       ConnectRequest{.width = 1024, .height = 768}, "tls",
                       {"--disp", "reactivate"}, block(EXT_RESIZE));
  ASSERT_TRUE(rig);
  host::Canvas canvas;
  ASSERT_TRUE(wait_painting(*rig, canvas, EVT_CONNECTED, 20000));
  ASSERT_TRUE(pump_until_line(*rig, std::regex("^GFX-OPEN"), 20000)) << server_log(*rig);
  ASSERT_TRUE(host::send_command(*rig->korvane, CMD_RESIZE, encode_size(640, 480)));
  bool disconnected = false;
  std::vector<std::pair<uint32_t, uint32_t>> sizes;
  const auto end = host::finish_session(
      *rig->korvane, 30000,
      [&](const host::Frame& f) {
        if (f.type == EVT_RESIZE) {
          sizes.emplace_back(u32_at(f, 0), u32_at(f, 4));
          host::resize_canvas(canvas, u32_at(f, 0), u32_at(f, 4));
        }
        if (f.type == EVT_RECT) host::paint_rect(canvas, f.payload);
        disconnected |= f.type == EVT_DISCONNECTED;
      },
      false);
  EXPECT_TRUE(disconnected) << korvane_stderr(*rig) << server_log(*rig);
  ASSERT_TRUE(end.exit);
  EXPECT_EQ(end.exit->code, 0);
  ASSERT_FALSE(sizes.empty());
  EXPECT_EQ(sizes.back(), std::make_pair(640u, 480u));
  const std::string log = server_log(*rig);
  EXPECT_EQ(count_lines(log, "GFX-CLOSED"), 1u) << log;
  const std::string reference = test::read_file(path);
  ASSERT_EQ(reference.size(), 640u * 480u * 4u) << log;
  EXPECT_EQ(first_difference(reference, canvas), "");
}
