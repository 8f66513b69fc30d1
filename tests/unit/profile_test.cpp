// The profile's and the gateway's fields: golden bytes, each field's bounds, the gateway's
// addresses, and what counts as an .rdp text.
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

TEST(ProfileGolden, GatewayCredentialsAndMessage) {
  EXPECT_EQ(
      encode_gateway_credentials({"al", "", "pw"}),
      (std::vector<uint8_t>{2, 0, 'a', 'l', 0, 0, 2, 0, 'p', 'w'}));  // user, domain, password
  const std::vector<uint8_t> consent = {GATEWAY_MSG_CONSENT, 'O', 'K', '?'};
  EXPECT_EQ(encode_gateway_message({GATEWAY_MSG_CONSENT, "OK?"}), consent);
  EXPECT_EQ(parse_gateway_message(consent), (GatewayMessage{GATEWAY_MSG_CONSENT, "OK?"}));
  EXPECT_EQ(parse_gateway_message(std::vector<uint8_t>{GATEWAY_MSG_SERVICE}),
            (GatewayMessage{GATEWAY_MSG_SERVICE, ""}));
  EXPECT_FALSE(parse_gateway_message(std::vector<uint8_t>{3, 'x'}));
  EXPECT_FALSE(parse_gateway_message({}));
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
      {FIELD_GATEWAY, "gw", true},
      {FIELD_GATEWAY, "http://gw", false},
      {FIELD_GATEWAY_TRANSPORT, "\3", true},
      {FIELD_GATEWAY_TRANSPORT, "\4", false},
      {FIELD_GATEWAY_CREDENTIALS, std::string("\1\0u\0\0\0\0", 7), true},
      {FIELD_GATEWAY_CREDENTIALS, std::string("\0\0\0\0\0", 5), false},  // no password
      {FIELD_GATEWAY_CREDENTIALS, std::string("\1\0u\0\0\0\0!", 8), false},
      {FIELD_GATEWAY_BEARER, "ey.J-_~", true},
      {FIELD_GATEWAY_BEARER, "a b", false},
      {FIELD_GATEWAY_BEARER, "ab\r", false},
      {FIELD_GATEWAY_BEARER, std::string(16385, 't'), false},
      {FIELD_GATEWAY_PAA, "", false},
      {FIELD_GATEWAY_BYPASS_LOCAL, "\2", false},
      {FIELD_GATEWAY_FINGERPRINTS, "zz", false},
  };
  for (const auto& row : table) {
    SCOPED_TRACE(std::to_string(row.tag) + " " + row.value);
    Profile p;
    Gateway g;
    auto problem = read_profile_field(row.tag, as_bytes(row.value), p);
    if (!problem) problem = read_gateway_field(row.tag, as_bytes(row.value), g);
    ASSERT_TRUE(problem);
    EXPECT_EQ(problem->empty(), row.ok) << *problem;
  }
  Profile p;
  EXPECT_FALSE(read_profile_field(FIELD_AUDIO_CODECS, as_bytes("\1"), p));
  Gateway g;
  EXPECT_FALSE(read_gateway_field(FIELD_NETWORK_TYPE, as_bytes("\1"), g));
}

TEST(ProfileFields, GatewayAddress) {
  const struct {
    const char* text;
    std::optional<GatewayAddress> address;
  } table[] = {
      {"gw", GatewayAddress{"gw", 443}},
      {"gw.example:8443", GatewayAddress{"gw.example", 8443}},
      {"[::1]:8443", GatewayAddress{"::1", 8443}},
      {"[::1]", GatewayAddress{"::1", 443}},
      {"https://gw/", GatewayAddress{"gw", 443}},
      {"HTTPS://gw:444/remoteDesktopGateway/", GatewayAddress{"gw", 444}},
      {"https://gw:444/remoteDesktopGateway", std::nullopt},  // not the gateway's own path
      {"http://gw", std::nullopt},
      {"user@gw", std::nullopt},
      {"https://gw/other", std::nullopt},
      {"gw:0", std::nullopt},
      {"gw:65536", std::nullopt},
      {"gw:", std::nullopt},
      {"::1", std::nullopt},  // a bare IPv6 address needs brackets
      {"[]:1", std::nullopt},
      {"g w", std::nullopt},
      {" gw", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& row : table) EXPECT_EQ(parse_gateway_address(row.text), row.address) << row.text;
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
