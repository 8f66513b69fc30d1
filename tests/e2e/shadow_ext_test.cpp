// The host-link extensions against a real RDP server: FreeRDP's shadow server sharing a private
// Xvfb desktop. The pointer a host is told about must be the one X shows, a host that decodes
// AVC444v2 itself must be able to rebuild the very picture X shows from EVT_H264_CODEC alone,
// and a host that decodes only AVC420 must never be handed AVC444 of either version.
//
// What this shadow server (FreeRDP 3.10) does with the pointer shapes what can be tested:
//  - it sends a pointer only when X reports a cursor change, never the one in use when a client
//    connects, and only to a client it has activated;
//  - it takes one event from its X connection's queue each time it wakes for that connection
//    being readable, and Xlib queues events only as it reads the replies to the server's own
//    requests (its screen capture, every frame). So a change's notice waits until a later event
//    comes while the server waits, and is then sent as the cursor X shows at that moment; an
//    event that comes during a capture is read with it and wakes nothing. The test makes such
//    events until the shape comes;
//  - it never sends a hidden (null) pointer (an invisible X cursor would come as a shape of
//    transparent pixels), so EVT_CURSOR_HIDDEN cannot be brought about with it.
// X's animated cursors ("watch" in the Adwaita theme) read back through XFixes as a single
// pixel, so the test uses still ones.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <regex>

#include "host/desktop.hpp"
#include "host/png.hpp"
#include "host/process.hpp"
#include "host/recorder.hpp"
#include "host/session.hpp"
#include "host_link/extensions.hpp"
#include "host_link/protocol.hpp"
#include "shadow_fixture.hpp"
#include "video_check.hpp"
#include "x_cursor.hpp"
#include "x_display.hpp"

namespace {

using namespace korvane;
using namespace korvane::test;
using Clock = std::chrono::steady_clock;

// Over the root window, clear of the clients draw_desktop starts.
constexpr uint32_t kPointerX = 300;
constexpr uint32_t kPointerY = 600;

// The shape a server can send for an X cursor image: its pointer carries 24-bit colour and a
// one-bit mask, so a pixel is either opaque, its colour taken back from premultiplied alpha,
// or (alpha below 64) fully transparent.
std::vector<uint8_t> expected_rgba(const XCursorImage& image) {
  std::vector<uint8_t> out;
  out.reserve(image.argb.size() * 4);
  for (const uint32_t p : image.argb) {
    const uint32_t a = p >> 24;
    if (a < 64) {
      out.insert(out.end(), {0, 0, 0, 0});
      continue;
    }
    const auto unmul = [a](uint32_t c) { return static_cast<uint8_t>(c * 255 / a); };
    out.insert(out.end(), {unmul((p >> 16) & 0xff), unmul((p >> 8) & 0xff), unmul(p & 0xff), 255});
  }
  return out;
}

size_t opaque_pixels(const std::vector<uint8_t>& rgba) {
  size_t n = 0;
  for (size_t i = 3; i < rgba.size(); i += 4) n += rgba[i] != 0;
  return n;
}

struct ShapeSeen {
  CursorShapeHeader header;
  std::vector<uint8_t> rgba;
};

class ShadowExtTest : public ShadowDesktop {
 protected:
  void start_server(std::vector<std::string> extra = {}) {
    start_shadow_server(ShadowOptions{.extra = std::move(extra)});
  }

  // Keeps an X client running until the fixture's X server goes.
  bool start_x_client(const std::vector<std::string>& argv) {
    host::SpawnOptions o;
    o.argv = argv;
    o.env = {x.env()};
    o.term_grace_ms = 500;
    auto child = host::spawn(o);
    if (!child) return false;
    x.clients.push_back(std::move(*child));
    return true;
  }

  // korvane asking for `mask` (and the H.264 codecs), which must be granted as asked before
  // EVT_CONNECTED.
  std::optional<host::Session> open(host::Desktop& desktop, uint32_t mask,
                                    uint8_t h264_codecs = 0) {
    host::SessionOptions o = session_options();
    std::vector<ExtensionField> fields;
    if (h264_codecs) fields.push_back({FIELD_H264_CODECS, {h264_codecs}});
    o.extension_block = encode_extensions(mask, fields);
    std::string error;
    auto s = host::start_session(o, &error);
    EXPECT_TRUE(s) << error;
    if (s) expect_granted_then_connected(*s, desktop, mask, h264_codecs);
    return s;
  }

  // The grant comes before anything else, then EVT_CONNECTED with the requested size.
  void expect_granted_then_connected(host::Session& s, host::Desktop& desktop, uint32_t mask,
                                     uint8_t codecs) {
    host::Frame first;
    ASSERT_EQ(host::next_event(s, 30000, first), host::ReadStatus::frame);
    host::apply_event(desktop, first);
    ASSERT_EQ(first.type, EVT_EXTENSIONS) << host::describe_event(first);
    const auto grant = parse_grant(first.payload);
    ASSERT_TRUE(grant);
    EXPECT_EQ(grant->mask, mask);
    EXPECT_EQ(grant->h264_codecs, codecs);
    expect_connected(s, desktop);
  }
};

TEST_F(ShadowExtTest, AllExtensionsAreGrantedBeforeConnected) {
  start_server();
  host::Desktop desktop;
  auto s = open(desktop, EXT_CURSOR | EXT_RESIZE | EXT_H264, kKnownH264Codecs);
  ASSERT_TRUE(s);
  host::pump_events(*s, 1500, [&](const host::Frame& f) {
    EXPECT_NE(f.type, EVT_EXTENSIONS) << "the grant is sent once";
    EXPECT_NE(f.type, EVT_CONNECTED) << "EVT_CONNECTED is sent once";
    host::apply_event(desktop, f);
  });
  EXPECT_EQ(desktop.problems, 0u) << desktop.last_problem;
  expect_clean_disconnect(*s, desktop);
}

TEST_F(ShadowExtTest, CursorShapesAreTheXServersCursor) {
  ASSERT_TRUE(
      run_x(x, {"xdotool", "mousemove", std::to_string(kPointerX), std::to_string(kPointerY)}));
  XRootCursor cursor(x);
  ASSERT_TRUE(cursor.connected()) << cursor.error();
  start_server();
  host::Desktop desktop;
  auto s = open(desktop, EXT_CURSOR);
  ASSERT_TRUE(s);

  std::vector<ShapeSeen> shapes;
  std::vector<uint32_t> uses;
  uint64_t hidden = 0, pictures = 0;
  auto observe = [&](const host::Frame& f) {
    EXPECT_EQ(host::apply_event(desktop, f), "");
    if (f.type == EVT_CURSOR_SHAPE) {
      const auto h = parse_cursor_shape(f.payload);
      ASSERT_TRUE(h) << host::describe_event(f);
      shapes.push_back({*h, {f.payload.begin() + kCursorShapeHeaderSize, f.payload.end()}});
    } else if (f.type == EVT_CURSOR_USE) {
      ASSERT_EQ(f.payload.size(), 4u);
      uses.push_back(get_u32(f.payload.data()));
    } else if (f.type == EVT_CURSOR_HIDDEN) {
      ++hidden;
    } else if (f.type == EVT_RECT || f.type == EVT_H264) {
      ++pictures;
    }
  };
  // The server sends pointers only to a client it has activated, as it has once it sends a
  // picture; EVT_CONNECTED may come a moment before.
  const auto activated_by = Clock::now() + std::chrono::seconds(20);
  while (pictures == 0 && Clock::now() < activated_by) host::pump_events(*s, 100, observe);
  ASSERT_GT(pictures, 0u) << "no picture came";

  // Shows the X cursor `name`, waits for a shape equal to what X shows then, and for its use.
  auto bring = [&](const char* name) -> std::optional<ShapeSeen> {
    const size_t from = shapes.size();
    const auto image = cursor.set(name) ? cursor.image() : std::nullopt;
    if (!image) {
      ADD_FAILURE() << name << ": " << cursor.error();
      return std::nullopt;
    }
    const std::vector<uint8_t> want = expected_rgba(*image);
    auto match = [&]() -> std::optional<size_t> {
      for (size_t i = from; i < shapes.size(); ++i) {
        if (shapes[i].header.width == image->width && shapes[i].header.height == image->height &&
            shapes[i].rgba == want)
          return i;
      }
      return std::nullopt;
    };
    // The server notices the change only when a later event comes on its X connection while
    // it waits (see the top of the file): a window created and destroyed every 200 ms.
    std::optional<size_t> at;
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (!(at = match()) && Clock::now() < deadline) {
      if (!cursor.nudge()) {
        ADD_FAILURE() << cursor.error();
        return std::nullopt;
      }
      host::pump_events(*s, 200, observe);
    }
    if (!at) {
      std::string seen;
      for (size_t i = from; i < shapes.size(); ++i) {
        size_t differ = 0;
        for (size_t p = 0; p < want.size() && p < shapes[i].rgba.size(); p += 4)
          differ += !std::equal(want.begin() + p, want.begin() + p + 4, shapes[i].rgba.begin() + p);
        seen += " " + std::to_string(shapes[i].header.width) + "x" +
                std::to_string(shapes[i].header.height) + " (" + std::to_string(differ) +
                " pixels differ)";
      }
      ADD_FAILURE() << name << ": no shape equal to X's " << image->width << "x" << image->height
                    << " cursor came; shapes since the change:" << seen;
      return std::nullopt;
    }
    const ShapeSeen seen = shapes[*at];
    EXPECT_EQ(seen.header.hotspot_x, image->hotspot_x) << name;
    EXPECT_EQ(seen.header.hotspot_y, image->hotspot_y) << name;
    // Its use may trail the shape by a frame or two.
    const auto use_deadline = Clock::now() + std::chrono::seconds(3);
    while (std::find(uses.begin(), uses.end(), seen.header.id) == uses.end() &&
           Clock::now() < use_deadline)
      host::pump_events(*s, 100, observe);
    EXPECT_NE(std::find(uses.begin(), uses.end(), seen.header.id), uses.end())
        << name << ": shape " << seen.header.id << " was never put in use";
    return seen;
  };

  const auto xterm = bring("xterm");
  ASSERT_TRUE(xterm);
  EXPECT_GT(opaque_pixels(xterm->rgba), 10u) << "the I-beam is visible";
  EXPECT_EQ(desktop.cursor.mode, host::Cursor::Mode::shape);
  EXPECT_EQ(desktop.cursor.current, xterm->header.id);

  const auto hand = bring("hand2");
  ASSERT_TRUE(hand);
  EXPECT_NE(hand->header.id, xterm->header.id);
  EXPECT_NE(hand->rgba, xterm->rgba) << "two distinct X cursors came as the same picture";

  // The host asks again: the shape in use comes once more, whole, with its use after it.
  const size_t shapes_before = shapes.size();
  const size_t uses_before = uses.size();
  ASSERT_TRUE(host::send_command(*s, CMD_CURSOR_STATE));
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  while ((shapes.size() == shapes_before || uses.size() == uses_before) && Clock::now() < deadline)
    host::pump_events(*s, 100, observe);
  ASSERT_GT(shapes.size(), shapes_before) << "no EVT_CURSOR_SHAPE after CMD_CURSOR_STATE";
  ASSERT_GT(uses.size(), uses_before) << "no EVT_CURSOR_USE after CMD_CURSOR_STATE";
  EXPECT_EQ(shapes[shapes_before].header.id, hand->header.id);
  EXPECT_EQ(shapes[shapes_before].header.hotspot_x, hand->header.hotspot_x);
  EXPECT_EQ(shapes[shapes_before].header.hotspot_y, hand->header.hotspot_y);
  EXPECT_EQ(shapes[shapes_before].rgba, hand->rgba);
  EXPECT_EQ(uses[uses_before], hand->header.id);

  EXPECT_EQ(hidden, 0u) << "this server has no hidden pointer to send";

  EXPECT_EQ(desktop.problems, 0u) << desktop.last_problem;
  expect_clean_disconnect(*s, desktop);
}

struct CodecCounts {
  uint64_t avc420 = 0, avc444 = 0, avc444v2 = 0, other = 0;
  uint64_t rects = 0, rects_after_h264 = 0, plain_h264 = 0;
};

// Reads events for duration_ms into the desktop, counting what came.
void pump_counting(host::Session& s, host::Desktop& desktop, CodecCounts& counts, int duration_ms) {
  host::pump_events(s, duration_ms, [&](const host::Frame& f) {
    EXPECT_EQ(host::apply_event(desktop, f), "");
    const uint64_t h264_so_far = counts.avc420 + counts.avc444 + counts.avc444v2 + counts.other;
    if (f.type == EVT_RECT) {
      ++counts.rects;
      if (h264_so_far) ++counts.rects_after_h264;
    } else if (f.type == EVT_H264) {
      ++counts.plain_h264;
    } else if (f.type == EVT_H264_CODEC) {
      const auto h = parse_h264_codec_header(f.payload);
      ASSERT_TRUE(h) << host::describe_event(f);
      if (h->codec == CODEC_ID_AVC420)
        ++counts.avc420;
      else if (h->codec == CODEC_ID_AVC444)
        ++counts.avc444;
      else if (h->codec == CODEC_ID_AVC444V2)
        ++counts.avc444v2;
      else
        ++counts.other;
    }
  });
}

TEST_F(ShadowExtTest, Avc444v2HostRebuildsTheScreenFromTaggedH264) {
  start_server();
  host::Desktop desktop;
  auto s = open(desktop, EXT_H264, H264_AVC444V2 | H264_AVC420);
  ASSERT_TRUE(s);
  CodecCounts counts;
  pump_counting(*s, desktop, counts, 2500);
  ASSERT_GT(counts.avc444v2, 0u) << "the shadow server picks AVC444v2 when it is offered";
  expect_canvas_matches_screen(desktop, x, 6.0, 0.98);

  // A changed desktop comes as more AVC444v2, each view predicted from the one before.
  ASSERT_TRUE(run_x(x, {"xsetroot", "-solid", "#c06020"}));
  ASSERT_TRUE(run_x(x, {"xdotool", "mousemove", "500", "700"}));
  const uint64_t before = counts.avc444v2;
  pump_counting(*s, desktop, counts, 2500);
  EXPECT_GT(counts.avc444v2, before) << "the change did not come";
  expect_canvas_matches_screen(desktop, x, 6.0, 0.98);

  std::printf("AVC420 %llu, AVC444 %llu, AVC444v2 %llu, rects %llu (after H.264: %llu)\n",
              static_cast<unsigned long long>(counts.avc420),
              static_cast<unsigned long long>(counts.avc444),
              static_cast<unsigned long long>(counts.avc444v2),
              static_cast<unsigned long long>(counts.rects),
              static_cast<unsigned long long>(counts.rects_after_h264));
  EXPECT_EQ(counts.avc444, 0u) << "AVC444 was not granted";
  EXPECT_EQ(counts.other, 0u);
  EXPECT_EQ(counts.plain_h264, 0u) << "a host with the H.264 extension gets no untagged EVT_H264";
  // Before the first picture korvane may send its blank desktop once (a resize at the same
  // size); after it, the picture is H.264 alone.
  EXPECT_EQ(counts.rects_after_h264, 0u) << "the renderer's output was sent as well";
  EXPECT_EQ(desktop.h264.stats.codec_avc444v2, counts.avc444v2);
  EXPECT_EQ(desktop.h264.stats.errors, 0u);
  EXPECT_GT(desktop.h264.stats.pictures, 0u);
  EXPECT_EQ(desktop.problems, 0u) << desktop.last_problem;
  expect_clean_disconnect(*s, desktop);
}

TEST_F(ShadowExtTest, Avc420OnlyHostIsNeverSentAvc444) {
  start_server();
  host::Desktop desktop;
  auto s = open(desktop, EXT_H264, H264_AVC420);
  ASSERT_TRUE(s);
  CodecCounts counts;
  pump_counting(*s, desktop, counts, 2500);
  ASSERT_TRUE(run_x(x, {"xsetroot", "-solid", "#c06020"}));
  pump_counting(*s, desktop, counts, 2500);
  std::printf("AVC420 %llu, AVC444 %llu, AVC444v2 %llu, rects %llu\n",
              static_cast<unsigned long long>(counts.avc420),
              static_cast<unsigned long long>(counts.avc444),
              static_cast<unsigned long long>(counts.avc444v2),
              static_cast<unsigned long long>(counts.rects));
  EXPECT_EQ(counts.avc444, 0u);
  EXPECT_EQ(counts.avc444v2, 0u);
  EXPECT_EQ(counts.other, 0u);
  EXPECT_EQ(counts.plain_h264, 0u);
  EXPECT_GT(counts.avc420 + counts.rects, 1u) << "the picture and its change must come somehow";
  EXPECT_EQ(desktop.h264.stats.errors, 0u);
  EXPECT_EQ(desktop.problems, 0u) << desktop.last_problem;
  expect_canvas_matches_screen(desktop, x, 6.0, 0.98);
  expect_clean_disconnect(*s, desktop);
}

// On the classic bitmap path the shadow server resends tiles whether or not they changed; a host
// that asked for only what changed must still end with the very picture X shows, pixel for pixel,
// after a scrolling xterm has changed most of the screen many times over.
TEST_F(ShadowExtTest, ChangedOnlyCanvasIsTheScreenAfterAnXtermScrolls) {
  start_server({"-gfx", "-rfx", "-nsc"});
  ASSERT_TRUE(start_x_client({"xterm", "-geometry", "100x40+0+0", "-e", "sh", "-c",
                              "sleep 1; timeout 3 seq 1 1000000000; sleep 600"}));
  host::Desktop desktop;
  auto s = open(desktop, EXT_CHANGED_ONLY);
  ASSERT_TRUE(s);
  host::pump_events(*s, 5000, [&](const host::Frame& f) { host::apply_event(desktop, f); });
  const uint64_t while_scrolling = desktop.rects;
  EXPECT_GT(while_scrolling, 50u) << "the scrolling did not come as rectangles";

  // The server's capture lags X a little: the last scrolled lines may come a moment later.
  std::string error;
  double best = 0;
  for (int attempt = 0; attempt < 8 && best < 1.0; ++attempt) {
    host::pump_events(*s, 1000, [&](const host::Frame& f) { host::apply_event(desktop, f); });
    const auto shot = screenshot(x, &error);
    ASSERT_TRUE(shot) << error;
    const auto diff = compare_rgb(desktop.canvas, *shot, 0);
    ASSERT_TRUE(diff);
    best = std::max(best, diff->within);
  }
  std::printf("rectangles %llu (%llu while scrolling), canvas equal to the screen: %.4f%%\n",
              static_cast<unsigned long long>(desktop.rects),
              static_cast<unsigned long long>(while_scrolling), best * 100);
  EXPECT_EQ(best, 1.0) << "the canvas is not exactly the screen";
  EXPECT_EQ(desktop.problems, 0u) << desktop.last_problem;
  EXPECT_EQ(desktop.h264.stats.pictures, 0u);
  expect_clean_disconnect(*s, desktop);
}

}  // namespace

namespace {

// A session of a scrolling xterm, recorded as korvane-host records one, replays to the very
// picture X shows once the screen is still, and exports to a video.
TEST_F(ShadowExtTest, ARecordedScrollingXtermReplaysToTheScreen) {
  start_server({"-gfx", "-rfx", "-nsc"});
  ASSERT_TRUE(start_x_client({"xterm", "-geometry", "100x40+0+0", "-e", "sh", "-c",
                              "sleep 1; timeout 20 seq 1 1000000000; sleep 600"}));
  host::Desktop desktop;
  auto s = open(desktop, 0);
  ASSERT_TRUE(s);
  const std::string path = logs.path + "/xterm.kvr";
  host::Recorder recorder;
  ASSERT_TRUE(recorder.open(path, REC_ALL, std::chrono::steady_clock::now(), 0)) << recorder.error;
  // The session's start went by while it opened: the recording starts with the size it took.
  recorder.add(false, EVT_CONNECTED, encode_size(desktop.canvas.width, desktop.canvas.height),
               std::chrono::steady_clock::now());
  auto record = [&](const host::Frame& f) {
    host::apply_event(desktop, f);
    recorder.add(false, f.type, f.payload, std::chrono::steady_clock::now());
  };
  host::pump_events(*s, 22000, record);
  std::string error;
  std::optional<host::Canvas> shot;
  // The server's capture lags X a little: the last scrolled lines may come a moment later.
  for (int attempt = 0; attempt < 8; ++attempt) {
    host::pump_events(*s, 1000, record);
    shot = screenshot(x, &error);
    ASSERT_TRUE(shot) << error;
    if (const auto d = compare_rgb(desktop.canvas, *shot, 0); d && d->within == 1.0) break;
  }
  recorder.finish();
  ASSERT_EQ(recorder.error, "");
  expect_clean_disconnect(*s, desktop);

  host::SpawnOptions o;
  o.argv = {KORVANE_HOST_PATH,
            "--replay",
            path,
            "--quiet",
            "--png",
            logs.path + "/end.png",
            "--video",
            logs.path + "/xterm.mp4"};
  const auto replay = host::run_capture(o, 120000);
  EXPECT_TRUE(std::regex_search(replay.out, std::regex("VIDEO .* mode=encode .* frames=[1-9]")))
      << replay.out;
  const auto played = host::read_png(logs.path + "/end.png");
  ASSERT_TRUE(played) << replay.out;
  const auto diff = compare_rgb(*played, *shot, 0);
  ASSERT_TRUE(diff);
  EXPECT_EQ(diff->within, 1.0) << "the replay's last picture is not the screen";
  // The video decodes without an error and ends on the screen, give or take H.264's losses.
  EXPECT_FALSE(test::frame_md5s({"-i", logs.path + "/xterm.mp4"}).empty());
  const double difference =
      test::last_frame_difference(logs.path + "/xterm.mp4", *shot, logs.path + "/last.png");
  EXPECT_GE(difference, 0);
  EXPECT_LT(difference, 6.0);
}

}  // namespace
