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
      good.substr(0, good.size() - 3),                 // 31 bytes
      good + ":00",                                    // 33 bytes
      good.substr(0, good.size() - 1),                 // half a byte at the end
      hex(a, false, false) + "0",                      // odd digit count without colons
      "g" + good.substr(1),                            // not hex
      good.substr(0, 10) + "-" + good.substr(11),      // a stray character inside
      good.substr(0, 9) + "x" + good.substr(10),       // a stray character for a digit
      good + "," + good.substr(3),                     // one good, one short
      "sha1 Fingerprint=" + good.substr(0, 59),        // a SHA-1 fingerprint: 20 bytes
      "sha256 " + good.substr(0, 10),                  // the openssl word, then too little
      "sha256",                                        // the word alone
      "Fingerprint=",                                  // nothing after the prefix
      "0x" + hex(a, false, false),                     // a C-style prefix
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
