// korvane.exe under Wine against the Linux korvane, fed the same bad or early-ending host
// input: every byte on the host's stream and the exit code must be the same.
#include <gtest/gtest.h>

#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "host/process.hpp"
#include "host_link/extensions.hpp"
#include "host_link/protocol.hpp"
#include "net.hpp"

using namespace korvane;

namespace {

struct Output {
  std::vector<uint8_t> bytes;
  int exit_code = -1;
};

// Everything the program writes to the host until it closes its output, and its exit code;
// bounded by timeout_ms.
Output run(const std::string& program, const std::vector<uint8_t>& input, bool close_input,
           int timeout_ms = 60000) {
  Output out;
  host::SpawnOptions opt;
  opt.argv = {program};
  opt.pipe_stdin = true;
  opt.pipe_stdout = true;
  opt.stderr_path = "/dev/null";
  auto child = host::spawn(opt);
  EXPECT_TRUE(child) << program;
  if (!child) return out;
  if (!input.empty()) host::write_all(child->stdin_fd.get(), input);
  if (close_input) host::close_stdin(*child);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  uint8_t buffer[4096];
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd p{child->stdout_fd.get(), POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    const ssize_t n = read(p.fd, buffer, sizeof buffer);
    if (n <= 0) break;
    out.bytes.insert(out.bytes.end(), buffer, buffer + n);
  }
  if (auto status = host::wait_exit(*child, 10000)) out.exit_code = status->code;
  return out;
}

std::vector<uint8_t> connect_to(uint16_t port, std::vector<uint8_t> extension_block = {}) {
  ConnectRequest r;
  r.host = "127.0.0.1";
  r.port = port;
  r.width = 800;
  r.height = 600;
  r.flags = CONNECT_FLAG_TLS;
  auto payload = encode_connect(r);
  payload.insert(payload.end(), extension_block.begin(), extension_block.end());
  return encode_frame(CMD_CONNECT, payload);
}

std::string printable(const std::vector<uint8_t>& bytes) {
  std::string s;
  for (uint8_t b : bytes) s += (b >= 32 && b < 127) ? static_cast<char>(b) : '.';
  return s;
}

}  // namespace

TEST(SameBytes, ErrorPathsGiveTheLinuxBytes) {
  std::vector<uint8_t> garbage(4096);
  for (size_t i = 0; i < garbage.size(); ++i) garbage[i] = static_cast<uint8_t>(i * 131 + 7);
  // The magic, then a field longer than what follows it.
  std::vector<uint8_t> malformed_block(std::begin(kExtensionMagic), std::end(kExtensionMagic));
  for (const uint8_t b : {1, 0, 0, 0, 1, 0, 5, 0, 1}) malformed_block.push_back(b);
  struct Case {
    const char* name;
    std::vector<uint8_t> input;
    bool close_input;
  };
  const std::vector<Case> cases = {
      {"end of input before any frame", {}, true},
      {"first frame not a connect", encode_frame(CMD_MOUSE_MOVE, std::vector<uint8_t>(1000, 0x42)),
       false},
      {"malformed connect", encode_frame(CMD_CONNECT, std::vector<uint8_t>(19, 0)), false},
      {"huge declared length", {CMD_CONNECT, 0xFF, 0xFF, 0xFF, 0xFF, 1, 2, 3}, true},
      {"garbage", garbage, true},
      {"malformed extension block", connect_to(test::free_tcp_port(), malformed_block), false},
      {"closed port", connect_to(test::free_tcp_port()), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Output linux_run = run(KORVANE_LINUX_PATH, c.input, c.close_input);
    const Output windows_run = run(KORVANE_PATH, c.input, c.close_input);
    ASSERT_FALSE(linux_run.bytes.empty());
    EXPECT_EQ(windows_run.bytes, linux_run.bytes)
        << "Linux: " << printable(linux_run.bytes) << "\nWindows: " << printable(windows_run.bytes);
    EXPECT_EQ(linux_run.exit_code, 1);
    EXPECT_EQ(windows_run.exit_code, linux_run.exit_code);
  }
}
