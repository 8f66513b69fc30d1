// Sending only what changed (EXT_CHANGED_ONLY) against the scripted test server: the host's
// canvas still equals the server's picture, and pixels the server sends again unchanged do not
// reach the host again.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host_link/extensions.hpp"
#include "rig.hpp"

using namespace korvane;
using namespace korvane::e2e;

namespace {

struct Outcome {
  host::Canvas canvas;
  uint32_t granted = 0;
  size_t rect_frames = 0;
  uint64_t rect_bytes = 0;
  size_t deflate_frames = 0;  // EVT_RECT_DEFLATE
  uint64_t deflate_bytes = 0;
  std::string problem;                      // the first payload the canvas refused
  std::vector<std::vector<uint8_t>> rects;  // each EVT_RECT's header: x, y, w, h
  bool disconnected = false;
  int exit_code = -1;
};

void take_frame(Outcome& run, const host::Frame& f) {
  if (f.type == EVT_EXTENSIONS) run.granted = u32_at(f, 0);
  if (f.type == EVT_CONNECTED || f.type == EVT_RESIZE)
    host::resize_canvas(run.canvas, u32_at(f, 0), u32_at(f, 4));
  if (f.type == EVT_RECT) {
    ++run.rect_frames;
    run.rect_bytes += f.payload.size();
    run.rects.emplace_back(f.payload.begin(), f.payload.begin() + 16);
    const std::string p = host::paint_rect(run.canvas, f.payload);
    if (run.problem.empty()) run.problem = p;
  }
  if (f.type == EVT_RECT_DEFLATE) {
    ++run.deflate_frames;
    run.deflate_bytes += f.payload.size();
    const std::string p = host::paint_rect_deflate(run.canvas, f.payload);
    if (run.problem.empty()) run.problem = p;
  }
  run.disconnected |= f.type == EVT_DISCONNECTED;
}

// Reads the session to its end into run (which may hold what was read before).
void run_session(Rig& rig, Outcome& run) {
  const auto end = host::finish_session(
      *rig.korvane, 90000, [&](const host::Frame& f) { take_frame(run, f); }, false);
  if (end.exit) run.exit_code = end.exit->code;
}

Outcome run_session(Rig& rig) {
  Outcome run;
  run_session(rig, run);
  return run;
}

}  // namespace

TEST(ChangedOnly, CanvasEqualsTheServersPictureWithFarFewerBytes) {
  // The server paints the same pictures again and again, with small real changes between, and
  // a resize (the host starts a new canvas) in the middle.
  const auto steps = [](const std::string& first, const std::string& second) {
    std::vector<std::string> s = {"full 1"};
    for (int i = 0; i < 12; ++i) s.push_back("full 1");
    s.push_back("pattern 100 100 50 40 3");
    s.push_back("fill 799 599 1 1 00FF00");
    s.push_back("pattern 100 100 50 40 3");
    s.push_back("fill 0 0 800 600 000000");
    s.push_back("pattern 0 0 800 600 1");  // back to the picture the host had before the fill
    s.push_back("dump " + first);
    s.push_back("resize 640 480");
    s.push_back("full 2");
    for (int i = 0; i < 8; ++i) s.push_back("full 2");
    s.push_back("fill 320 240 3 3 FF00FF");
    s.push_back("dump " + second);
    s.push_back("sleep 300");
    s.push_back("end");
    return s;
  };
  Outcome runs[2];
  for (int with = 0; with < 2; ++with) {
    test::TempDir scratch = test::make_temp_dir("korvane-changed");
    const std::string first = scratch.path + "/first.rgba", second = scratch.path + "/second.rgba";
    auto rig = start_rig(steps(first, second), ConnectRequest{.width = 800, .height = 600}, "tls",
                         {}, with ? encode_extensions(EXT_CHANGED_ONLY) : std::vector<uint8_t>{});
    ASSERT_TRUE(rig);
    runs[with] = run_session(*rig);
    const Outcome& run = runs[with];
    EXPECT_TRUE(run.disconnected) << korvane_stderr(*rig) << server_log(*rig);
    EXPECT_EQ(run.exit_code, 0);
    if (with) {
      EXPECT_EQ(run.granted, EXT_CHANGED_ONLY);
    }
    const std::string reference = test::read_file(second);
    ASSERT_EQ(reference.size(), 640u * 480u * 4u) << server_log(*rig);
    EXPECT_EQ(first_difference(reference, run.canvas), "") << (with ? "with" : "without");
  }
  // Without: 7 + 5 full pictures and the rest. With: each picture once, the small changes as
  // their tiles.
  EXPECT_GT(runs[0].rect_bytes, 11ull * 640 * 480 * 4);
  EXPECT_LT(runs[1].rect_bytes * 4, runs[0].rect_bytes)
      << "with " << runs[1].rect_bytes << " without " << runs[0].rect_bytes;
  // The repeats and the restored picture add nothing on top of four whole pictures at 800x600
  // (the activation's black one, the first, the black fill, the first again) and two at 640x480
  // (the activation's, the second picture), and the small changes' tiles.
  EXPECT_LT(runs[1].rect_bytes, 4ull * 800 * 600 * 4 + 2ull * 640 * 480 * 4 + 200000);
}

TEST(ChangedOnly, AnAreaTheHostDecodedItselfIsSentAgain) {
  // The same uncompressed picture three times with H.264 between: the first repeat is
  // suppressed, the one after the H.264 update is not, because the host's decoder painted there.
  test::TempDir scratch = test::make_temp_dir("korvane-changed");
  auto rig = start_rig(
      {"gfx-open", "gfx-surface 1 320 240", "gfx-map 1 0 0", "gfx-uncompressed 1 0 0 64 64 5",
       "gfx-uncompressed 1 0 0 64 64 5", "gfx-avc420 1 0 0 64 64 9",
       "gfx-uncompressed 1 0 0 64 64 5", "sleep 300", "end"},
      ConnectRequest{.width = 320, .height = 240}, "tls", {}, encode_extensions(EXT_CHANGED_ONLY));
  ASSERT_TRUE(rig);
  const Outcome run = run_session(*rig);
  EXPECT_TRUE(run.disconnected) << korvane_stderr(*rig) << server_log(*rig);
  EXPECT_EQ(run.exit_code, 0);
  ASSERT_EQ(run.granted, EXT_CHANGED_ONLY);
  // Whole-desktop pictures come first (the activation's, and again when the pipeline opens and
  // the host starts a new canvas); then the 64x64 picture: sent, its repeat not, sent again
  // after the H.264 update painted the host's canvas there.
  std::vector<std::string> after_whole;
  for (const auto& h : run.rects) {
    const std::string r = std::to_string(get_u32(&h[0])) + "," + std::to_string(get_u32(&h[4])) +
                          " " + std::to_string(get_u32(&h[8])) + "x" +
                          std::to_string(get_u32(&h[12]));
    if (r == "0,0 320x240")
      after_whole.clear();
    else
      after_whole.push_back(r);
  }
  EXPECT_EQ(after_whole, (std::vector<std::string>{"0,0 64x64", "0,0 64x64"}));
}

// Deflated rectangles (EXT_DEFLATE): what shrinks goes out deflated, what does not (a single
// pixel: the stream's own header is larger) as plain EVT_RECT, and the canvas is the server's
// picture either way, alone or with EXT_CHANGED_ONLY.
TEST(Deflate, CanvasEqualsTheServersPictureInFarFewerBytes) {
  const auto steps = [](const std::string& dump) {
    return std::vector<std::string>{"fill 0 0 800 600 336699",
                                    "pattern 100 100 50 40 3",
                                    "fill 10 10 300 200 FFFFFF",
                                    "fill 400 300 1 1 FF0000",
                                    "pattern 600 0 200 600 4",
                                    "fill 0 590 800 10 000000",
                                    "dump " + dump,
                                    "sleep 300",
                                    "end"};
  };
  const uint32_t masks[] = {0, EXT_DEFLATE, EXT_DEFLATE | EXT_CHANGED_ONLY};
  Outcome runs[3];
  for (int i = 0; i < 3; ++i) {
    test::TempDir scratch = test::make_temp_dir("korvane-deflate");
    const std::string dump = scratch.path + "/desk.rgba";
    auto rig = start_rig(steps(dump), ConnectRequest{.width = 800, .height = 600}, "tls", {},
                         masks[i] ? encode_extensions(masks[i]) : std::vector<uint8_t>{});
    ASSERT_TRUE(rig);
    runs[i] = run_session(*rig);
    const Outcome& run = runs[i];
    EXPECT_TRUE(run.disconnected) << korvane_stderr(*rig) << server_log(*rig);
    EXPECT_EQ(run.exit_code, 0);
    if (masks[i]) {
      EXPECT_EQ(run.granted, masks[i]);
    }
    EXPECT_EQ(run.problem, "");
    const std::string reference = test::read_file(dump);
    ASSERT_EQ(reference.size(), 800u * 600u * 4u) << server_log(*rig);
    EXPECT_EQ(first_difference(reference, run.canvas), "") << "mask " << masks[i];
  }
  EXPECT_EQ(runs[0].deflate_frames, 0u) << "a host that did not ask gets no EVT_RECT_DEFLATE";
  for (int i = 1; i < 3; ++i) {
    EXPECT_GE(runs[i].deflate_frames, 4u) << "the fills and patterns shrink";
    EXPECT_GE(runs[i].rect_frames, 1u) << "the single pixel does not, and goes out plain";
    const uint64_t total = runs[i].rect_bytes + runs[i].deflate_bytes;
    EXPECT_LT(total * 2, runs[0].rect_bytes) << "mask " << masks[i] << ": " << total << " bytes";
  }
}

// CMD_REFRESH: the server is asked for its whole picture, and all of it reaches the host even
// though the host's canvas already shows it. Without the refresh a changed-only host gets the
// activation's picture and the fill: not two whole desktops.
TEST(Refresh, AChangedOnlyHostGetsTheWholePictureAgain) {
  // The fill waits for a key, so once the host has it the activation's picture is all painted;
  // the second key, sent after CMD_REFRESH, lets the server end after the refresh's repaint.
  auto rig = start_rig(
      {"wait-input 1 30000", "fill 0 0 64 64 FF0000", "wait-input 2 30000", "sleep 300", "end"},
      ConnectRequest{.width = 320, .height = 240}, "tls", {},
      encode_extensions(EXT_CHANGED_ONLY | EXT_REFRESH));
  ASSERT_TRUE(rig);
  Outcome run;
  const auto take = [&](const host::Frame& f) { take_frame(run, f); };
  ASSERT_TRUE(host::wait_for_event(*rig->korvane, EVT_CONNECTED, 20000, take))
      << korvane_stderr(*rig) << server_log(*rig);
  const auto key = encode_key({0x1E, true, false});
  ASSERT_TRUE(host::send_command(*rig->korvane, CMD_KEY, key));
  const auto is_fill = [](const host::Frame& f) {
    return get_u32(&f.payload[8]) == 64 && get_u32(&f.payload[12]) == 64;
  };
  std::optional<host::Frame> rect;
  for (int i = 0; i < 50 && !(rect && is_fill(*rect)); ++i)
    rect = host::wait_for_event(*rig->korvane, EVT_RECT, 20000, take);
  ASSERT_TRUE(rect && is_fill(*rect)) << server_log(*rig);
  ASSERT_TRUE(host::send_command(*rig->korvane, CMD_REFRESH));
  ASSERT_TRUE(host::send_command(*rig->korvane, CMD_KEY, key));
  run_session(*rig, run);
  EXPECT_TRUE(run.disconnected) << korvane_stderr(*rig) << server_log(*rig);
  EXPECT_EQ(run.granted, EXT_CHANGED_ONLY | EXT_REFRESH);
  EXPECT_EQ(run.problem, "");
  uint64_t area = 0;
  for (const auto& h : run.rects) area += uint64_t{get_u32(&h[8])} * get_u32(&h[12]);
  EXPECT_GE(area, 2u * 320 * 240);
}
