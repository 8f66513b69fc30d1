// main() of the suites that run korvane.exe under Wine: they are the Linux suites' own tests,
// run against the Windows build through tests/wine/korvane-wine.sh. Each suite names the tests
// that apply (KORVANE_WINE_FILTER: not those that look at Linux-only things such as /proc or a
// Linux drive path); without a korvane.exe or Wine, every test is skipped and says why.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace {
std::string skip_reason() {
  const char* exe = std::getenv("KORVANE_WINDOWS_EXE");
  if (!exe || !*exe) return "KORVANE_WINDOWS_EXE is not set (scripts/test.sh sets it)";
  if (!std::filesystem::is_regular_file(exe)) return std::string("no korvane.exe at ") + exe;
  const char* wine = std::getenv("KORVANE_WINE");
  const std::string wine_path = wine && *wine ? wine : "/usr/lib/wine/wine64";
  if (!std::filesystem::is_regular_file(wine_path))
    return "Wine is not installed (" + wine_path + ")";
  return {};
}

struct WineEnvironment : ::testing::Environment {
  void SetUp() override {
    const std::string why = skip_reason();
    if (!why.empty()) GTEST_SKIP() << "korvane.exe under Wine skipped: " << why;
  }
};
}  // namespace

int main(int argc, char** argv) {
  // The default filter; a --gtest_filter on the command line (as CTest gives) replaces it.
  GTEST_FLAG_SET(filter, KORVANE_WINE_FILTER);
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::AddGlobalTestEnvironment(new WineEnvironment);
  return RUN_ALL_TESTS();
}
