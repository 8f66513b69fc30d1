// The README's first command, scripts/demo.sh, run as a user would (with a short duration and
// the binaries this build made): it must show a session, save a real picture of the desktop and
// leave nothing running behind it.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <string>

#include "host/png.hpp"
#include "host/process.hpp"
#include "net.hpp"
#include "x_display.hpp"

namespace {

using namespace korvane;
using namespace korvane::test;

std::string match(const std::string& text, const std::string& pattern) {
  std::smatch m;
  if (std::regex_search(text, m, std::regex(pattern)) && m.size() > 1) return m[1];
  return {};
}

TEST(Demo, ShortRunSavesTheDesktopAndCleansUp) {
  if (std::string(KORVANE_PATH).empty() || std::string(KORVANE_HOST_PATH).empty()) {
    GTEST_SKIP() << "korvane or korvane-host is not built";
  }
  TempDir dir = make_temp_dir("korvane-e2e-demo");
  ASSERT_FALSE(dir.path.empty());
  const std::string png = dir.path + "/demo.png";

  host::SpawnOptions o;
  o.argv = {"bash",        std::string(KORVANE_SOURCE_DIR) + "/scripts/demo.sh",
            "--seconds",   "2",
            "--png",       png,
            "--build-dir", KORVANE_BINARY_DIR};
  // setup.sh only checks here: everything it installs is already on a machine that built this.
  o.env = {"KORVANE_SKIP_SETUP=1", "TMPDIR=" + dir.path};
  o.stderr_path = "-";
  // Its own group, so a demo stuck past the deadline goes with everything it started.
  o.own_process_group = true;
  o.term_grace_ms = 5000;
  std::string error;
  const host::RunResult r = host::run_capture(o, 120000, &error);
  ASSERT_TRUE(r.status) << error << "\n" << r.out;
  EXPECT_TRUE(r.status->exited()) << host::describe(*r.status);
  EXPECT_EQ(r.status->code, 0) << r.out;

  EXPECT_NE(r.out.find("CONNECTED width=1024 height=768"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\nDISCONNECTED |"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("SUMMARY frames="), std::string::npos) << r.out;

  auto picture = host::read_png(png, &error);
  ASSERT_TRUE(picture) << error;
  EXPECT_EQ(picture->width, 1024u);
  EXPECT_EQ(picture->height, 768u);
  // The root colour, the clients' white and black: a picture, not a blank.
  EXPECT_GE(count_colours(*picture, 1000), 3u);

  // Nothing of the demo is left: its X display and its server port are gone.
  const std::string display = match(r.out, R"(\[demo\] X display :(\d+))");
  ASSERT_FALSE(display.empty()) << r.out;
  EXPECT_NE(access(("/tmp/.X11-unix/X" + display).c_str(), F_OK), 0)
      << "display :" << display << " still exists";
  const std::string port = match(r.out, R"(\[demo\] shadow server on 127\.0\.0\.1:(\d+))");
  ASSERT_FALSE(port.empty()) << r.out;
  EXPECT_FALSE(wait_for_port(static_cast<uint16_t>(std::stoi(port)), 200))
      << "the shadow server still listens";
  // The scratch directory went with it.
  for (const auto& entry : std::filesystem::directory_iterator(dir.path)) {
    EXPECT_NE(entry.path().filename().string().rfind("korvane-demo.", 0), 0u)
        << entry.path() << " was left behind";
  }
}

TEST(Demo, RejectsUnknownArguments) {
  host::SpawnOptions o;
  o.argv = {"bash", std::string(KORVANE_SOURCE_DIR) + "/scripts/demo.sh", "--no-such-option"};
  o.env = {"KORVANE_SKIP_SETUP=1"};
  o.stderr_path = "/dev/null";
  const host::RunResult r = host::run_capture(o, 30000);
  ASSERT_TRUE(r.status);
  EXPECT_EQ(r.status->code, 2);
}

}  // namespace
