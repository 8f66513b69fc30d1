#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "host_link/protocol.hpp"

using namespace korvane;

namespace {

std::vector<uint8_t> bytes(std::initializer_list<int> list) {
  std::vector<uint8_t> out;
  for (int b : list) out.push_back(static_cast<uint8_t>(b));
  return out;
}

// A connect payload built field by field, so that tests can cut it anywhere.
std::vector<uint8_t> connect_payload(const std::string& host, uint32_t port,
                                     const std::string& user, const std::string& domain,
                                     const std::string& password, uint32_t w, uint32_t h) {
  ConnectRequest r;
  r.host = host;
  r.port = port;
  r.username = user;
  r.domain = domain;
  r.password = password;
  r.width = w;
  r.height = h;
  return encode_connect(r);
}

}  // namespace

TEST(Golden, ConnectFrame) {
  ConnectRequest r;
  r.host = "h";
  r.port = 3389;
  r.width = 800;
  r.height = 600;
  r.flags = 0x02;
  const auto payload = encode_connect(r);
  const auto frame = encode_frame(CMD_CONNECT, payload);
  EXPECT_EQ(frame, bytes({0x01, 0x16, 0x00, 0x00, 0x00, 0x01, 0x00, 0x68, 0x3D,
                          0x0D, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                          0x20, 0x03, 0x00, 0x00, 0x58, 0x02, 0x00, 0x00, 0x02}));

  ConnectParams p;
  ASSERT_TRUE(parse_connect(payload, p));
  EXPECT_STREQ(p.host, "h");
  EXPECT_EQ(p.port, 3389u);
  EXPECT_EQ(p.width, 800u);
  EXPECT_EQ(p.height, 600u);
  EXPECT_EQ(p.flags, 0x02);
  EXPECT_EQ(p.username[0], '\0');
  EXPECT_EQ(p.drive_path[0], '\0');
}

TEST(Golden, ResizeFrame) {
  const auto size = encode_size(1024, 768);
  EXPECT_EQ(encode_frame(EVT_RESIZE, size),
            bytes({0x03, 0x08, 0x00, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00}));
}

TEST(Golden, ClipFormatListSingleUnnamed) {
  const ClipFormat f{13, ""};
  const auto payload = encode_clip_formats(std::span(&f, 1));
  EXPECT_EQ(payload, bytes({0x01, 0x00, 0x00, 0x00, 0x0D, 0x00, 0x00, 0x00, 0x00, 0x00}));
  const auto back = parse_clip_formats_strict(payload);
  ASSERT_TRUE(back);
  ASSERT_EQ(back->size(), 1u);
  EXPECT_EQ((*back)[0].id, 13u);
}

TEST(Header, RoundTripAndLittleEndian) {
  const auto h = encode_header(EVT_RECT, 0x01020304);
  EXPECT_EQ(std::vector<uint8_t>(h.begin(), h.end()), bytes({2, 4, 3, 2, 1}));
  const auto back = decode_header(h);
  EXPECT_EQ(back.type, EVT_RECT);
  EXPECT_EQ(back.length, 0x01020304u);
}

TEST(ParseConnect, EndsAfterHeightMeansNoFlagsNoDrive) {
  auto payload = connect_payload("srv", 1, "u", "d", "p", 10, 20);
  ConnectParams p;
  ASSERT_TRUE(parse_connect(payload, p));
  EXPECT_EQ(p.flags, 0);
  EXPECT_STREQ(p.username, "u");
  EXPECT_STREQ(p.domain, "d");
  EXPECT_STREQ(p.password, "p");
  EXPECT_EQ(p.drive_path[0], '\0');
}

TEST(ParseConnect, EveryCutShortPrefixFailsAndTheWholeSucceeds) {
  ConnectRequest r;
  r.host = "host";
  r.username = "user";
  r.domain = "dom";
  r.password = "secret";
  const auto full = encode_connect(r);  // ends after the height
  ConnectParams p;
  for (size_t n = 0; n < full.size(); ++n) {
    EXPECT_FALSE(parse_connect(std::span(full.data(), n), p)) << "prefix of " << n;
  }
  EXPECT_TRUE(parse_connect(full, p));
}

TEST(ParseConnect, NineteenBytesFailTwentySucceed) {
  std::vector<uint8_t> payload(20, 0);
  ConnectParams p;
  EXPECT_FALSE(parse_connect(std::span(payload.data(), 19), p));
  EXPECT_TRUE(parse_connect(payload, p));
  EXPECT_EQ(p.host[0], '\0');
}

TEST(ParseConnect, FlagsWithCutOrOverlongDriveKeepFlags) {
  ConnectRequest r;
  r.host = "h";
  r.flags = 0x05;
  r.drive = "/tmp/share";
  const auto full = encode_connect(r);
  ConnectParams p;
  ASSERT_TRUE(parse_connect(full, p));
  EXPECT_STREQ(p.drive_path, "/tmp/share");

  // Drive length field cut short (one of its two bytes present).
  const size_t flags_end = full.size() - 2 - r.drive->size();
  ASSERT_TRUE(parse_connect(std::span(full.data(), flags_end + 1), p));
  EXPECT_EQ(p.flags, 0x05);
  EXPECT_EQ(p.drive_path[0], '\0');

  // Drive length runs past the end.
  ASSERT_TRUE(parse_connect(std::span(full.data(), full.size() - 1), p));
  EXPECT_EQ(p.flags, 0x05);
  EXPECT_EQ(p.drive_path[0], '\0');

  // Bytes after the last field are ignored.
  auto longer = full;
  longer.insert(longer.end(), {9, 9, 9});
  ASSERT_TRUE(parse_connect(longer, p));
  EXPECT_STREQ(p.drive_path, "/tmp/share");
}

TEST(ParseConnect, LongValuesAreCutToCapacity) {
  const std::string host(300, 'a');
  const std::string password(600, 'p');
  auto payload = connect_payload(host, 4242, "", "", password, 1, 2);
  ConnectParams p;
  ASSERT_TRUE(parse_connect(payload, p));
  EXPECT_EQ(std::strlen(p.host), 255u);
  EXPECT_EQ(p.port, 4242u);  // read at offset 302
  EXPECT_EQ(std::strlen(p.password), 511u);
  EXPECT_EQ(p.width, 1u);
  EXPECT_EQ(p.height, 2u);
}

TEST(ParseConnect, ZeroByteEndsTheValue) {
  auto payload = connect_payload(std::string("ab\0cd", 5), 1, std::string("\0x", 2), "", "", 1, 1);
  ConnectParams p;
  ASSERT_TRUE(parse_connect(payload, p));
  EXPECT_STREQ(p.host, "ab");
  EXPECT_EQ(p.username[0], '\0');
}

TEST(ParseConnect, HugeLengthFieldsCannotWrap) {
  // Every length says 0xFFFF on a tiny payload.
  std::vector<uint8_t> payload(40, 0xFF);
  ConnectParams p;
  EXPECT_FALSE(parse_connect(payload, p));
}

TEST(ClipFormats, DeclaredCountLargerThanEntriesLeavesZeroEntries) {
  // Declares 2 formats, holds one named entry.
  auto payload = bytes({2, 0, 0, 0, 13, 0, 0, 0, 3, 0, 'a', 'b', 'c'});
  const auto list = parse_clip_formats(payload, 100);
  ASSERT_TRUE(list);
  EXPECT_EQ(list->declared, 2u);
  ASSERT_EQ(list->formats.size(), 2u);
  EXPECT_EQ(list->formats[0].id, 13u);
  EXPECT_EQ(list->formats[0].name, "abc");
  EXPECT_EQ(list->formats[1].id, 0u);
  EXPECT_TRUE(list->formats[1].name.empty());
}

TEST(ClipFormats, NameRunningPastPayloadIsDroppedAndNextEntryReadFromItsStart) {
  // Entry 0: id 1, name length 200 (runs past). The next entry is read 6 bytes later,
  // from where that name would have begun: id 7, no name.
  auto payload = bytes({2, 0, 0, 0, 1, 0, 0, 0, 200, 0, 7, 0, 0, 0, 0, 0});
  const auto list = parse_clip_formats(payload, 100);
  ASSERT_TRUE(list);
  ASSERT_EQ(list->formats.size(), 2u);
  EXPECT_EQ(list->formats[0].id, 1u);
  EXPECT_TRUE(list->formats[0].name.empty());
  EXPECT_EQ(list->formats[1].id, 7u);
}

TEST(ClipFormats, HugeCountIsRefusedBeforeAllocating) {
  auto payload = bytes({0xFF, 0xFF, 0xFF, 0xFF});
  EXPECT_FALSE(parse_clip_formats(payload, 4096));
  EXPECT_FALSE(parse_clip_formats_strict(payload));
}

TEST(ClipFormats, RoundTripNamedAndUnnamed) {
  const std::vector<ClipFormat> formats = {{1, ""}, {49161, "HTML Format"}, {13, ""}};
  const auto payload = encode_clip_formats(formats);
  const auto strict = parse_clip_formats_strict(payload);
  ASSERT_TRUE(strict);
  ASSERT_EQ(strict->size(), 3u);
  EXPECT_EQ((*strict)[1].name, "HTML Format");
  const auto lenient = parse_clip_formats(payload, 100);
  ASSERT_TRUE(lenient);
  EXPECT_EQ(lenient->formats[1].id, 49161u);
  // A trailing byte makes the strict parse fail.
  auto extra = payload;
  extra.push_back(0);
  EXPECT_FALSE(parse_clip_formats_strict(extra));
}

TEST(ClipFormats, OverlongNameIsCutToU16) {
  const std::vector<ClipFormat> formats = {{5, std::string(70000, 'n')}};
  const auto payload = encode_clip_formats(formats);
  EXPECT_EQ(payload.size(), 4u + 6u + 65535u);
  const auto back = parse_clip_formats_strict(payload);
  ASSERT_TRUE(back);
  EXPECT_EQ((*back)[0].name.size(), 65535u);
}
