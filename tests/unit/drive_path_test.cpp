// Which paths a server may name on the redirected drive.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "drive/drive_path.hpp"

using korvane::drive_path_acceptable;

namespace {

std::vector<uint8_t> le(const std::u16string& s, bool terminate = true) {
  std::vector<uint8_t> out;
  for (const char16_t u : s) {
    out.push_back(static_cast<uint8_t>(u & 0xFF));
    out.push_back(static_cast<uint8_t>(u >> 8));
  }
  if (terminate) out.insert(out.end(), {0, 0});
  return out;
}

bool ok(const std::u16string& s) { return drive_path_acceptable(le(s)); }

}  // namespace

TEST(DrivePath, PathsInsideTheFolderAreAccepted) {
  EXPECT_TRUE(drive_path_acceptable({}));
  EXPECT_TRUE(ok(u""));
  EXPECT_TRUE(ok(u"\\"));
  EXPECT_TRUE(ok(u"/"));
  EXPECT_TRUE(ok(u"\\a.txt"));
  EXPECT_TRUE(ok(u"\\dir\\sub\\file.name.ext"));
  EXPECT_TRUE(ok(u"\\dir\\\\file"));
  EXPECT_TRUE(ok(u"\\dir\\"));
  EXPECT_TRUE(ok(u"\\..a\\a..\\.hidden\\x..y"));
  EXPECT_TRUE(ok(u"\\*"));
  EXPECT_TRUE(ok(u"\\dir\\*.txt"));
  EXPECT_TRUE(ok(u"\\console.txt\\COM0\\LPT10\\nulx"));
  EXPECT_TRUE(ok(u"\\\u00e9t\u00e9\\\U0001F600.png"));
  EXPECT_TRUE(ok(u"\\" + std::u16string(255, u'a')));
  EXPECT_TRUE(drive_path_acceptable(le(u"\\a", false)));
}

TEST(DrivePath, DotDotInEverySpellingIsRefused) {
  for (const std::u16string p :
       {u"\\..", u"\\..\\", u"\\..\\x", u"/../x", u"\\a\\..\\..\\x", u"\\a/../b", u"\\.", u"\\.\\x",
        u"\\...", u"\\.. ", u"\\. .", u"\\ ", u"\\a\\..", u"\\..\\..\\..\\etc\\passwd"})
    EXPECT_FALSE(ok(p)) << std::string(p.begin(), p.end());
}

TEST(DrivePath, PathsThatDoNotStartAtTheFolderAreRefused) {
  // Joined as text to the folder's own path they would name a sibling: "/share" + "2\x".
  for (const std::u16string p : {u"a", u"2\\secret", u"..\\x", u"C:\\x", u"C:", u"x/"})
    EXPECT_FALSE(ok(p)) << std::string(p.begin(), p.end());
}

TEST(DrivePath, DriveLettersStreamsAndDevicesAreRefused) {
  for (const std::u16string p :
       {u"\\C:\\x", u"\\C:", u"\\\\?\\C:\\x", u"\\\\.\\PHYSICALDRIVE0", u"\\\\.\\pipe\\x",
        u"\\a.txt:stream", u"\\CON", u"\\con", u"\\nul.txt", u"\\dir\\Aux.c", u"\\PRN ", u"\\COM1",
        u"\\lpt9.log", u"\\NUL .txt"})
    EXPECT_FALSE(ok(p)) << std::string(p.begin(), p.end());
}

TEST(DrivePath, NulControlCharactersAndBrokenUtf16AreRefused) {
  EXPECT_FALSE(ok(std::u16string(u"\\a\0b", 4)));
  EXPECT_FALSE(ok(std::u16string(u"\\..\0\\x", 6)));
  EXPECT_FALSE(drive_path_acceptable(le(std::u16string(u"\\a\0", 3))));  // two terminators
  EXPECT_FALSE(ok(u"\\a\nb"));
  EXPECT_FALSE(ok(u"\\a\x7F"));
  EXPECT_FALSE(ok(u"\\a\xD800"));         // lone high surrogate at the end
  EXPECT_FALSE(ok(u"\\a\xD800x"));        // high surrogate without its low one
  EXPECT_FALSE(ok(u"\\a\xDC00"));         // lone low surrogate
  EXPECT_FALSE(ok(u"\\\xDC00\xD800"));    // reversed pair
  EXPECT_FALSE(ok(u"\\\xD800\\\xDC00"));  // pair split by a separator
  const std::vector<uint8_t> odd = {'\\', 0, 'a'};
  EXPECT_FALSE(drive_path_acceptable(odd));
}

TEST(DrivePath, OverlongPathsAndNamesAreRefused) {
  EXPECT_FALSE(ok(u"\\" + std::u16string(256, u'a')));
  EXPECT_FALSE(ok(u"\\" + std::u16string(300, u'a') + u"\\b"));
  std::u16string deep;
  while (deep.size() <= korvane::kMaxDrivePathUnits) deep += u"\\abc";
  EXPECT_FALSE(ok(deep));
  EXPECT_TRUE(ok(deep.substr(0, 4000)));
}
