// The real korvane binary as a child process, with bad or early-ending hosts and a server
// that is not there. No RDP server is needed.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <netinet/in.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "host/frame_io.hpp"
#include "host/process.hpp"
#include "host_link/protocol.hpp"

using namespace korvane;
using namespace std::chrono_literals;

namespace {

struct Run {
  std::vector<host::Frame> frames;
  host::ReadStatus end = host::ReadStatus::timeout;
  bool truncated = false;
  std::optional<host::ExitStatus> exit;
  std::string stderr_text;
};

std::string temp_path(const char* tag) {
  return testing::TempDir() + "korvane-" + tag + "-" + std::to_string(getpid()) + ".err";
}

// Starts korvane, writes `input` (then closes its stdin when asked), reads every frame until
// end of stream and waits for the exit, all bounded.
Run run_korvane(const std::vector<uint8_t>& input, bool close_stdin, int timeout_ms = 20000,
                std::vector<std::string> env = {}) {
  Run run;
  const std::string err =
      temp_path(::testing::UnitTest::GetInstance()->current_test_info()->name());
  host::SpawnOptions opt;
  opt.argv = {KORVANE_BIN};
  opt.pipe_stdin = true;
  opt.pipe_stdout = true;
  opt.stderr_path = err;
  opt.env = std::move(env);
  auto child = host::spawn(opt);
  EXPECT_TRUE(child);
  if (!child) return run;
  if (!input.empty()) host::write_all(child->stdin_fd.get(), input);
  if (close_stdin) host::close_stdin(*child);
  host::FrameReader reader;
  reader.fd = child->stdout_fd.get();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    host::Frame f;
    run.end = host::read_frame(reader, static_cast<int>(left.count()), f);
    if (run.end != host::ReadStatus::frame) break;
    run.frames.push_back(std::move(f));
  }
  run.truncated = reader.truncated;
  run.exit = host::wait_exit(*child, 5000);
  std::ifstream in(err);
  std::stringstream ss;
  ss << in.rdbuf();
  run.stderr_text = ss.str();
  std::remove(err.c_str());
  return run;
}

std::string text_of(const host::Frame& f) { return {f.payload.begin(), f.payload.end()}; }

void expect_single_error(const Run& run, const std::string& prefix) {
  EXPECT_EQ(run.end, host::ReadStatus::eof);
  EXPECT_FALSE(run.truncated);
  ASSERT_EQ(run.frames.size(), 1u);
  EXPECT_EQ(run.frames[0].type, EVT_ERROR);
  EXPECT_EQ(text_of(run.frames[0]).rfind(prefix, 0), 0u) << text_of(run.frames[0]);
  ASSERT_TRUE(run.exit);
  EXPECT_EQ(run.exit->code, 1);
}

// A loopback port on which nothing listens.
uint16_t closed_port() {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  close(s);
  return ntohs(a.sin_port);
}

std::vector<uint8_t> connect_frame(uint16_t port) {
  ConnectRequest r;
  r.host = "127.0.0.1";
  r.port = port;
  r.width = 800;
  r.height = 600;
  r.flags = CONNECT_FLAG_TLS;
  return encode_frame(CMD_CONNECT, encode_connect(r));
}

}  // namespace

TEST(Process, EndOfInputBeforeAnyFrame) {
  expect_single_error(run_korvane({}, true), "Expected CONNECT frame first");
}

TEST(Process, FirstFrameNotConnectIsReadWholeThenRefused) {
  const auto frame = encode_frame(CMD_MOUSE_MOVE, std::vector<uint8_t>(1000, 0x42));
  // stdin stays open: the answer must come from reading the frame, not from end of input.
  const auto run = run_korvane(frame, false);
  expect_single_error(run, "Expected CONNECT frame first");
  EXPECT_EQ(text_of(run.frames[0]), "Expected CONNECT frame first");
}

TEST(Process, MalformedConnect) {
  const auto frame = encode_frame(CMD_CONNECT, std::vector<uint8_t>(19, 0));
  const auto run = run_korvane(frame, false);
  expect_single_error(run, "Malformed CONNECT frame");
  EXPECT_EQ(text_of(run.frames[0]), "Malformed CONNECT frame");
}

TEST(Process, HugeDeclaredLengthThenEndOfInput) {
  const std::vector<uint8_t> header = {CMD_CONNECT, 0xFF, 0xFF, 0xFF, 0xFF, 1, 2, 3};
  const auto start = std::chrono::steady_clock::now();
  expect_single_error(run_korvane(header, true), "Expected CONNECT frame first");
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
}

TEST(Process, GarbageInput) {
  std::vector<uint8_t> garbage(4096);
  for (size_t i = 0; i < garbage.size(); ++i) garbage[i] = static_cast<uint8_t>(i * 131 + 7);
  const auto run = run_korvane(garbage, true);
  expect_single_error(run, "Expected CONNECT frame first");
}

TEST(Process, UnreachableServerGivesOneConnectFailed) {
  // WLOG_LEVEL makes the library log everything it can; none of it may reach the frames. At
  // TRACE it also opens a packet capture, $TMPDIR/wlog/<pid>.pcap: a folder of the test's own
  // takes it.
  std::string tmp = testing::TempDir() + "korvane-wlog-XXXXXX";
  ASSERT_NE(mkdtemp(tmp.data()), nullptr);
  const auto run = run_korvane(connect_frame(closed_port()), false, 60000,
                               {"WLOG_LEVEL=TRACE", "TMPDIR=" + tmp});
  std::filesystem::remove_all(tmp);
  expect_single_error(run, "Connect failed: 0x");
  const std::string text = text_of(run.frames[0]);
  EXPECT_LE(text.size(), 255u);
  EXPECT_NE(run.stderr_text.find("[korvane] FreeRDP_GfxH264=1 AVC444=1 before connect\n"),
            std::string::npos)
      << run.stderr_text.substr(0, 2000);
}

TEST(Process, HostThatClosesBothPipesAtOnceStillEndsTheProcess) {
  host::SpawnOptions opt;
  opt.argv = {KORVANE_BIN};
  opt.pipe_stdin = true;
  opt.pipe_stdout = true;
  opt.stderr_path = "/dev/null";
  auto child = host::spawn(opt);
  ASSERT_TRUE(child);
  host::write_all(child->stdin_fd.get(), connect_frame(closed_port()));
  child->stdout_fd.reset();
  host::close_stdin(*child);
  const auto status = host::wait_exit(*child, 60000);
  ASSERT_TRUE(status);
  EXPECT_EQ(status->signal, 0) << "killed by a signal (SIGPIPE?)";
  EXPECT_EQ(status->code, 1);
}

TEST(Process, HelpAndVersionArePlainTextForAPerson) {
  for (const char* option : {"--help", "--version"}) {
    SCOPED_TRACE(option);
    host::SpawnOptions opt;
    opt.argv = {KORVANE_BIN, option};
    const auto r = host::run_capture(opt, 30000);
    ASSERT_TRUE(r.status);
    EXPECT_EQ(r.status->code, 0);
    // Text, never a frame: no EVT_ERROR ("Expected CONNECT frame first") either.
    EXPECT_EQ(r.out.rfind(option[2] == 'h' ? "Usage: korvane" : "korvane 0.1.0 (FreeRDP 3.", 0), 0u)
        << r.out;
    EXPECT_EQ(r.out.find('\0'), std::string::npos);
  }
}
