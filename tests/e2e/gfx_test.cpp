// korvane's graphics-pipeline hooks against the test server's graphics pipeline: where H.264
// commands land on the desktop, that they reach the host as sent, that everything else is drawn
// by the renderer and reaches the host once and complete, and that a channel going away or bad
// commands leave the session running.
//
// Every drawing step of the server waits for the client to acknowledge its frame, and the client
// acknowledges a frame only after korvane has written everything the frame made it send. So once
// the server logs DONE, all of korvane's output for the script is in the pipe.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "host/canvas.hpp"
#include "host/h264.hpp"
#include "host/session.hpp"
#include "host_link/extensions.hpp"
#include "host_link/protocol.hpp"
#include "logged_process.hpp"
#include "net.hpp"
#include "rig.hpp"

using namespace korvane;
using namespace std::chrono;

namespace {

constexpr uint32_t kWidth = 800;
constexpr uint32_t kHeight = 600;
constexpr int kScriptTimeoutMs = 90000;

// The shared rig, and every event korvane sent.
struct Rig {
  e2e::Rig run;
  std::vector<host::Frame> events;
};

// The server dumps what it sent into the scratch directory.
std::unique_ptr<Rig> start_rig(std::vector<std::string> steps,
                               std::vector<uint8_t> extension_block = {}) {
  auto rig = std::make_unique<Rig>();
  rig->run.scratch = test::make_temp_dir("korvane-gfx");
  const ConnectRequest request{.username = "test",
                               .password = "test",
                               .width = kWidth,
                               .height = kHeight,
                               .flags = CONNECT_FLAG_TLS};
  if (!e2e::start_rig(rig->run, std::move(steps), request, "tls",
                      {"--dump-dir", rig->run.scratch.path}, std::move(extension_block)))
    return nullptr;
  return rig;
}

std::string server_log(Rig& rig) { return e2e::server_log(rig.run); }

std::string diagnostics(Rig& rig) {
  return "\n--- server log\n" + server_log(rig) + "--- korvane stderr (tail)\n" + [&] {
    const std::string all = e2e::korvane_stderr(rig.run);
    return all.size() > 4000 ? all.substr(all.size() - 4000) : all;
  }();
}

// Reads korvane's events until the server has run its whole script, then what is left in the
// pipe. Fails on a server error, on the end of korvane's output or at the deadline.
void run_script(Rig& rig) {
  const auto deadline = steady_clock::now() + milliseconds(kScriptTimeoutMs);
  for (;;) {
    host::Frame f;
    const host::ReadStatus st = host::next_event(*rig.run.korvane, 20, f);
    if (st == host::ReadStatus::frame) {
      rig.events.push_back(std::move(f));
      continue;
    }
    ASSERT_EQ(st, host::ReadStatus::timeout)
        << "korvane's output ended: " << host::to_string(st) << diagnostics(rig);
    bool done = false;
    for (const std::string& line : test::lines_of(*rig.run.server.process)) {
      ASSERT_NE(line.rfind("ERROR", 0), 0u) << line << diagnostics(rig);
      done = done || line == "DONE";
    }
    if (done) break;
    ASSERT_LT(steady_clock::now(), deadline) << "script not done in time" << diagnostics(rig);
  }
  host::pump_events(*rig.run.korvane, 300, [&](const host::Frame& f) { rig.events.push_back(f); });
}

// Ends the session from the host side; korvane must still be there to end it cleanly.
void finish(Rig& rig) {
  const auto end = host::finish_session(*rig.run.korvane, 15000,
                                        [&](const host::Frame& f) { rig.events.push_back(f); });
  EXPECT_TRUE(end.disconnected) << diagnostics(rig);
  EXPECT_FALSE(end.error) << *end.error;
  ASSERT_TRUE(end.exit) << "korvane did not exit";
  EXPECT_TRUE(end.exit->exited() && end.exit->code == 0) << host::describe(*end.exit);
}

using e2e::u32_at;

// Events after the first EVT_RESIZE, which the graphics reset sends: what the pipeline caused.
// The whole picture that korvane sends right after a resize to the size the desktop already had
// belongs to the reset, not to the pipeline, and is left out.
std::vector<host::Frame> after_reset(const Rig& rig, uint8_t type) {
  std::vector<host::Frame> out;
  bool reset = false;
  const host::Frame* last = nullptr;
  for (const host::Frame& f : rig.events) {
    const bool resent_picture = last && last->type == EVT_RESIZE && f.type == EVT_RECT &&
                                get_u32(&f.payload[0]) == 0 && get_u32(&f.payload[4]) == 0 &&
                                get_u32(&f.payload[8]) == get_u32(&last->payload[0]) &&
                                get_u32(&f.payload[12]) == get_u32(&last->payload[4]);
    last = &f;
    if (f.type == EVT_RESIZE) reset = true;
    if (reset && f.type == type && !resent_picture) out.push_back(f);
  }
  return out;
}

struct H264Event {
  uint32_t left, top, right, bottom, width, height;
  std::vector<uint8_t> data;
};

H264Event h264_of(const host::Frame& f) {
  EXPECT_GE(f.payload.size(), kH264HeaderSize);
  if (f.payload.size() < kH264HeaderSize) return {};
  return {u32_at(f, 0),
          u32_at(f, 4),
          u32_at(f, 8),
          u32_at(f, 12),
          u32_at(f, 16),
          u32_at(f, 20),
          {f.payload.begin() + kH264HeaderSize, f.payload.end()}};
}

std::string placement(const H264Event& e) {
  std::ostringstream s;
  s << e.left << "," << e.top << "," << e.right << "," << e.bottom << " " << e.width << "x"
    << e.height;
  return s.str();
}

std::string rect_of(const host::Frame& f) {
  std::ostringstream s;
  s << u32_at(f, 0) << "," << u32_at(f, 4) << "," << u32_at(f, 8) << "," << u32_at(f, 12);
  return s.str();
}

// The types of all events, with the rectangles of EVT_RECTs.
std::string event_sequence(const Rig& rig) {
  std::string seq;
  for (const host::Frame& e : rig.events) {
    seq += " " + std::to_string(e.type);
    if (e.type == EVT_RECT) seq += "(" + rect_of(e) + ")";
  }
  return seq;
}

// "KEY k=v k=v" lines of the server log.
using Fields = std::map<std::string, std::string>;

std::vector<Fields> log_records(Rig& rig, const std::string& key) {
  std::vector<Fields> out;
  for (const std::string& line : test::lines_of(*rig.run.server.process)) {
    std::istringstream words(line);
    std::string first;
    words >> first;
    if (first != key) continue;
    Fields f;
    for (std::string w; words >> w;) {
      const auto eq = w.find('=');
      if (eq != std::string::npos) f[w.substr(0, eq)] = w.substr(eq + 1);
    }
    out.push_back(std::move(f));
  }
  return out;
}

std::vector<uint8_t> dump_file(Rig& rig, const std::string& step, const char* suffix) {
  const std::string bytes = test::read_file(rig.run.scratch.path + "/gfx-" + step + suffix);
  return {bytes.begin(), bytes.end()};
}

// The H.264 bitstream of a logged command: its data as sent after the AVC420 metablock (meta
// is 0 for AVC444, which goes out whole).
std::vector<uint8_t> bitstream(Rig& rig, const Fields& command) {
  const std::vector<uint8_t> wire = dump_file(rig, command.at("step"), ".data");
  EXPECT_EQ(wire.size(), std::stoul(command.at("bytes")));
  const size_t meta = std::stoul(command.at("meta"));
  EXPECT_GT(wire.size(), meta);
  if (wire.size() <= meta) return {};
  return {wire.begin() + static_cast<long>(meta), wire.end()};
}

// Peak signal-to-noise ratio of the RGB channels of a w x h area of the canvas at (x, y)
// against an RGBA picture of that size.
double psnr(const host::Canvas& canvas, uint32_t x, uint32_t y, uint32_t w, uint32_t h,
            const std::vector<uint8_t>& picture) {
  if (picture.size() != static_cast<size_t>(w) * h * 4 || x + w > canvas.width ||
      y + h > canvas.height)
    return 0;
  double sum = 0;
  for (uint32_t row = 0; row < h; ++row)
    for (uint32_t col = 0; col < w; ++col)
      for (int c = 0; c < 3; ++c) {
        const double a = canvas.rgba[((static_cast<size_t>(y) + row) * canvas.width + x + col) * 4 +
                                     static_cast<size_t>(c)];
        const double b = picture[(static_cast<size_t>(row) * w + col) * 4 + static_cast<size_t>(c)];
        sum += (a - b) * (a - b);
      }
  const double mse = sum / (static_cast<double>(w) * h * 3);
  return mse == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

// ------------------------------------------------------------------ content

TEST(GfxContent, Avc420AndAvc444ArriveAsSentAndDecodeToThePicture) {
  auto rig = start_rig({
      "gfx-open",
      "gfx-surface 1 128 96",
      "gfx-map 1 40 30",
      "gfx-avc420 1 0 0 128 96 11",
      "gfx-avc420 1 0 0 128 96 12",
      "gfx-avc420 1 0 0 128 96 13",
      "gfx-surface 2 256 160",
      "gfx-map 2 400 300",
      "gfx-avc420 2 0 0 256 160 14",
      "gfx-avc420 2 0 0 256 160 15",
      "gfx-surface 3 128 64",
      "gfx-map 3 200 100",
      "gfx-avc444 3 0 0 128 64 21",
      "gfx-avc444 3 0 0 128 64 22",
  });
  ASSERT_TRUE(rig);
  run_script(*rig);
  const auto sent = log_records(*rig, "GFX-CMD");
  const auto h264 = after_reset(*rig, EVT_H264);
  ASSERT_EQ(sent.size(), 7u) << diagnostics(*rig);
  ASSERT_EQ(h264.size(), sent.size()) << diagnostics(*rig);

  host::Canvas canvas;
  host::resize_canvas(canvas, kWidth, kHeight);
  host::H264Decoder decoder;
  for (size_t i = 0; i < sent.size(); ++i) {
    SCOPED_TRACE("command of step " + sent[i].at("step"));
    const H264Event e = h264_of(h264[i]);
    const std::vector<uint8_t> stream = bitstream(*rig, sent[i]);
    EXPECT_TRUE(e.data == stream) << "forwarded " << e.data.size() << " bytes of " << stream.size();
    if (i >= 5) {
      EXPECT_EQ(placement(e), "200,100,328,164 128x64");
    }

    // The main view alone of an AVC444 command is a 4:2:0 picture of the whole.
    const std::string problem = host::paint_h264(decoder, canvas, h264[i].payload);
    EXPECT_EQ(problem, "");
    const std::vector<uint8_t> picture = dump_file(*rig, sent[i].at("step"), ".rgba");
    const double db = psnr(canvas, e.left, e.top, e.width, e.height, picture);
    EXPECT_GT(db, 30.0) << "PSNR " << db << " dB";
  }
  EXPECT_EQ(decoder.stats.pictures, sent.size());
  EXPECT_EQ(decoder.stats.avc444, 2u);
  EXPECT_EQ(decoder.stats.errors, 0u);
  finish(*rig);
}

// ------------------------------------------------------------------ what the renderer draws

// Paints the EVT_RECTs after the reset into a canvas, checking each one against the areas the
// server says its commands show, in order.
host::Canvas paint_rects(Rig& rig, const std::vector<std::string>& expected_areas) {
  host::Canvas canvas;
  host::resize_canvas(canvas, kWidth, kHeight);
  const auto rects = after_reset(rig, EVT_RECT);
  EXPECT_EQ(rects.size(), expected_areas.size()) << "one EVT_RECT for each update" << [&] {
    std::string all;
    for (const auto& r : rects) all += " " + rect_of(r);
    return all;
  }();
  for (size_t i = 0; i < rects.size(); ++i) {
    if (i < expected_areas.size()) {
      EXPECT_EQ(rect_of(rects[i]), expected_areas[i]) << "update " << i;
    }
    EXPECT_EQ(host::paint_rect(canvas, rects[i].payload), "");
  }
  return canvas;
}

// The areas the renderer repaints, in the order of their frames, from the server's log.
std::vector<std::string> shown_areas(Rig& rig) {
  std::vector<std::pair<int, std::string>> shows;
  for (const char* key : {"GFX-CMD", "GFX-FILL"})
    for (const Fields& f : log_records(rig, key)) {
      const std::string s = f.count("shows") ? f.at("shows") : "";
      unsigned x = 0, y = 0, w = 0, h = 0;
      EXPECT_EQ(std::sscanf(s.c_str(), "%u,%u,%u,%u", &x, &y, &w, &h), 4) << "shows=" << s;
      shows.emplace_back(std::stoi(f.at("frame")), std::to_string(x) + "," + std::to_string(y) +
                                                       "," + std::to_string(w) + "," +
                                                       std::to_string(h));
    }
  std::stable_sort(shows.begin(), shows.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<std::string> out;
  for (const auto& s : shows) out.push_back(s.second);
  return out;
}

// Byte differences between the canvas and an RGBA picture of the desktop outside `skip` (x, y,
// w, h; w == 0 skips nothing); describes the first one.
size_t differences(const host::Canvas& canvas, const std::string& desk, std::string& first,
                   const uint32_t skip[4]) {
  size_t count = 0;
  for (size_t p = 0; p + 4 <= desk.size() && p + 4 <= canvas.rgba.size(); p += 4) {
    const uint32_t x = static_cast<uint32_t>(p / 4 % kWidth),
                   y = static_cast<uint32_t>(p / 4 / kWidth);
    if (x >= skip[0] && x < skip[0] + skip[2] && y >= skip[1] && y < skip[1] + skip[3]) continue;
    bool same = true;
    for (size_t c = 0; c < 4; ++c)
      same = same && static_cast<uint8_t>(desk[p + c]) == canvas.rgba[p + c];
    if (same) continue;
    if (count++ == 0) {
      std::ostringstream s;
      s << "x=" << x << " y=" << y << ": host RGBA " << int(canvas.rgba[p]) << ","
        << int(canvas.rgba[p + 1]) << "," << int(canvas.rgba[p + 2]) << ","
        << int(canvas.rgba[p + 3]) << ", server " << int(uint8_t(desk[p])) << ","
        << int(uint8_t(desk[p + 1])) << "," << int(uint8_t(desk[p + 2])) << ","
        << int(uint8_t(desk[p + 3]));
      first = s.str();
    }
  }
  return count;
}

TEST(GfxRenderer, LosslessCommandsArriveAsTheServersPixels) {
  auto rig = start_rig({
      "gfx-open",
      "gfx-surface 1 256 128",
      "gfx-map 1 50 60",
      "gfx-planar 1 0 0 100 50 1",
      "gfx-uncompressed 1 120 10 64 48 2",
      "gfx-fill 1 30 70 200 40 12AB7F",
      "gfx-planar 1 200 100 56 28 3",
      "gfx-surface 2 64 64",
      "gfx-map 2 700 500",
      "gfx-uncompressed 2 0 0 64 64 4",
      "gfx-fill 2 16 16 8 8 FF0000",
      // korvane keeps the planar decoder small and grows it for this one.
      "gfx-surface 3 400 300",
      "gfx-map 3 300 200",
      "gfx-planar 3 0 0 400 300 7",
      "gfx-planar 3 10 10 300 20 8",
      "dump desk.rgba",
  });
  ASSERT_TRUE(rig);
  run_script(*rig);
  EXPECT_TRUE(after_reset(*rig, EVT_H264).empty()) << "only AVC420 and AVC444 are passed on";
  const std::vector<std::string> areas = shown_areas(*rig);
  ASSERT_EQ(areas.size(), 8u) << diagnostics(*rig);
  const host::Canvas canvas = paint_rects(*rig, areas);
  const std::string desk = test::read_file(rig->run.scratch.path + "/desk.rgba");
  ASSERT_EQ(desk.size(), canvas.rgba.size());
  std::string first;
  const uint32_t nothing[4] = {0, 0, 0, 0};
  EXPECT_EQ(differences(canvas, desk, first, nothing), 0u) << "first at " << first;
  finish(*rig);
}

TEST(GfxRenderer, Avc444v2IsDecodedByTheRenderer) {
  auto rig = start_rig({
      "gfx-open",
      "gfx-surface 2 160 96",
      "gfx-map 2 500 400",
      "gfx-avc444v2 2 4",
      "gfx-avc444v2 2 5",
      "gfx-fill 2 8 8 16 16 FF0000",
      "gfx-surface 1 64 32",
      "gfx-map 1 20 30",
      "gfx-planar 1 0 0 64 32 6",
      "dump desk.rgba",
  });
  ASSERT_TRUE(rig);
  run_script(*rig);
  EXPECT_TRUE(after_reset(*rig, EVT_H264).empty()) << "AVC444v2 is not passed on";
  const std::vector<std::string> areas = shown_areas(*rig);
  ASSERT_EQ(areas.size(), 4u) << diagnostics(*rig);
  const auto rects = after_reset(*rig, EVT_RECT);
  ASSERT_EQ(rects.size(), areas.size()) << diagnostics(*rig);
  const auto sent = log_records(*rig, "GFX-CMD");
  ASSERT_GE(sent.size(), 2u);

  host::Canvas canvas;
  host::resize_canvas(canvas, kWidth, kHeight);
  for (size_t i = 0; i < rects.size(); ++i) {
    EXPECT_EQ(rect_of(rects[i]), areas[i]) << "update " << i;
    ASSERT_EQ(host::paint_rect(canvas, rects[i].payload), "");
    if (i < 2) {
      // What the renderer made of the stream is the picture that was encoded.
      const double db =
          psnr(canvas, 500, 400, 160, 96, dump_file(*rig, sent[i].at("step"), ".rgba"));
      EXPECT_GT(db, 30.0) << "PSNR " << db << " dB of frame " << i;
    }
  }
  // The server decodes the stream with the same library: the two pictures differ only by the
  // decoder's own rounding from run to run, which exact comparison cannot allow for.
  const std::string desk = test::read_file(rig->run.scratch.path + "/desk.rgba");
  ASSERT_EQ(desk.size(), canvas.rgba.size());
  std::vector<uint8_t> reference(160 * 96 * 4);
  for (uint32_t row = 0; row < 96; ++row)
    std::copy_n(desk.begin() + static_cast<long>(((400 + row) * kWidth + 500) * 4), 160 * 4,
                reference.begin() + static_cast<long>(row * 160 * 4));
  const double db = psnr(canvas, 500, 400, 160, 96, reference);
  EXPECT_GT(db, 45.0) << "PSNR " << db << " dB against the server's own decoding";
  // Everything else, the fill over the decoded picture included, is exact.
  std::string first;
  const uint32_t decoded[4] = {500, 400, 160, 96};
  EXPECT_EQ(differences(canvas, desk, first, decoded), 0u) << "first at " << first;
  size_t fill_differs = 0;
  for (uint32_t row = 408; row < 424; ++row)
    for (uint32_t col = 508; col < 524; ++col)
      for (size_t c = 0; c < 4; ++c) {
        const size_t p = (static_cast<size_t>(row) * kWidth + col) * 4 + c;
        fill_differs += canvas.rgba[p] != static_cast<uint8_t>(desk[p]);
      }
  EXPECT_EQ(fill_differs, 0u) << "bytes of the fill over the decoded picture";
  finish(*rig);
}

TEST(GfxRenderer, ARectanglesOnlyHostGetsEveryCodecDecoded) {
  // The test server sends H.264 whatever the client offers, as some servers do.
  const ExtensionField none{FIELD_H264_CODECS, {0}};
  auto rig = start_rig(
      {
          "gfx-open",
          "gfx-surface 1 128 96",
          "gfx-map 1 40 30",
          "gfx-avc420 1 0 0 128 96 11",
          "gfx-surface 2 160 96",
          "gfx-map 2 400 300",
          "gfx-avc444 2 0 0 160 96 12",
      },
      encode_extensions(EXT_H264, std::span(&none, 1)));
  ASSERT_TRUE(rig);
  run_script(*rig);
  ASSERT_FALSE(rig->events.empty());
  const auto grant = parse_grant(rig->events.front().payload);
  ASSERT_EQ(rig->events.front().type, EVT_EXTENSIONS);
  ASSERT_TRUE(grant);
  EXPECT_EQ(grant->mask, EXT_H264);
  EXPECT_EQ(grant->h264_codecs, 0);
  for (const host::Frame& f : rig->events)
    EXPECT_TRUE(f.type != EVT_H264 && f.type != EVT_H264_CODEC) << event_sequence(*rig);
  // korvane offered the server no H.264: its newest capability set, the one servers pick, says
  // AVC disabled (0x20).
  const auto caps = log_records(*rig, "GFX-CAPS");
  ASSERT_EQ(caps.size(), 1u);
  unsigned version = 0, flags = 0, newest = 0, newest_flags = 0;
  std::istringstream sets(caps[0].at("advertised"));
  for (std::string set; std::getline(sets, set, ',');)
    if (std::sscanf(set.c_str(), "%x/%x", &version, &flags) == 2 && version > newest)
      std::tie(newest, newest_flags) = std::tie(version, flags);
  EXPECT_EQ(newest_flags & 0x20, 0x20u) << caps[0].at("advertised");
  // Each picture where it was sent, as the server encoded it.
  const host::Canvas canvas = paint_rects(*rig, {"40,30,128,96", "400,300,160,96"});
  const auto sent = log_records(*rig, "GFX-CMD");
  ASSERT_EQ(sent.size(), 2u) << diagnostics(*rig);
  const uint32_t at[2][4] = {{40, 30, 128, 96}, {400, 300, 160, 96}};
  for (size_t i = 0; i < 2; ++i) {
    const double db = psnr(canvas, at[i][0], at[i][1], at[i][2], at[i][3],
                           dump_file(*rig, sent[i].at("step"), ".rgba"));
    EXPECT_GT(db, 30.0) << "PSNR " << db << " dB of step " << sent[i].at("step");
  }
  finish(*rig);
}

// ------------------------------------------------------------------ no waste

TEST(GfxNoWaste, AFrameWithoutPaintSendsNothingAgain) {
  // The frame with both an H.264 and a planar command makes the renderer paint once; the frames
  // after it paint nothing and must send nothing.
  auto rig = start_rig({
      "gfx-open",
      "gfx-surface 1 64 64",
      "gfx-map 1 100 50",
      "gfx-surface 2 64 64",
      "gfx-map 2 300 50",
      "gfx-frame-begin",
      "gfx-avc420 1 0 0 64 64 7",
      "gfx-planar 2 0 0 32 32 5",
      "gfx-frame-end",
      "gfx-empty",
      "gfx-avc420 1 0 0 64 64 8",
      "gfx-empty",
      "gfx-fill 2 40 40 8 8 00FF00",
      "gfx-empty",
  });
  ASSERT_TRUE(rig);
  run_script(*rig);
  paint_rects(*rig, {"300,50,32,32", "340,90,8,8"});
  EXPECT_EQ(after_reset(*rig, EVT_H264).size(), 2u);
  finish(*rig);
}

TEST(GfxNoWaste, AClassicPaintIsNotSentAgainByAGraphicsFrame) {
  // The server paints a bitmap outside the pipeline, waits until the host has seen it (the
  // host then moves the mouse), and sends a frame that paints nothing.
  auto rig = start_rig({
      "gfx-open",
      "fill 5 6 7 8 00FF00",
      "wait-input 1",
      "gfx-empty",
      "gfx-empty",
  });
  ASSERT_TRUE(rig);
  const auto keep = [&](const host::Frame& f) { rig->events.push_back(f); };
  std::optional<host::Frame> rect;
  for (int n = 0; n < 10000 && (n == 0 || (rect && rect_of(*rect) != "5,6,7,8")); ++n)
    rect = host::wait_for_event(*rig->run.korvane, EVT_RECT, 60000, keep);
  ASSERT_TRUE(rect && rect_of(*rect) == "5,6,7,8") << diagnostics(*rig);
  ASSERT_TRUE(
      host::send_command(*rig->run.korvane, CMD_MOUSE_MOVE, host::mouse_move_payload(1, 1)));
  run_script(*rig);
  paint_rects(*rig, {"5,6,7,8"});
  finish(*rig);
}

// ------------------------------------------------------- placement, the channel going away

TEST(GfxChannel, SurfacesMappedUnmappedRemappedAndThroughAReopenedChannel) {
  auto rig = start_rig({
      "gfx-open",
      "gfx-surface 1 64 64",
      "gfx-map 1 100 50",
      "gfx-avc420 1 0 0 64 64 1",
      "gfx-surface 2 96 96",  // never mapped
      "gfx-avc420 2 16 8 80 72 6",
      "gfx-map 1 300 200",
      "gfx-avc420 1 0 0 64 64 7",
      "gfx-avc420 1 16 32 48 48 8",
      "gfx-planar 1 0 0 16 16 2",
      "gfx-close",
      "sleep 200",
      "gfx-open",
      "gfx-surface 1 64 64",
      "gfx-map 1 200 150",
      "gfx-avc420 1 0 0 64 64 3",
      "gfx-planar 1 8 8 16 16 4",
      "gfx-reopen",
      "gfx-surface 4 32 32",
      "gfx-map 4 600 500",
      "gfx-avc420 4 0 0 32 32 5",
      "gfx-fill 4 0 0 32 32 0000FF",
  });
  ASSERT_TRUE(rig);
  run_script(*rig);
  const auto h264 = after_reset(*rig, EVT_H264);
  std::vector<std::string> got;
  for (const auto& f : h264) got.push_back(placement(h264_of(f)));
  EXPECT_EQ(got, (std::vector<std::string>{"100,50,164,114 64x64", "16,8,80,72 64x64",
                                           "300,200,364,264 64x64", "316,232,348,248 32x16",
                                           "200,150,264,214 64x64", "600,500,632,532 32x32"}))
      << diagnostics(*rig);
  ASSERT_EQ(h264.size(), 6u);
  const auto sent = log_records(*rig, "GFX-CMD");
  ASSERT_EQ(sent.size(), 8u);
  // The bitstream after the reconnect is still passed on unchanged.
  EXPECT_TRUE(h264_of(h264[4]).data == bitstream(*rig, sent[5]));
  // H.264 does not reach the renderer: only the planar and fill commands are drawn.
  got.clear();
  for (const auto& r : after_reset(*rig, EVT_RECT)) got.push_back(rect_of(r));
  EXPECT_EQ(got, (std::vector<std::string>{"300,200,16,16", "208,158,16,16", "600,500,32,32"}));
  finish(*rig);
}

// ------------------------------------------------------------------ bad input

TEST(GfxBadInput, MalformedCommandsAreDroppedAndTheSessionGoesOn) {
  auto rig = start_rig({
      "gfx-open",
      "gfx-surface 1 64 64",
      "gfx-map 1 10 10",
      "gfx-avc420 1 0 0 64 64 1",
      "gfx-close",
      "gfx-raw-bad 7 200 100 31",
      "gfx-open",
      "gfx-surface 1 64 64",
      "gfx-map 1 50 60",
      "gfx-avc420 1 0 0 64 64 2",
  });
  ASSERT_TRUE(rig);
  run_script(*rig);
  const auto cases = log_records(*rig, "GFX-RAW");
  ASSERT_EQ(cases.size(), 11u) << diagnostics(*rig);
  std::map<std::string, Fields> by_name;
  for (const Fields& c : cases) by_name[c.at("case")] = c;
  // These reach korvane's hooks (the rest the library refuses first, and then closes the
  // channel); had a hook failed them, the client would have closed the channel too.
  for (const char* name : {"unknown-codec", "unknown-codec-empty", "metablock-only"})
    EXPECT_EQ(by_name[name]["outcome"], "acked") << name;
  const auto sent = log_records(*rig, "GFX-CMD");
  ASSERT_EQ(sent.size(), 3u) << diagnostics(*rig);

  const auto h264 = after_reset(*rig, EVT_H264);
  // Before, the command with no bitstream (its metablock is all the data there is, so it goes
  // out as it came), the valid command of the hand-made channel, after.
  ASSERT_EQ(h264.size(), 4u) << diagnostics(*rig);
  EXPECT_EQ(placement(h264_of(h264[0])), "10,10,74,74 64x64");
  const H264Event only_meta = h264_of(h264[1]);
  EXPECT_EQ(placement(only_meta), "200,100,264,164 64x64");
  EXPECT_EQ(e2e::hex(only_meta.data), by_name["metablock-only"]["hex"]);
  const H264Event valid = h264_of(h264[2]);
  EXPECT_EQ(placement(valid), "200,100,264,164 64x64");
  EXPECT_TRUE(valid.data == bitstream(*rig, sent[1]));
  EXPECT_EQ(placement(h264_of(h264[3])), "50,60,114,124 64x64");
  // Nothing the bad commands carried shows up anywhere.
  for (const auto& f : after_reset(*rig, EVT_RECT))
    ADD_FAILURE() << "EVT_RECT " << rect_of(f) << "; events:" << event_sequence(*rig);
  for (const auto& f : rig->events) EXPECT_NE(f.type, EVT_ERROR);
  finish(*rig);
}

}  // namespace
