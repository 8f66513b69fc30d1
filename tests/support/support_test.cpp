// The end-to-end test support on its own: ports, logged processes, XWD parsing, picture
// comparison, and a private X display with a drawn desktop.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <csignal>
#include <regex>
#include <thread>

#include "logged_process.hpp"
#include "net.hpp"
#include "x_display.hpp"

namespace {

using namespace korvane;
using namespace korvane::test;
using Clock = std::chrono::steady_clock;

long elapsed_ms(Clock::time_point since) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

// ---------------------------------------------------------------- ports

TEST(SupportPorts, FreePortIsBindableAndWaitSeesAListener) {
  const uint16_t port = free_tcp_port();
  ASSERT_NE(port, 0);
  // Nothing listens yet: the wait gives up at its deadline.
  auto t0 = Clock::now();
  EXPECT_FALSE(wait_for_port(port, 200));
  EXPECT_GE(elapsed_ms(t0), 190);
  EXPECT_LT(elapsed_ms(t0), 2000);

  host::UniqueFd l(socket(AF_INET, SOCK_STREAM, 0));
  ASSERT_GE(l.get(), 0);
  int one = 1;
  setsockopt(l.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr = loopback(port);
  ASSERT_EQ(bind(l.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0) << strerror(errno);
  ASSERT_EQ(listen(l.get(), 4), 0);
  t0 = Clock::now();
  EXPECT_TRUE(wait_for_port(port, 2000));
  EXPECT_LT(elapsed_ms(t0), 1000);
}

TEST(SupportPorts, WaitStopsWhenTheWatchedProcessDies) {
  host::SpawnOptions o;
  o.argv = {"true"};
  auto child = host::spawn(o);
  ASSERT_TRUE(child);
  const uint16_t port = free_tcp_port();
  const auto t0 = Clock::now();
  EXPECT_FALSE(wait_for_port(port, 10000, &*child));
  EXPECT_LT(elapsed_ms(t0), 5000);
}

TEST(SupportTempDir, RemovedWithItsContents) {
  std::string path;
  {
    TempDir d = make_temp_dir("korvane-tempdir-test");
    ASSERT_FALSE(d.path.empty());
    path = d.path;
    host::SpawnOptions o;
    o.argv = {"sh", "-c", "mkdir -p " + path + "/a/b && echo x > " + path + "/a/b/f"};
    ASSERT_TRUE(host::run_capture(o, 5000).status);
    EXPECT_EQ(access((path + "/a/b/f").c_str(), F_OK), 0);
  }
  EXPECT_NE(access(path.c_str(), F_OK), 0);
}

// ---------------------------------------------------------------- logged processes

TEST(SupportLogged, LinesArriveInOrderAndCursorMoves) {
  host::SpawnOptions o;
  o.argv = {"sh", "-c",
            "echo 'LISTENING port=5'; sleep 0.2; echo 'CONNECTED width=800 height=600'; "
            "echo 'INPUT mouse flags=0x0800 x=3 y=4'; echo 'INPUT mouse flags=0x0800 x=5 y=6'; "
            "sleep 30"};
  auto p = start_logged(o);
  ASSERT_TRUE(p);
  size_t cursor = 0;
  auto line = wait_for_prefix(*p, "LISTENING port=", 5000, &cursor);
  ASSERT_TRUE(line);
  EXPECT_EQ(*line, "LISTENING port=5");
  line = wait_for_line(*p, std::regex(R"(^INPUT mouse flags=0x0800 x=\d+ y=\d+$)"), 5000, &cursor);
  ASSERT_TRUE(line);
  EXPECT_EQ(*line, "INPUT mouse flags=0x0800 x=3 y=4");
  line = wait_for_line(*p, std::regex(R"(^INPUT mouse)"), 5000, &cursor);
  ASSERT_TRUE(line);
  EXPECT_EQ(*line, "INPUT mouse flags=0x0800 x=5 y=6");
  // Nothing more comes: bounded wait, then nullopt.
  const auto t0 = Clock::now();
  EXPECT_FALSE(wait_for_line(*p, std::regex("^INPUT"), 300, &cursor));
  EXPECT_LT(elapsed_ms(t0), 2000);
  // Without a cursor the search starts over.
  EXPECT_TRUE(wait_for_prefix(*p, "CONNECTED width=800", 100));
}

TEST(SupportLogged, EndOfOutputEndsTheWaitEarly) {
  host::SpawnOptions o;
  o.argv = {"sh", "-c", "echo only; exit 0"};
  auto p = start_logged(o);
  ASSERT_TRUE(p);
  const auto t0 = Clock::now();
  EXPECT_FALSE(wait_for_prefix(*p, "never", 10000));
  EXPECT_LT(elapsed_ms(t0), 5000);
  EXPECT_EQ(output_of(*p), "only\n");
}

TEST(SupportLogged, OwnerEndsAChildThatHoldsItsPipeOpen) {
  TempDir dir = make_temp_dir();
  const std::string pidfile = dir.path + "/grandchild.pid";
  pid_t pid = -1;
  pid_t grandchild = -1;
  const auto t0 = Clock::now();
  {
    host::SpawnOptions o;
    // Deaf to SIGTERM, with a grandchild that holds the stdout pipe open too.
    o.argv = {"sh", "-c", "trap '' TERM; sleep 30 & echo $! > " + pidfile + "; echo up; wait"};
    o.term_grace_ms = 200;
    o.own_process_group = true;
    auto p = start_logged(o);
    ASSERT_TRUE(p);
    ASSERT_TRUE(wait_for_prefix(*p, "up", 5000));
    pid = p->child.pid;
    grandchild = std::atoi(read_file(pidfile).c_str());
    ASSERT_GT(grandchild, 0);
  }
  EXPECT_LT(elapsed_ms(t0), 5000);
  EXPECT_NE(kill(pid, 0), 0);
  bool gone = false;
  for (int i = 0; i < 100 && !gone; ++i) {
    gone = kill(grandchild, 0) != 0;
    if (!gone) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_TRUE(gone);
}

TEST(SupportLogged, ChildrenDieWithTheThreadThatStartedThem) {
  pid_t pid = -1;
  std::thread starter([&pid] {
    host::SpawnOptions o;
    o.argv = {"sleep", "30"};
    o.die_with_parent = true;
    auto child = host::spawn(o);
    if (!child) return;
    pid = child->pid;
    // Leave it unreaped and unkilled, as a crashed host would.
    child->pid = -1;
  });
  starter.join();
  ASSERT_GT(pid, 0);
  host::Child orphan;
  orphan.pid = pid;
  const auto st = host::wait_exit(orphan, 5000);
  ASSERT_TRUE(st) << "still running after its starter thread ended";
  EXPECT_EQ(st->signal, SIGTERM);
}

TEST(SupportLogged, TestServerLauncherNeedsTheListeningLine) {
  TestServerOptions o;
  o.path = "sh";
  // sh gets "--port P" as its own options, which it rejects: no LISTENING line, bounded.
  const auto t0 = Clock::now();
  std::string error;
  EXPECT_FALSE(start_test_server(o, &error));
  EXPECT_LT(elapsed_ms(t0), 35000);
  EXPECT_NE(error.find("LISTENING port="), std::string::npos) << error;
}

TEST(SupportLogged, TestServerLauncherAgainstTheRealServer) {
  const std::string path = KORVANE_TEST_SERVER_PATH;
  if (path.empty()) GTEST_SKIP() << "korvane-test-server is not built";
  TestServerOptions o;
  o.path = path;
  std::string error;
  auto server = start_test_server(o, &error);
  ASSERT_TRUE(server) << error;
  EXPECT_NE(server->port, 0);
  EXPECT_TRUE(wait_for_port(server->port, 2000));
}

// ---------------------------------------------------------------- XWD

struct XwdSpec {
  uint32_t byte_order = 0;  // 0 LSB first, 1 MSB first
  uint32_t bits_per_pixel = 32;
  uint32_t red = 0xff0000, green = 0x00ff00, blue = 0x0000ff;
  uint32_t width = 3, height = 2, pad_bytes = 4;
  uint32_t ncolors = 2;
  std::string name = "test";
};

void be32(std::vector<uint8_t>& out, std::initializer_list<uint32_t> values) {
  for (uint32_t v : values) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(v >> shift));
  }
}

std::vector<uint8_t> make_xwd(const XwdSpec& s, const std::vector<uint32_t>& values) {
  const uint32_t bpp_bytes = s.bits_per_pixel / 8;
  const uint32_t bytes_per_line = s.width * bpp_bytes + s.pad_bytes;
  const uint32_t header_size = 100 + static_cast<uint32_t>(s.name.size()) + 1;
  std::vector<uint8_t> out;
  // The 25 header words: sizes, format, byte orders, pixel layout, colours, window.
  be32(out, {header_size, 7, 2, 24, s.width, s.height, 0, s.byte_order, 32, s.byte_order, 32});
  be32(out, {s.bits_per_pixel, bytes_per_line, 4, s.red, s.green, s.blue, 8, 256, s.ncolors});
  be32(out, {s.width, s.height, 0, 0, 0});
  out.insert(out.end(), s.name.begin(), s.name.end());
  out.push_back(0);
  out.resize(out.size() + s.ncolors * 12, 0xEE);
  for (uint32_t y = 0; y < s.height; ++y) {
    for (uint32_t x = 0; x < s.width; ++x) {
      const uint32_t v = values[y * s.width + x];
      for (uint32_t i = 0; i < bpp_bytes; ++i) {
        const uint32_t shift = s.byte_order == 0 ? i * 8 : (bpp_bytes - 1 - i) * 8;
        out.push_back(static_cast<uint8_t>(v >> shift));
      }
    }
    out.resize(out.size() + s.pad_bytes, 0x77);
  }
  return out;
}

std::array<uint8_t, 3> rgb_at(const host::Canvas& c, uint32_t x, uint32_t y) {
  const uint8_t* p = c.rgba.data() + (size_t{y} * c.width + x) * 4;
  return {p[0], p[1], p[2]};
}

TEST(SupportXwd, ThirtyTwoBitsBothByteOrders) {
  const std::vector<uint32_t> values = {0x112233, 0xff0000, 0x00ff00, 0x0000ff, 0xffffff, 0x000001};
  for (uint32_t order : {0u, 1u}) {
    XwdSpec s;
    s.byte_order = order;
    std::string error;
    auto c = parse_xwd(make_xwd(s, values), &error);
    ASSERT_TRUE(c) << error;
    ASSERT_EQ(c->width, 3u);
    ASSERT_EQ(c->height, 2u);
    EXPECT_EQ(rgb_at(*c, 0, 0), (std::array<uint8_t, 3>{0x11, 0x22, 0x33})) << order;
    EXPECT_EQ(rgb_at(*c, 1, 0), (std::array<uint8_t, 3>{255, 0, 0})) << order;
    EXPECT_EQ(rgb_at(*c, 0, 1), (std::array<uint8_t, 3>{0, 0, 255})) << order;
    EXPECT_EQ(rgb_at(*c, 2, 1), (std::array<uint8_t, 3>{0, 0, 1})) << order;
    EXPECT_EQ(c->rgba[3], 255);
  }
}

TEST(SupportXwd, SixteenBitsWidenTheChannels) {
  const XwdSpec s{.bits_per_pixel = 16,
                  .red = 0xf800,
                  .green = 0x07e0,
                  .blue = 0x001f,
                  .width = 2,
                  .height = 1,
                  .pad_bytes = 0};
  auto c = parse_xwd(make_xwd(s, {0xf800, 0x07ff}));
  ASSERT_TRUE(c);
  EXPECT_EQ(rgb_at(*c, 0, 0), (std::array<uint8_t, 3>{255, 0, 0}));
  EXPECT_EQ(rgb_at(*c, 1, 0), (std::array<uint8_t, 3>{0, 255, 255}));
}

TEST(SupportXwd, DamagedDumpsAreErrors) {
  const std::vector<uint32_t> values(6, 0x123456);
  std::vector<uint8_t> good = make_xwd(XwdSpec{}, values);
  ASSERT_TRUE(parse_xwd(good));

  std::vector<uint8_t> cut = good;
  cut.resize(cut.size() - 1);
  std::string error;
  EXPECT_FALSE(parse_xwd(cut, &error));
  EXPECT_FALSE(error.empty());

  std::vector<uint8_t> wrong_version = good;
  wrong_version[7] = 6;
  EXPECT_FALSE(parse_xwd(wrong_version));

  std::vector<uint8_t> huge_colormap = good;
  huge_colormap[19 * 4] = 0x7f;  // ncolors far past the end
  EXPECT_FALSE(parse_xwd(huge_colormap));

  EXPECT_FALSE(parse_xwd(std::vector<uint8_t>(50, 0)));
}

TEST(SupportCompare, MeansAndShareWithinTolerance) {
  host::Canvas a, b;
  host::resize_canvas(a, 4, 1);
  host::resize_canvas(b, 4, 1);
  host::fill(b, 0, 0, 1, 1, 10, 0, 0);  // within 10
  host::fill(b, 1, 0, 1, 1, 0, 50, 0);  // outside
  auto d = compare_rgb(a, b, 10);
  ASSERT_TRUE(d);
  EXPECT_DOUBLE_EQ(d->mean_abs[0], 2.5);
  EXPECT_DOUBLE_EQ(d->mean_abs[1], 12.5);
  EXPECT_DOUBLE_EQ(d->mean_abs[2], 0.0);
  EXPECT_DOUBLE_EQ(d->within, 0.75);
  EXPECT_EQ(d->max_abs, 50);
  host::resize_canvas(b, 4, 2);
  EXPECT_FALSE(compare_rgb(a, b, 10));
  EXPECT_EQ(count_colours(a, 100), 1u);
  host::fill(a, 3, 0, 1, 1, 1, 2, 3);
  EXPECT_EQ(count_colours(a, 100), 2u);
}

// ---------------------------------------------------------------- X display

TEST(SupportXDisplay, DrawnDesktopShowsRootColourAndClients) {
  TempDir logs = make_temp_dir("korvane-x");
  std::string error;
  auto x = start_xvfb(1024, 768, logs.path, &error);
  ASSERT_TRUE(x) << error;
  EXPECT_GE(x->display, 0);
  ASSERT_TRUE(draw_desktop(*x, "#3a6ea5", &error)) << error;
  auto shot = screenshot(*x, &error);
  ASSERT_TRUE(shot) << error;
  ASSERT_EQ(shot->width, 1024u);
  ASSERT_EQ(shot->height, 768u);
  // The root colour away from the clients, and the clients' own pixels somewhere.
  EXPECT_EQ(rgb_at(*shot, 5, 5), (std::array<uint8_t, 3>{0x3a, 0x6e, 0xa5}));
  EXPECT_EQ(rgb_at(*shot, 1000, 10), (std::array<uint8_t, 3>{0x3a, 0x6e, 0xa5}));
  EXPECT_GE(count_colours(*shot, 100), 3u);
  EXPECT_NE(rgb_at(*shot, 160, 160), (std::array<uint8_t, 3>{0x3a, 0x6e, 0xa5})) << "xclock's face";
}

}  // namespace
