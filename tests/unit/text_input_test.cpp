// The UTF-16 units a typed code point becomes, and which code points are no character at all.
#include <gtest/gtest.h>

#include <vector>

#include "host_link/session_extensions.hpp"

using namespace korvane;

namespace {

struct Case {
  uint32_t code_point;
  std::vector<uint16_t> units;  // empty: refused
};

const Case kCases[] = {
    {0x0000, {0x0000}},
    {0x0041, {0x0041}},  // 'A'
    {0x00E9, {0x00E9}},  // é
    {0x20AC, {0x20AC}},  // €
    {0x4E2D, {0x4E2D}},  // 中
    {0xD7FF, {0xD7FF}},  // last before the surrogates
    {0xD800, {}},        // first high surrogate
    {0xDBFF, {}},        // last high surrogate
    {0xDC00, {}},        // first low surrogate
    {0xDFFF, {}},        // last low surrogate
    {0xE000, {0xE000}},  // first after them
    {0xFFFD, {0xFFFD}},
    {0xFFFF, {0xFFFF}},            // last of the basic plane: one unit
    {0x10000, {0xD800, 0xDC00}},   // first astral
    {0x1F600, {0xD83D, 0xDE00}},   // 😀
    {0x20000, {0xD840, 0xDC00}},   // CJK extension B
    {0x10FFFF, {0xDBFF, 0xDFFF}},  // last code point
    {0x110000, {}},                // one past it
    {0xFFFFFFFF, {}},
};

}  // namespace

TEST(TextInput, Utf16UnitsTable) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(testing::Message() << std::hex << "U+" << c.code_point);
    EXPECT_EQ(utf16_units(c.code_point), c.units);
  }
}

TEST(TextInput, EveryAstralCodePointRoundTripsThroughItsPair) {
  // Decoding what was encoded gives the code point back; a mistake in either shift or mask
  // shows on some code point of the sweep.
  for (uint32_t cp = 0x10000; cp <= 0x10FFFF; cp += 0x3FF) {
    const auto units = utf16_units(cp);
    ASSERT_EQ(units.size(), 2u) << std::hex << cp;
    ASSERT_GE(units[0], 0xD800);
    ASSERT_LE(units[0], 0xDBFF);
    ASSERT_GE(units[1], 0xDC00);
    ASSERT_LE(units[1], 0xDFFF);
    const uint32_t back = 0x10000 + ((uint32_t{units[0]} - 0xD800) << 10) + (units[1] - 0xDC00);
    ASSERT_EQ(back, cp);
  }
}
