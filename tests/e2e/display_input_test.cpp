// What the server draws reaches the host's canvas exactly; what the host types and clicks
// reaches the server exactly.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <sstream>

#include "rig.hpp"

using namespace korvane;
using namespace korvane::e2e;
using namespace std::chrono;

namespace {

struct Painted {
  host::Canvas canvas;
  int rects = 0;
  int resizes = 0;
  std::vector<std::string> errors;  // rectangles that did not fit the desktop
  bool disconnected = false;
  std::optional<host::ExitStatus> exit;
};

// Paints every event until the session ends (the server's `end`).
Painted paint_until_end(Rig& rig, int timeout_ms) {
  Painted p;
  const auto end = host::finish_session(
      *rig.korvane, timeout_ms,
      [&](const host::Frame& f) {
        if (f.type == EVT_CONNECTED || f.type == EVT_RESIZE) {
          host::resize_canvas(p.canvas, u32_at(f, 0), u32_at(f, 4));
          p.resizes += f.type == EVT_RESIZE;
        } else if (f.type == EVT_RECT) {
          ++p.rects;
          const std::string why = host::paint_rect(p.canvas, f.payload);
          if (!why.empty()) p.errors.push_back(why);
        }
      },
      false);
  p.disconnected = end.disconnected;
  p.exit = end.exit;
  return p;
}

}  // namespace

TEST(Display, CanvasEqualsTheServerPictureByteForByte) {
  test::TempDir scratch = test::make_temp_dir("korvane-display");
  const std::string path = scratch.path + "/server.rgba";
  const std::vector<std::string> steps = {
      "full 1",               // everything, once
      "fill 0 0 1 1 FF0000",  // the corners and edges
      "fill 799 599 1 1 00FF00",
      "pattern 0 300 800 7 2",   // a full-width band
      "pattern 790 0 10 600 3",  // the right edge, top to bottom
      "pattern 0 590 800 10 4",  // the bottom edge
      "pattern 123 45 67 89 5",  // odd sizes and positions
      "pattern 1 1 1 1 6", "fill 200 100 300 250 123456",
      "full 7",  // a full-screen update at the end
      "pattern 640 480 160 120 8",
      // Planar bitmaps: korvane keeps the decoder small and grows it for the larger ones.
      "planar 100 400 64 64 10", "planar 300 200 160 96 11", "planar 0 0 800 20 12",
      "planar 500 500 32 16 13", "dump " + path, "sleep 500", "end"};
  auto rig2 = start_rig(steps, ConnectRequest{.width = 800, .height = 600});
  ASSERT_TRUE(rig2);
  const Painted p = paint_until_end(*rig2, 60000);
  EXPECT_TRUE(p.disconnected) << korvane_stderr(*rig2);
  ASSERT_TRUE(p.exit);
  EXPECT_EQ(p.exit->code, 0);
  EXPECT_TRUE(p.errors.empty()) << p.errors.front();
  // One frame per paint at most: the steps above paint 15 times, and the library may repaint
  // the whole desktop once when the session starts.
  EXPECT_GE(p.rects, 15);
  EXPECT_LE(p.rects, 15 + 2);
  const std::string reference = test::read_file(path);
  ASSERT_EQ(reference.size(), 800u * 600u * 4u) << test::output_of(*rig2->server.process);
  EXPECT_EQ(first_difference(reference, p.canvas), "") << "the first different pixel";
}

TEST(Display, ServerResizeGivesResizeAndBoundedCorrectRectangles) {
  test::TempDir scratch = test::make_temp_dir("korvane-resize");
  const std::string path = scratch.path + "/server.rgba";
  auto rig = start_rig({"full 1", "resize 640 480", "full 2", "pattern 600 440 40 40 3",
                        "dump " + path, "sleep 500", "end"},
                       ConnectRequest{.width = 1024, .height = 768});
  ASSERT_TRUE(rig);
  std::vector<std::pair<uint32_t, uint32_t>> sizes;
  bool bounded = true;
  uint32_t w = 0, h = 0;
  host::Canvas canvas;
  const auto end = host::finish_session(
      *rig->korvane, 60000,
      [&](const host::Frame& f) {
        if (f.type == EVT_CONNECTED || f.type == EVT_RESIZE) {
          w = u32_at(f, 0);
          h = u32_at(f, 4);
          if (f.type == EVT_RESIZE) sizes.emplace_back(w, h);
          host::resize_canvas(canvas, w, h);
        } else if (f.type == EVT_RECT) {
          const int32_t x = static_cast<int32_t>(u32_at(f, 0)),
                        y = static_cast<int32_t>(u32_at(f, 4));
          const int32_t rw = static_cast<int32_t>(u32_at(f, 8)),
                        rh = static_cast<int32_t>(u32_at(f, 12));
          if (x < 0 || y < 0 || x + rw > static_cast<int64_t>(w) ||
              y + rh > static_cast<int64_t>(h))
            bounded = false;
          host::paint_rect(canvas, f.payload);
        }
      },
      false);
  EXPECT_TRUE(end.disconnected) << korvane_stderr(*rig);
  ASSERT_FALSE(sizes.empty());
  EXPECT_EQ(sizes.back(), std::make_pair(640u, 480u));
  EXPECT_TRUE(bounded);
  const std::string reference = test::read_file(path);
  ASSERT_EQ(reference.size(), 640u * 480u * 4u);
  EXPECT_EQ(first_difference(reference, canvas), "");
}

TEST(Display, ResizeToTheSameSizeResendsThePicture) {
  // Opening the graphics pipeline resets the graphics to the size the desktop already has: the
  // renderer keeps its picture, and so must a host that starts a new canvas on EVT_RESIZE.
  test::TempDir scratch = test::make_temp_dir("korvane-same-size");
  const std::string path = scratch.path + "/server.rgba";
  auto rig = start_rig({"pattern 0 0 800 600 9", "gfx-open", "dump " + path, "sleep 300", "end"},
                       ConnectRequest{.width = 800, .height = 600});
  ASSERT_TRUE(rig);
  Painted p;
  std::vector<uint8_t> order;
  const auto end = host::finish_session(
      *rig->korvane, 60000,
      [&](const host::Frame& f) {
        order.push_back(f.type);
        if (f.type == EVT_CONNECTED || f.type == EVT_RESIZE)
          host::resize_canvas(p.canvas, u32_at(f, 0), u32_at(f, 4));
        else if (f.type == EVT_RECT)
          host::paint_rect(p.canvas, f.payload);
      },
      false);
  EXPECT_TRUE(end.disconnected) << korvane_stderr(*rig);
  const auto resize = std::find(order.begin(), order.end(), EVT_RESIZE);
  ASSERT_NE(resize, order.end()) << test::output_of(*rig->server.process);
  ASSERT_NE(resize + 1, order.end());
  EXPECT_EQ(*(resize + 1), EVT_RECT);
  const std::string reference = test::read_file(path);
  ASSERT_EQ(reference.size(), 800u * 600u * 4u);
  EXPECT_EQ(first_difference(reference, p.canvas), "");
}

namespace {

struct Command {
  uint8_t type;
  std::vector<uint8_t> payload;
  const char* expect;  // the server's INPUT line without its time, or null: nothing arrives
};

std::vector<uint8_t> raw(std::initializer_list<int> bytes) {
  std::vector<uint8_t> out;
  for (int b : bytes) out.push_back(static_cast<uint8_t>(b));
  return out;
}

}  // namespace

TEST(Input, EveryCommandArrivesWithTheFlagsAndCoordinatesOfTheTables) {
  using host::key_payload;
  using host::mouse_button_payload;
  using host::mouse_move_payload;
  using host::mouse_wheel_payload;
  const std::vector<Command> commands = {
      {CMD_MOUSE_MOVE, mouse_move_payload(10, 20), "INPUT mouse flags=0x0800 x=10 y=20"},
      {CMD_MOUSE_MOVE, mouse_move_payload(65836, 7), "INPUT mouse flags=0x0800 x=300 y=7"},
      {CMD_MOUSE_MOVE, raw({1, 0, 0, 0, 2, 0, 0}), nullptr},  // 7 bytes: too short
      {CMD_MOUSE_BUTTON, mouse_button_payload(1, 2, 1, true), "INPUT mouse flags=0x9000 x=1 y=2"},
      {CMD_MOUSE_BUTTON, mouse_button_payload(1, 2, 1, false), "INPUT mouse flags=0x1000 x=1 y=2"},
      {CMD_MOUSE_BUTTON, mouse_button_payload(3, 4, 2, true), "INPUT mouse flags=0xA000 x=3 y=4"},
      {CMD_MOUSE_BUTTON, mouse_button_payload(3, 4, 2, false), "INPUT mouse flags=0x2000 x=3 y=4"},
      {0, raw({1, 2, 3}), nullptr},  // unknown types are consumed
      {CMD_MOUSE_BUTTON, mouse_button_payload(5, 6, 3, true), "INPUT mouse flags=0xC000 x=5 y=6"},
      {CMD_MOUSE_BUTTON, mouse_button_payload(5, 6, 3, false), "INPUT mouse flags=0x4000 x=5 y=6"},
      {CMD_MOUSE_BUTTON, mouse_button_payload(7, 8, 5, true), "INPUT mouse flags=0x8000 x=7 y=8"},
      {CMD_MOUSE_BUTTON, mouse_button_payload(9, 10, 0, false),
       "INPUT mouse flags=0x0000 x=9 y=10"},
      {CMD_MOUSE_BUTTON, raw({1, 0, 0, 0, 1, 0, 0, 0, 1}), nullptr},  // 9 bytes
      {200, {}, nullptr},
      {CMD_MOUSE_WHEEL, mouse_wheel_payload(11, 12, 120, false),
       "INPUT mouse flags=0x0278 x=11 y=12"},
      {CMD_MOUSE_WHEEL, mouse_wheel_payload(11, 12, -120, false),
       "INPUT mouse flags=0x0388 x=11 y=12"},
      {CMD_MOUSE_WHEEL, mouse_wheel_payload(11, 12, 300, false),
       "INPUT mouse flags=0x022C x=11 y=12"},
      {CMD_MOUSE_WHEEL, mouse_wheel_payload(11, 12, 0, false),
       "INPUT mouse flags=0x0200 x=11 y=12"},
      {CMD_MOUSE_WHEEL, mouse_wheel_payload(11, 12, -1, true),
       "INPUT mouse flags=0x05FF x=11 y=12"},
      {CMD_CONNECT, raw({0, 0}), nullptr},  // a second connect is never honoured
      {CMD_KEY, key_payload(0x1D, true, true), "INPUT key flags=0x0100 code=0x1D"},
      {CMD_KEY, key_payload(0x1D, false, true), "INPUT key flags=0x8100 code=0x1D"},
      {CMD_KEY, key_payload(0x1E, true, false), "INPUT key flags=0x0000 code=0x1E"},
      {CMD_KEY, key_payload(0x1E, false, false), "INPUT key flags=0x8000 code=0x1E"},
      {CMD_KEY, raw({0x1E, 1}), nullptr},
      // Longer than needed: the extra bytes are ignored.
      {CMD_MOUSE_MOVE, raw({40, 0, 0, 0, 50, 0, 0, 0, 9, 9, 9}),
       "INPUT mouse flags=0x0800 x=40 y=50"},
  };
  size_t expected_count = 0;
  for (const auto& c : commands) expected_count += c.expect != nullptr;

  auto rig =
      start_rig({"wait-input " + std::to_string(expected_count) + " 20000", "sleep 300", "end"});
  ASSERT_TRUE(rig);
  ASSERT_TRUE(host::wait_for_event(*rig->korvane, EVT_CONNECTED, 20000));
  ASSERT_TRUE(test::wait_for_prefix(*rig->server.process, "CONNECTED", 10000));
  for (const auto& c : commands) ASSERT_TRUE(host::send_command(*rig->korvane, c.type, c.payload));
  const auto end = host::finish_session(*rig->korvane, 30000, {}, false);
  EXPECT_TRUE(end.disconnected) << korvane_stderr(*rig);

  std::vector<std::string> got;
  const std::regex input("^(INPUT (mouse|key|extmouse|unicode) flags=0x[0-9A-F]+ [^t]*?) t_ns=");
  for (const auto& line : test::lines_of(*rig->server.process)) {
    std::smatch m;
    if (std::regex_search(line, m, input)) got.push_back(m[1].str());
  }
  std::vector<std::string> want;
  for (const auto& c : commands)
    if (c.expect) want.push_back(c.expect);
  EXPECT_EQ(got, want) << test::output_of(*rig->server.process);
}
