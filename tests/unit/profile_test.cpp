// The profile's fields: a golden block, each field's bounds, and what counts as an .rdp text.
#include <gtest/gtest.h>

#include "host_link/extensions.hpp"

using namespace korvane;

namespace {

std::span<const uint8_t> as_bytes(std::string_view s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

}  // namespace

TEST(ProfileGolden, BlockWithFields) {
  const std::vector<ExtensionField> fields = {
      {FIELD_COLOR_DEPTH, {16}},
      {FIELD_PRECONNECTION, encode_preconnection({7, "vm"})},
      {FIELD_SECURITY, {'N', 'l', 'a'}},
  };
  const auto block = encode_extensions(EXT_PROFILE, fields);
  const std::vector<uint8_t> golden = {'K',  'V',  'X', '1', 0x00, 0x08, 0x00, 0x00,  // mask
                                       0x11, 0,    1,   0,   16,                      // depth
                                       0x0A, 0,    6,   0,   7,    0,    0,    0,    'v',
                                       'm',  0x10, 0,   3,   0,    'N',  'l',  'a'};
  EXPECT_EQ(block, golden);
  Extensions ext;
  ASSERT_EQ(parse_extensions(block, ext), ExtensionParse::ok);
  Profile want;
  want.color_depth = 16;
  want.preconnection = Preconnection{7, "vm"};
  want.security = SECURITY_NLA;
  EXPECT_EQ(ext.profile, want);
}

TEST(ProfileFields, BoundsAndSizes) {
  const struct {
    uint16_t tag;
    std::string value;
    bool ok;
  } table[] = {
      {FIELD_CLIENT_NAME, std::string(15, 'n'), true},
      {FIELD_CLIENT_NAME, std::string(16, 'n'), false},
      {FIELD_CLIENT_NAME, "caf\xC3\xA9", true},  // é is one character
      {FIELD_CLIENT_NAME, "caf\xC3", false},     // cut inside a character
      {FIELD_SHELL, "", true},                   // no shell, over the .rdp text's
      {FIELD_SHELL, std::string(256, 's'), false},
      {FIELD_LOAD_BALANCE_INFO, std::string(201, 'c'), false},
      {FIELD_PRECONNECTION, "\1\0\0", false},
      {FIELD_CONSOLE, "\2", false},
      {FIELD_SECURITY, "TLS", true},
      {FIELD_SECURITY, "tls1.2", false},
      {FIELD_COLOR_DEPTH, std::string("\x20\0", 2), false},
      {FIELD_PERFORMANCE, std::string("\x8F\x01\0\0", 4), true},
      {FIELD_PERFORMANCE, std::string("\x20\0\0\0", 4), false},  // cursor shadow: not sent
      {FIELD_NETWORK_TYPE, std::string("\0", 1), false},
  };
  for (const auto& row : table) {
    SCOPED_TRACE(std::to_string(row.tag) + " " + row.value);
    Profile p;
    const auto problem = read_profile_field(row.tag, as_bytes(row.value), p);
    ASSERT_TRUE(problem);
    EXPECT_EQ(problem->empty(), row.ok) << *problem;
  }
  Profile p;
  EXPECT_FALSE(read_profile_field(FIELD_AUDIO_CODECS, as_bytes("\1"), p));
}

TEST(ProfileFields, RdpText) {
  const struct {
    std::string bytes;
    std::optional<std::string> given;  // what the library's parser gets
  } table[] = {
      {"full address:s:a\r\n", "full address:s:a\r\n"},
      {"\xEF\xBB\xBF"
       "full address:s:a",
       "full address:s:a"},  // UTF-8 BOM removed
      {std::string("\xFF\xFEx\0:\0s\0:\0\xE9\0", 12),
       std::string("\xFF\xFEx\0:\0s\0:\0\xE9\0", 12)},
      {std::string("\xFF\xFEx\0:", 5), {}},         // odd UTF-16
      {std::string("\xFF\xFE\x00\xD8x\0", 6), {}},  // a lone surrogate
      {"a:s:b\r\n\r\n/drive:x,/\r\n", {}},          // the library's options
      {"a:s:\x1B[31m", {}},                         // a control byte
      {std::string(kMaxRdpFileBytes + 1, 'x'), {}},
  };
  for (const auto& row : table) {
    std::string_view problem;
    EXPECT_EQ(rdp_text_for_library(as_bytes(row.bytes), problem), row.given) << problem;
    EXPECT_EQ(problem.empty(), row.given.has_value());
  }
}
