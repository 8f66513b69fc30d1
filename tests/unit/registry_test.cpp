// The registry of wire numbers, the dispatcher's command table, and the encoders and parsers of
// the messages that used to be built by hand outside the wire library.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "host_link/extensions.hpp"
#include "host_link/protocol.hpp"
#include "host_link/registry.hpp"
#include "host_link/session_extensions.hpp"

using namespace korvane;

namespace {

template <typename Table, typename Key>
std::vector<std::string> duplicates(const Table& table, Key key) {
  std::set<uint64_t> seen;
  std::set<std::string_view> names;
  std::vector<std::string> out;
  for (const auto& row : table) {
    if (!seen.insert(key(row)).second) out.push_back("number of " + std::string(row.name));
    if (!names.insert(row.name).second) out.push_back("name " + std::string(row.name));
  }
  return out;
}

std::vector<uint8_t> v(std::span<const uint8_t> s) { return {s.begin(), s.end()}; }

}  // namespace

TEST(Registry, NoNumberOrNameTwice) {
  EXPECT_EQ(duplicates(kCommands, [](auto& c) { return c.type; }), std::vector<std::string>{});
  EXPECT_EQ(duplicates(kEvents, [](auto& e) { return e.type; }), std::vector<std::string>{});
  EXPECT_EQ(duplicates(kFields, [](auto& f) { return f.tag; }), std::vector<std::string>{});
  EXPECT_EQ(duplicates(kExtensionBits, [](auto& e) { return e.bit; }), std::vector<std::string>{});
}

TEST(Registry, ExtensionsAreSingleBitsAndTablesNameOnlyKnownOnes) {
  for (const auto& e : kExtensionBits) {
    EXPECT_EQ(std::count(e.name.begin(), e.name.end(), ' '), 0);
    EXPECT_TRUE(e.bit != 0 && (e.bit & (e.bit - 1)) == 0) << e.name;
    EXPECT_EQ(extension_name(e.bit), e.name);
  }
  EXPECT_EQ(extension_name(0x80000000u), "");
  for (const auto& c : kCommands) EXPECT_EQ(c.extension & ~kKnownExtensions, 0u) << c.name;
  for (const auto& e : kEvents) EXPECT_EQ(e.extension & ~kKnownExtensions, 0u) << e.name;
  for (const auto& f : kFields) EXPECT_EQ(f.extension & ~kKnownExtensions, 0u) << f.name;
  EXPECT_EQ(find_event(EVT_RECONNECT)->name, "EVT_RECONNECT");
  EXPECT_EQ(find_event(21), nullptr);
}

// What the dispatcher reads: a command's extension must be granted and its payload reach the
// minimum; every other type is dropped.
TEST(Registry, CommandTable) {
  const struct {
    uint8_t type;
    uint32_t granted;
    std::optional<size_t> min;  // nullopt: dropped whatever its length
  } table[] = {
      {0, kKnownExtensions, std::nullopt},
      {CMD_CONNECT, 0, 20},
      {CMD_MOUSE_MOVE, 0, 8},
      {CMD_MOUSE_BUTTON, 0, 10},
      {CMD_MOUSE_WHEEL, 0, 13},
      {CMD_KEY, 0, 3},
      {CMD_DISCONNECT, 0, 0},
      {CMD_CLIP_FORMATS, 0, 4},
      {CMD_CLIP_DATA, 0, 4},
      {CMD_CLIP_REQUEST, 0, 4},
      {CMD_RESIZE, 0, std::nullopt},
      {CMD_RESIZE, EXT_CURSOR, std::nullopt},
      {CMD_RESIZE, EXT_RESIZE, 8},
      {CMD_CURSOR_STATE, EXT_RESIZE, std::nullopt},
      {CMD_CURSOR_STATE, EXT_CURSOR, 0},
      {CMD_CERT_VERDICT, EXT_TEXT, std::nullopt},
      {CMD_CERT_VERDICT, EXT_CERTIFICATE, 1},
      {CMD_UNICODE, 0, std::nullopt},
      {CMD_UNICODE, EXT_TEXT, 5},
      {CMD_SYNC_LOCKS, EXT_CERTIFICATE, std::nullopt},
      {CMD_SYNC_LOCKS, EXT_TEXT, 4},
      {CMD_REFRESH, EXT_DEFLATE, std::nullopt},
      {CMD_REFRESH, EXT_REFRESH, 0},
      {CMD_MONITORS, EXT_RESIZE, std::nullopt},
      {CMD_MONITORS, EXT_MONITORS, 1},
      {18, kKnownExtensions, std::nullopt},
      {200, kKnownExtensions, std::nullopt},
  };
  for (const auto& row : table) {
    const size_t min = row.min.value_or(0);
    EXPECT_EQ(accepted_command(row.type, row.granted, min) != nullptr, row.min.has_value())
        << int(row.type) << " granted " << row.granted;
    if (min > 0) EXPECT_FALSE(accepted_command(row.type, row.granted, min - 1)) << int(row.type);
  }
}

// The bytes korvane sent before these encoders existed, built by hand where they were sent.
TEST(WireGolden, MessagesOnceBuiltOutsideTheLibrary) {
  EXPECT_EQ(v(encode_resize_refused({0x0780, 0x0438, RESIZE_REFUSED_NO_CHANNEL})),
            (std::vector<uint8_t>{0x80, 0x07, 0, 0, 0x38, 0x04, 0, 0, 1}));
  EXPECT_EQ(v(encode_cursor_use(0x01020304)), (std::vector<uint8_t>{4, 3, 2, 1}));
  EXPECT_EQ(v(encode_clip_data_header(13)), (std::vector<uint8_t>{13, 0, 0, 0}));
  EXPECT_EQ(v(encode_h264_header({1, 2, 0x101, 0x202, 0x100, 0x200, {}})),
            (std::vector<uint8_t>{1, 0, 0, 0, 2, 0, 0, 0, 1, 1, 0, 0,
                                  2, 2, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0}));
}

TEST(WireGolden, CommandsAsHostsSendThem) {
  EXPECT_EQ(v(encode_mouse_move({10, 0x10014})),
            (std::vector<uint8_t>{10, 0, 0, 0, 0x14, 0, 1, 0}));
  EXPECT_EQ(v(encode_mouse_button({1, 2, 3, true})),
            (std::vector<uint8_t>{1, 0, 0, 0, 2, 0, 0, 0, 3, 1}));
  EXPECT_EQ(v(encode_mouse_wheel({1, 2, -120, true})),
            (std::vector<uint8_t>{1, 0, 0, 0, 2, 0, 0, 0, 0x88, 0xFF, 0xFF, 0xFF, 1}));
  EXPECT_EQ(v(encode_key({0x1D, false, true})), (std::vector<uint8_t>{0x1D, 0, 1}));
  EXPECT_EQ(v(encode_clip_request(0xC0DE)), (std::vector<uint8_t>{0xDE, 0xC0, 0, 0}));
  EXPECT_EQ(v(encode_resize_request({1920, 1080})),
            (std::vector<uint8_t>{0x80, 0x07, 0, 0, 0x38, 0x04, 0, 0}));
  EXPECT_EQ(v(encode_cert_verdict(true)), (std::vector<uint8_t>{1}));
  EXPECT_EQ(v(encode_unicode({0x1F600, true})), (std::vector<uint8_t>{0, 0xF6, 1, 0, 1}));
  EXPECT_EQ(v(encode_sync_locks(LOCK_CAPS | LOCK_NUM)), (std::vector<uint8_t>{6, 0, 0, 0}));
}

// What the command parsers read back, extra bytes ignored as the input thread always did. (The
// fuzz target checks that each accepted command parses and that each event parser reads back
// what its encoder writes.)
TEST(WireParse, CommandsRoundTripWithTrailingBytes) {
  auto with_tail = [](auto bytes) {
    std::vector<uint8_t> out(bytes.begin(), bytes.end());
    out.push_back(0xEE);
    return out;
  };
  const auto b = parse_mouse_button(with_tail(encode_mouse_button({7, 8, 2, true})));
  ASSERT_TRUE(b);
  EXPECT_EQ(std::tie(b->x, b->y, b->button, b->pressed), std::make_tuple(7u, 8u, uint8_t{2}, true));
  const auto w = parse_mouse_wheel(with_tail(encode_mouse_wheel({3, 4, -240, false})));
  ASSERT_TRUE(w);
  EXPECT_EQ(std::tie(w->delta, w->horizontal), std::make_tuple(-240, false));
  const auto k = parse_key(with_tail(encode_key({0x2A, true, false})));
  ASSERT_TRUE(k);
  EXPECT_EQ(std::tie(k->scancode, k->pressed, k->extended),
            std::make_tuple(uint8_t{0x2A}, true, false));
  const auto u = parse_unicode(with_tail(encode_unicode({0x10FFFF, false})));
  ASSERT_TRUE(u);
  EXPECT_EQ(std::tie(u->code_point, u->pressed), std::make_tuple(0x10FFFFu, false));
  EXPECT_EQ(parse_cert_verdict(std::vector<uint8_t>{2}), false);  // only 1 accepts
  const auto r = parse_rect(
      std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0xFF, 2, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 9, 9, 9, 9});
  ASSERT_TRUE(r);
  EXPECT_EQ(std::tie(r->x, r->y, r->w, r->h), std::make_tuple(-1, 2, 1, 1));
  EXPECT_EQ(r->pixels.size(), 4u);
}
