// korvane.exe started by a Windows program (tests/wine/windows_host.cpp) the way a Windows host
// starts it: pipes from CreatePipe, not the Linux pipes the other Wine tests hand it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>
#include <string>

#include "host/process.hpp"
#include "logged_process.hpp"

using namespace korvane;

TEST(WindowsHost, PipesMadeByCreatePipeCarryAWholeSession) {
  test::TestServerOptions so;
  so.path = KORVANE_TEST_SERVER_PATH;
  so.sec = "tls";
  so.user = "test";
  so.password = "test";
  so.steps = {"full 0x5EED", "wait-input 2 20000", "sleep 5000", "end"};
  std::string error;
  auto server = test::start_test_server(so, &error);
  ASSERT_TRUE(server) << error;

  const std::string exe = std::getenv("KORVANE_WINDOWS_EXE");
  host::SpawnOptions run;
  run.argv = {KORVANE_SOURCE_DIR "/tests/wine/run_exe.sh", "windows_host.exe", "Z:" + exe,
              "127.0.0.1", std::to_string(server->port)};
  const auto result = host::run_capture(run, 60000, &error);
  ASSERT_TRUE(result.status) << "windows_host.exe did not finish: " << error;
  ASSERT_EQ(result.status->code, 0) << result.out;

  std::smatch m;
  const std::regex line(
      "CONNECTED 800x600 painted=([0-9]+) frames=([0-9]+) key=sent disconnected=1 exit=0 "
      "after_ms=([0-9]+)");
  ASSERT_TRUE(std::regex_search(result.out, m, line)) << result.out;
  EXPECT_GE(std::stoull(m[1].str()), 800u * 600u);
  EXPECT_LT(std::stol(m[3].str()), 1000) << "from CMD_DISCONNECT to korvane.exe's exit";
  EXPECT_TRUE(test::wait_for_prefix(*server->process, "INPUT key flags=0x0000 code=0x1E", 5000));
  EXPECT_TRUE(test::wait_for_prefix(*server->process, "INPUT key flags=0x8000 code=0x1E", 5000))
      << test::output_of(*server->process);
}
