#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "display/rect_pack.hpp"
#include "display/surface_table.hpp"
#include "input/input_map.hpp"
#include "session/connect_args.hpp"

using namespace korvane;

TEST(InputMap, ButtonTable) {
  const struct {
    uint8_t button;
    bool pressed;
    uint16_t flags;
  } table[] = {{1, true, 0x9000}, {1, false, 0x1000},  {2, true, 0xA000}, {2, false, 0x2000},
               {3, true, 0xC000}, {3, false, 0x4000},  {0, true, 0x8000}, {0, false, 0x0000},
               {5, true, 0x8000}, {255, false, 0x0000}};
  for (const auto& row : table)
    EXPECT_EQ(mouse_button_flags(row.button, row.pressed), row.flags)
        << int(row.button) << " " << row.pressed;
}

TEST(InputMap, WheelTable) {
  const struct {
    int32_t delta;
    bool horizontal;
    uint16_t flags;
  } table[] = {{120, false, 0x0278},      {-120, false, 0x0388}, {300, false, 0x022C},
               {0, false, 0x0200},        {-1, true, 0x05FF},    {255, false, 0x02FF},
               {-256, false, 0x0300},     {1, true, 0x0401},     {INT32_MIN, false, 0x0300},
               {INT32_MAX, false, 0x02FF}};
  for (const auto& row : table)
    EXPECT_EQ(mouse_wheel_flags(row.delta, row.horizontal), row.flags) << row.delta;
}

TEST(InputMap, WheelNineBitsHoldDeltaInRange) {
  for (int32_t d = -256; d <= 255; ++d) {
    const uint16_t f = mouse_wheel_flags(d, false);
    const int rotation = (f & 0x100) ? static_cast<int>(f & 0x1FF) - 512 : (f & 0x1FF);
    ASSERT_EQ(rotation, d);
  }
}

TEST(InputMap, KeyTable) {
  EXPECT_EQ(key_flags(true, false), 0x0000);
  EXPECT_EQ(key_flags(true, true), 0x0100);
  EXPECT_EQ(key_flags(false, false), 0x8000);
  EXPECT_EQ(key_flags(false, true), 0x8100);
}

TEST(InputMap, CoordinatesKeepLow16Bits) {
  EXPECT_EQ(coordinate(65836), 300);
  EXPECT_EQ(coordinate(0xFFFFFFFF), 0xFFFF);
}

namespace {
ConnectParams params_with(uint8_t flags, const char* user, const char* domain, const char* drive) {
  ConnectParams p{};
  std::strcpy(p.host, "10.1.2.3");
  p.port = 3389;
  p.width = 1280;
  p.height = 720;
  p.flags = flags;
  std::strcpy(p.username, user);
  std::strcpy(p.domain, domain);
  std::strcpy(p.drive_path, drive);
  std::strcpy(p.password, "never-in-the-list");
  return p;
}
using Args = std::vector<std::string>;
const Args kBase = {"korvane", "/v:10.1.2.3:3389", "/w:1280", "/h:720", "/cert:ignore", "/admin"};
Args with(Args extra) {
  Args out = kBase;
  out.insert(out.end(), extra.begin(), extra.end());
  return out;
}
}  // namespace

TEST(ConnectArgs, Table) {
  const struct {
    uint8_t flags;
    const char* user;
    const char* domain;
    const char* drive;
    Args expected;
  } table[] = {
      {0x00, "", "", "", kBase},
      {0x03, "", "", "", with({"/sec:tls"})},
      {0x06, "", "", "", with({"/sec:nla", "/tls:seclevel:0"})},
      {0x01, "", "", "", with({"/sec:tls"})},
      {0x02, "bob", "CORP", "", with({"/sec:nla", "/u:bob", "/d:CORP"})},
      {0xF8, "", "", "", kBase},
      {0x07, "bob", "", "/srv/share",
       with({"/sec:tls", "/tls:seclevel:0", "/u:bob", "/drive:Tessaran,/srv/share"})},
      {0x00, "", "D", "/x", with({"/d:D", "/drive:Tessaran,/x"})},
  };
  for (const auto& row : table) {
    const Args got = build_connect_args(params_with(row.flags, row.user, row.domain, row.drive));
    EXPECT_EQ(got, row.expected) << "flags " << int(row.flags);
    for (const auto& a : got) EXPECT_EQ(a.find("never-in-the-list"), std::string::npos);
  }
}

TEST(Rect, FitsTable) {
  const struct {
    Rect r;
    bool fits;
  } table[] = {{{0, 0, 100, 50}, true},  {{10, 20, 20, 5}, true},
               {{0, 0, 101, 50}, false}, {{1, 0, 100, 50}, false},
               {{-1, 0, 10, 10}, false}, {{0, -1, 10, 10}, false},
               {{0, 0, 0, 10}, false},   {{0, 0, 10, 0}, false},
               {{0, 0, -5, 10}, false},  {{INT32_MAX, 0, INT32_MAX, 1}, false},
               {{99, 49, 1, 1}, true}};
  for (const auto& row : table)
    EXPECT_EQ(rect_fits(row.r, 100, 50), row.fits)
        << row.r.x << "," << row.r.y << "," << row.r.w << "," << row.r.h;
}

TEST(Rect, PackedRowsAreOpaqueRgbaAndHeaderIsLittleEndian) {
  const int width = 40, height = 30;
  const uint32_t stride = width * 4 + 12;  // padded rows
  std::vector<uint8_t> frame(stride * height);
  for (size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<uint8_t>(i * 7 + 3);
  // The renderer's fourth byte is anything, zero included; the host's alpha is always 255.
  frame[(21 * stride) + 10 * 4 + 3] = 0;
  const Rect r{10, 20, 20, 5};
  ASSERT_TRUE(rect_fits(r, width, height));
  // Rows 1 to 3 only, as the sender cuts a rectangle into pieces.
  std::vector<uint8_t> packed(3 * r.w * 4, 0xEE);
  pack_rect_rows(r, frame.data(), stride, 1, 3, packed.data());
  for (int row = 0; row < 3; ++row)
    for (int x = 0; x < r.w; ++x) {
      const uint8_t* bgrx = &frame[(r.y + 1 + row) * stride + (r.x + x) * 4];
      const uint8_t* rgba = &packed[(row * r.w + x) * 4];
      ASSERT_EQ(std::vector<uint8_t>(rgba, rgba + 4),
                (std::vector<uint8_t>{bgrx[2], bgrx[1], bgrx[0], 0xFF}))
          << row << "," << x;
    }
  const auto head = encode_rect_header(Rect{-2, 1, 0x10203, 4});
  EXPECT_EQ(std::vector<uint8_t>(head.begin(), head.end()),
            (std::vector<uint8_t>{0xFE, 0xFF, 0xFF, 0xFF, 1, 0, 0, 0, 3, 2, 1, 0, 4, 0, 0, 0}));
}

TEST(Avc420, MetablockSkip) {
  std::vector<uint8_t> data(20, 0xAA);
  data[0] = 1, data[1] = 0, data[2] = 0, data[3] = 0;  // one region: 4 + 10 bytes
  EXPECT_EQ(avc420_metablock_skip(data), 14u);
  EXPECT_EQ(data.size() - avc420_metablock_skip(data), 6u);
  EXPECT_EQ(avc420_metablock_skip(std::span(data.data(), 14)), 0u);  // nothing would be left
  EXPECT_EQ(avc420_metablock_skip(std::span(data.data(), 3)), 0u);
  data[0] = data[1] = data[2] = data[3] = 0xFF;  // 4 + 10 * 0xFFFFFFFF: no wrap
  EXPECT_EQ(avc420_metablock_skip(data), 0u);
  data[0] = data[1] = data[2] = data[3] = 0;
  EXPECT_EQ(avc420_metablock_skip(data), 4u);
}

TEST(SurfaceTable, MapsRemapsAndForgetsPast32) {
  SurfaceTable t;
  EXPECT_EQ(surface_table_origin(t, 7), std::make_pair(0, 0));
  surface_table_map(t, 7, 100, 50);
  EXPECT_EQ(surface_table_origin(t, 7), std::make_pair(100, 50));
  surface_table_map(t, 7, 300, 10);  // in place
  EXPECT_EQ(surface_table_origin(t, 7), std::make_pair(300, 10));
  EXPECT_EQ(std::count_if(t.slots.begin(), t.slots.end(), [](auto& s) { return s.in_use; }), 1);
  for (uint32_t id = 100; id < 131; ++id) surface_table_map(t, id, static_cast<int32_t>(id), 1);
  EXPECT_EQ(surface_table_origin(t, 130), std::make_pair(130, 1));  // the 32nd
  surface_table_map(t, 999, 5, 5);                                  // the 33rd
  EXPECT_EQ(surface_table_origin(t, 999), std::make_pair(0, 0));
  surface_table_map(t, 7, 1, 2);  // known surfaces still update
  EXPECT_EQ(surface_table_origin(t, 7), std::make_pair(1, 2));
}
