// Fingerprint lists as a host writes them in FIELD_CERT_FINGERPRINTS: the accepted spellings
// and the table of lists that must be refused.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host_link/session_extensions.hpp"

using namespace korvane;

namespace {

// 00 01 02 ... 1f, and the same with every byte plus 0xa0, as the hosts would type them.
Fingerprint counting(uint8_t base) {
  Fingerprint f{};
  for (size_t i = 0; i < f.size(); ++i) f[i] = static_cast<uint8_t>(base + i);
  return f;
}

std::string hex(const Fingerprint& f, bool colons, bool upper) {
  static const char lower_digits[] = "0123456789abcdef";
  static const char upper_digits[] = "0123456789ABCDEF";
  const char* d = upper ? upper_digits : lower_digits;
  std::string out;
  for (size_t i = 0; i < f.size(); ++i) {
    if (colons && i) out += ':';
    out += d[f[i] >> 4];
    out += d[f[i] & 0xF];
  }
  return out;
}

}  // namespace

TEST(ParseFingerprints, Spellings) {
  const Fingerprint a = counting(0x00), b = counting(0xa0);
  struct Row {
    std::string text;
    std::vector<Fingerprint> want;
  };
  const std::vector<Row> rows = {
      {hex(a, true, false), {a}},
      {hex(a, true, true), {a}},
      {hex(a, false, false), {a}},
      {hex(b, false, true), {b}},
      {hex(a, true, true) + "," + hex(b, false, false), {a, b}},
      {hex(a, true, true) + ";" + hex(b, true, true), {a, b}},
      {"  " + hex(a, true, false) + "\n\t" + hex(b, true, false) + " ,; ", {a, b}},
      // openssl x509 -fingerprint -sha256 -noout, in OpenSSL 3 and 1.1 spelling.
      {"sha256 Fingerprint=" + hex(b, true, true) + "\n", {b}},
      {"SHA256 Fingerprint=" + hex(a, true, true), {a}},
      {"sha256 Fingerprint=" + hex(a, true, true) + "\nsha256 Fingerprint=" + hex(b, true, true),
       {a, b}},
      {"Fingerprint=" + hex(a, true, true), {a}},
  };
  for (const auto& row : rows) {
    const auto got = parse_fingerprints(row.text);
    ASSERT_TRUE(got) << row.text;
    EXPECT_EQ(*got, row.want) << row.text;
  }
}

TEST(ParseFingerprints, Refused) {
  const Fingerprint a = counting(0x10);
  const std::string good = hex(a, true, true);
  const std::vector<std::string> rows = {
      "",
      " , ; \n",
      good.substr(0, good.size() - 3),             // 31 bytes
      good + ":00",                                // 33 bytes
      good.substr(0, good.size() - 1),             // half a byte at the end
      hex(a, false, false) + "0",                  // odd digit count without colons
      "g" + good.substr(1),                        // not hex
      good.substr(0, 10) + "-" + good.substr(11),  // a stray character inside
      good.substr(0, 9) + "x" + good.substr(10),   // a stray character for a digit
      good + "," + good.substr(3),                 // one good, one short
      "sha1 Fingerprint=" + good.substr(0, 59),    // a SHA-1 fingerprint: 20 bytes
      "sha256 " + good.substr(0, 10),              // the openssl word, then too little
      "sha256",                                    // the word alone
      "Fingerprint=",                              // nothing after the prefix
      "0x" + hex(a, false, false),                 // a C-style prefix
  };
  for (const auto& text : rows) EXPECT_FALSE(parse_fingerprints(text)) << "'" << text << "'";
}

TEST(ParseFingerprints, FormatRoundTrips) {
  const Fingerprint a = counting(0xf0);
  const std::string text = format_fingerprint(a);
  EXPECT_EQ(text, hex(a, true, false));
  const auto back = parse_fingerprints(text);
  ASSERT_TRUE(back);
  ASSERT_EQ(back->size(), 1u);
  EXPECT_EQ((*back)[0], a);
}

// Reconnection: the field, the event's bytes, which endings are worth a new connection, and the
// waits between attempts.
TEST(Reconnect, FieldIsReadAndCheckedAndTheBitGranted) {
  // Magic, mask 0x100, tag 6, length 4, 5 attempts, 250 ms.
  const std::vector<uint8_t> golden = {'K',  'V',  'X',  '1',  0x00, 0x01, 0x00, 0x00,
                                       0x06, 0x00, 0x04, 0x00, 0x05, 0x00, 0xFA, 0x00};
  const ExtensionField fields[] = {{FIELD_RECONNECT, {0x05, 0x00, 0xFA, 0x00}}};
  EXPECT_EQ(encode_extensions(EXT_RECONNECT, fields), golden);
  Extensions ext;
  ASSERT_EQ(parse_extensions(golden, ext), ExtensionParse::ok);
  ASSERT_TRUE(ext.reconnect);
  EXPECT_EQ(ext.reconnect->max_attempts, 5);
  EXPECT_EQ(ext.reconnect->first_backoff_ms, 250);
  EXPECT_EQ(grant_extensions(ext).mask, EXT_RECONNECT);

  // Absent: the defaults.
  ASSERT_EQ(parse_extensions(encode_extensions(EXT_RECONNECT), ext), ExtensionParse::ok);
  EXPECT_FALSE(ext.reconnect);
  EXPECT_EQ(ReconnectPolicy{}.max_attempts, 5);
  EXPECT_EQ(ReconnectPolicy{}.first_backoff_ms, 1000);

  const std::vector<std::vector<uint8_t>> refused = {
      {0x05, 0x00, 0xFA},              // short
      {0x05, 0x00, 0xFA, 0x00, 0x00},  // long
      {0x00, 0x00, 0xFA, 0x00},        // no attempt
      {0x65, 0x00, 0xFA, 0x00},        // 101 attempts
      {0x05, 0x00, 0x63, 0x00},        // 99 ms
      {0x05, 0x00, 0x31, 0x75},        // 30001 ms
  };
  for (const auto& v : refused) {
    const ExtensionField f[] = {{FIELD_RECONNECT, v}};
    EXPECT_EQ(parse_extensions(encode_extensions(EXT_RECONNECT, f), ext), ExtensionParse::malformed)
        << v.size();
  }
  const std::vector<std::vector<uint8_t>> edges = {{0x01, 0x00, 0x64, 0x00},
                                                   {0x64, 0x00, 0x30, 0x75}};
  for (const auto& v : edges) {
    const ExtensionField f[] = {{FIELD_RECONNECT, v}};
    EXPECT_EQ(parse_extensions(encode_extensions(EXT_RECONNECT, f), ext), ExtensionParse::ok);
  }
}

TEST(Reconnect, EventGoldenBytes) {
  const auto bytes = encode_reconnect(RECONNECT_TRYING, 2, 0x0105);
  EXPECT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.end()),
            (std::vector<uint8_t>{0x01, 0x02, 0x00, 0x05, 0x01}));
  const auto back = parse_reconnect(bytes);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->state, RECONNECT_TRYING);
  EXPECT_EQ(back->attempt, 2);
  EXPECT_EQ(back->max_attempts, 0x0105);
  const std::vector<uint8_t> bad_state = {0x04, 0, 0, 0, 0};
  const std::vector<uint8_t> no_state = {0x00, 0, 0, 0, 0};
  const std::vector<uint8_t> short_one = {0x02, 0, 0, 0};
  EXPECT_FALSE(parse_reconnect(bad_state));
  EXPECT_FALSE(parse_reconnect(no_state));
  EXPECT_FALSE(parse_reconnect(short_one));
}

TEST(Reconnect, OnlyADroppedConnectionIsRetried) {
  constexpr uint32_t kTransportFailed = 0x0002000D;
  EndFacts dropped;
  dropped.last_error = kTransportFailed;
  dropped.security_up = true;
  EXPECT_TRUE(connection_dropped(dropped));
  EndFacts silent;  // closed with no word from anyone
  EXPECT_TRUE(connection_dropped(silent));

  const uint32_t server_reasons[] = {0x1, 0x2, 0x3, 0x5, 0x7, 0xB, 0xC, 0x10, 0x100};
  for (const uint32_t info : server_reasons) {
    EndFacts f = dropped;
    f.error_info = info;
    EXPECT_FALSE(connection_dropped(f)) << info;
  }
  EndFacts f = dropped;
  f.host_requested = true;
  EXPECT_FALSE(connection_dropped(f));
  f = dropped;
  f.certificate_rejected = true;
  EXPECT_FALSE(connection_dropped(f));
  f = dropped;
  f.last_error = 0x00010002;  // the error info class: the server's word again
  EXPECT_FALSE(connection_dropped(f));
}

TEST(Reconnect, AttemptsThatWouldFailAgainAreNotRepeated) {
  const struct {
    uint32_t last_error;
    uint32_t error_info;
    bool certificate_rejected;
    bool hopeless;
  } cases[] = {
      {0x0002000D, 0, false, false},  // transport failed: the server is not back yet
      {0x00020006, 0, false, false},  // connect failed
      {0x0002000C, 0, false, false},  // negotiation failed: a connection reset early
      {0x00020014, 0, false, true},   // logon failure
      {0x00020009, 0, false, true},   // authentication failed
      {0x00020018, 0, false, true},   // account locked out
      {0x0002000D, 0, true, true},    // the certificate was refused
      {0, 0xC, false, true},          // logged off
      {0, 0x5, false, true},          // another connection took it
      {0, 0x7, false, true},          // the server denies the connection
  };
  for (const auto& c : cases) {
    EndFacts f;
    f.last_error = c.last_error;
    f.error_info = c.error_info;
    f.certificate_rejected = c.certificate_rejected;
    EXPECT_EQ(reconnect_hopeless(f), c.hopeless) << std::hex << c.last_error << " " << c.error_info;
  }
}

TEST(Reconnect, GatewayEndingsAndTheirRetries) {
  using C = EndCategory;
  const struct {
    uint32_t last_error;
    bool security_up, gateway;
    bool certificate, message;  // korvane refused the gateway's certificate, its message
    C category;
    bool hopeless;
  } cases[] = {
      {0x800759DA, false, true, false, false, C::gateway_resource_refused, true},  // RAP denied
      {0x800759DA, false, false, false, false, C::other, false},
      {0x800759DB, false, true, false, false, C::gateway_auth_failed, true},  // NAP denied
      {0x800759DD, true, true, false, false, C::unreachable, false},  // the server behind it
      {0x800759E0, true, true, false, false, C::gateway_tunnel_broken, false},
      {0x00020016, false, true, false, false, C::gateway_auth_failed, true},  // its HTTP 401
      {0x00020016, true, true, false, false, C::server_denied, false},        // the server's
      {0x00020016, false, false, false, false, C::server_denied, false},
      {0x0002000D, false, true, false, false, C::gateway_unreachable, false},
      {0x0002000D, true, true, false, false, C::gateway_tunnel_broken, false},
      {0x0002000D, false, false, false, false, C::unreachable, false},
      {0x00020008, false, true, false, false, C::gateway_unreachable, false},
      {0x00020008, false, false, false, false, C::tls_failed, false},
      {0x0002000D, true, false, false, false, C::server_shut_down, false},
      {0, true, true, false, false, C::gateway_tunnel_broken, false},
      {0, true, false, false, false, C::server_disconnected, false},
      {0x0002000D, false, true, true, false, C::gateway_certificate_rejected, true},
      {0x0002000D, true, true, false, true, C::gateway_message_refused, true},
  };
  for (const auto& c : cases) {
    EndFacts f;
    f.last_error = c.last_error;
    f.security_up = c.security_up;
    f.gateway = c.gateway;
    f.gateway_certificate_rejected = c.certificate;
    f.gateway_message_refused = c.message;
    SCOPED_TRACE(testing::Message() << std::hex << c.last_error << " up " << c.security_up
                                    << " gateway " << c.gateway);
    EXPECT_EQ(classify_end(f), c.category);
    EXPECT_EQ(reconnect_hopeless(f), c.hopeless);
    // A dropped connection is tried again; korvane's own refusals and hopeless ones are not.
    EXPECT_EQ(connection_dropped(f), !c.hopeless && !c.certificate && !c.message);
    if (c.category != C::other) EXPECT_NE(end_category_name(c.category), "other");
  }
}

TEST(Reconnect, WaitsDoubleUpToTheirLimit) {
  const ReconnectPolicy p{10, 250};
  const uint32_t expected[] = {250, 500, 1000, 2000, 4000, 8000, 16000, 30000, 30000, 30000};
  for (uint32_t n = 1; n <= 10; ++n) EXPECT_EQ(reconnect_delay_ms(p, n), expected[n - 1]) << n;
  EXPECT_EQ(reconnect_delay_ms({100, 30000}, 1), 30000u);
  EXPECT_EQ(reconnect_delay_ms({100, 30000}, 100), 30000u);
  EXPECT_EQ(reconnect_delay_ms({100, 100}, 0xFFFFFFFF), 30000u);
}
