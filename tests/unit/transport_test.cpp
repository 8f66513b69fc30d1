// The frame transport over real pipes, in process.
#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <future>
#include <thread>
#include <unistd.h>
#include <vector>

#include "host_link/protocol.hpp"
#include "host_link/transport.hpp"
#include "input/dispatcher.hpp"
#include "platform/stdio_link.hpp"
#include "state/control.hpp"

using namespace korvane;
using namespace std::chrono_literals;

namespace {

struct Pipe {
  int r = -1, w = -1;
  Pipe() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) == 0) r = fds[0], w = fds[1];
  }
  ~Pipe() {
    close_write();
    if (r >= 0) close(r);
  }
  void close_write() {
    if (w >= 0) close(w);
    w = -1;
  }
};

void write_all(int fd, const std::vector<uint8_t>& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    ASSERT_GT(n, 0);
    done += static_cast<size_t>(n);
  }
}

std::vector<uint8_t> read_n(int fd, size_t count) {
  std::vector<uint8_t> out(count);
  size_t done = 0;
  while (done < count) {
    const ssize_t n = read(fd, out.data() + done, count - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  out.resize(done);
  return out;
}

// Each test gets fresh pipes as the transport's input and output.
struct TransportTest : ::testing::Test {
  Pipe in, out;
  void SetUp() override { stdio_link_attach(in.r, out.w); }
};

}  // namespace

TEST_F(TransportTest, HeaderInPiecesIsAssembled) {
  auto reader = std::async(std::launch::async, [] { return read_frame(); });
  const auto frame = encode_frame(CMD_MOUSE_MOVE, std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8});
  write_all(in.w, {frame.begin(), frame.begin() + 2});
  std::this_thread::sleep_for(20ms);
  write_all(in.w, {frame.begin() + 2, frame.begin() + 5});
  std::this_thread::sleep_for(20ms);
  write_all(in.w, {frame.begin() + 5, frame.end()});
  ASSERT_EQ(reader.wait_for(5s), std::future_status::ready);
  const auto got = reader.get();
  ASSERT_TRUE(got);
  EXPECT_EQ(got->type, CMD_MOUSE_MOVE);
  EXPECT_EQ(got->payload, (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8}));
}

TEST_F(TransportTest, ZeroLengthFrameThenNextFrame) {
  write_all(in.w, encode_frame(CMD_DISCONNECT, {}));
  write_all(in.w, encode_frame(CMD_KEY, std::vector<uint8_t>{0x1D, 1, 1}));
  const auto a = read_frame();
  ASSERT_TRUE(a);
  EXPECT_EQ(a->type, CMD_DISCONNECT);
  EXPECT_TRUE(a->payload.empty());
  const auto b = read_frame();
  ASSERT_TRUE(b);
  EXPECT_EQ(b->type, CMD_KEY);
  EXPECT_EQ(b->payload.size(), 3u);
}

TEST_F(TransportTest, EndOfInputInsideHeaderOrPayloadFails) {
  write_all(in.w, {2, 8, 0});
  in.close_write();
  EXPECT_FALSE(read_frame());

  Pipe in2;
  stdio_link_attach(in2.r, out.w);
  auto frame = encode_frame(CMD_MOUSE_MOVE, std::vector<uint8_t>(8, 9));
  frame.resize(frame.size() - 3);
  write_all(in2.w, frame);
  in2.close_write();
  EXPECT_FALSE(read_frame());
}

TEST_F(TransportTest, HugeDeclaredLengthWithoutDataFailsAtEndOfInput) {
  write_all(in.w, {CMD_CLIP_DATA, 0xFF, 0xFF, 0xFF, 0xFF, 1, 2, 3});
  in.close_write();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(read_frame());
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
}

TEST_F(TransportTest, CancelReleasesABlockedRead) {
  auto reader = std::async(std::launch::async, [] { return read_frame(); });
  EXPECT_EQ(reader.wait_for(100ms), std::future_status::timeout);
  stdio_link_cancel_input();
  ASSERT_EQ(reader.wait_for(5s), std::future_status::ready);
  EXPECT_FALSE(reader.get());
}

TEST_F(TransportTest, ConcurrentSendersProduceWholeFrames) {
  constexpr size_t kSize = 3 << 20;  // far beyond the pipe's buffer: writes are partial
  const std::vector<uint8_t> a(kSize, 0xAA), b(kSize, 0xBB);
  auto reader = std::async(std::launch::async, [&] { return read_n(out.r, 2 * (5 + kSize) + 5); });
  std::thread ta([&] { send_frame(EVT_RECT, a); });
  std::thread tb([&] { send_frame(EVT_H264, b); });
  ta.join();
  tb.join();
  send_frame(EVT_DISCONNECTED);
  ASSERT_EQ(reader.wait_for(10s), std::future_status::ready);
  const auto bytes = reader.get();
  ASSERT_EQ(bytes.size(), 2 * (5 + kSize) + 5);
  size_t pos = 0;
  std::vector<uint8_t> seen;
  for (int i = 0; i < 2; ++i) {
    const uint8_t type = bytes[pos];
    ASSERT_TRUE(type == EVT_RECT || type == EVT_H264);
    ASSERT_EQ(get_u32(&bytes[pos + 1]), kSize);
    const uint8_t fill = type == EVT_RECT ? 0xAA : 0xBB;
    for (size_t k = 0; k < kSize; ++k) ASSERT_EQ(bytes[pos + 5 + k], fill) << "mixed at " << k;
    seen.push_back(type);
    pos += 5 + kSize;
  }
  EXPECT_NE(seen[0], seen[1]);
  EXPECT_EQ(bytes[pos], EVT_DISCONNECTED);
}

TEST_F(TransportTest, ClosedHostMakesSendsFailQuietly) {
  close(out.r);
  out.r = -1;
  send_frame(EVT_RESIZE, encode_size(1, 2));  // SIGPIPE is ignored: the process lives on
  SUCCEED();
}

TEST(HostCommands, ShortUnknownAndDisconnect) {
  reset_stop();
  dispatcher_attach_input(nullptr);
  // Short and unknown commands are consumed and the thread goes on.
  EXPECT_TRUE(handle_host_command(CMD_MOUSE_MOVE, std::vector<uint8_t>(7)));
  EXPECT_TRUE(handle_host_command(0, std::vector<uint8_t>(100)));
  EXPECT_TRUE(handle_host_command(200, {}));
  EXPECT_TRUE(handle_host_command(CMD_CONNECT, std::vector<uint8_t>(30)));
  EXPECT_FALSE(stop_requested());
  // A disconnect with a payload ends the thread and asks the session to stop.
  EXPECT_FALSE(handle_host_command(CMD_DISCONNECT, std::vector<uint8_t>{1, 2, 3}));
  EXPECT_TRUE(stop_requested());
  reset_stop();
}
