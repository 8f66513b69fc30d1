// The host library on its own: processes, frames over pipes, the canvas, H.264 decoding, PNG,
// sessions against a fake bridge, and the korvane-host program.

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
}

#include <freerdp/codec/color.h>
#include <freerdp/codec/h264.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <thread>

#include "host/avc444.hpp"
#include "host/canvas.hpp"
#include "host/cursor.hpp"
#include "host/desktop.hpp"
#include "host/files.hpp"
#include "host/frame_io.hpp"
#include "host/video.hpp"
#include "host/h264.hpp"
#include "host/png.hpp"
#include "host/recorder.hpp"
#include "host/process.hpp"
#include "host/session.hpp"
#include "host_link/extensions.hpp"
#include "host_link/protocol.hpp"
#include "host_link/session_extensions.hpp"
#include "net.hpp"

namespace {

using namespace korvane;
using namespace korvane::host;
using Clock = std::chrono::steady_clock;

long elapsed_ms(Clock::time_point since) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

bool pid_alive(pid_t pid) { return kill(pid, 0) == 0; }

// ---------------------------------------------------------------- processes

TEST(HostProcess, PipesStdoutCapturesStderrPassesEnvironmentAndReportsExitCode) {
  test::TempDir dir = test::make_temp_dir();
  ASSERT_FALSE(dir.path.empty());
  SpawnOptions o;
  o.argv = {"sh", "-c", "echo \"out-line $KORVANE_TEST_VAR\"; echo err-line >&2; exit 3"};
  o.env = {"KORVANE_TEST_VAR=forty two"};
  o.stderr_path = dir.path + "/err.txt";
  std::string error;
  RunResult r = run_capture(o, 10000, &error);
  ASSERT_TRUE(r.status) << error;
  EXPECT_EQ(r.out, "out-line forty two\n");
  EXPECT_EQ(r.status->code, 3);
  EXPECT_EQ(r.status->signal, 0);
  EXPECT_EQ(test::read_file(dir.path + "/err.txt"), "err-line\n");
}

TEST(HostProcess, MissingProgramIsASpawnFailure) {
  SpawnOptions o;
  o.argv = {"/nonexistent/korvane-no-such-program"};
  std::string error;
  auto child = spawn(o, &error);
  EXPECT_FALSE(child);
  EXPECT_NE(error.find("cannot run"), std::string::npos) << error;
}

TEST(HostProcess, WritesAndWaitTimeOutThenTerminateKills) {
  SpawnOptions o;
  o.argv = {"sleep", "30"};
  o.pipe_stdin = true;
  auto child = spawn(o);
  ASSERT_TRUE(child);
  std::vector<uint8_t> bytes(4 << 20, 1);  // far more than a pipe holds
  auto t0 = Clock::now();
  EXPECT_FALSE(write_all(child->stdin_fd.get(), bytes, 300));
  EXPECT_LT(elapsed_ms(t0), 3000);
  t0 = Clock::now();
  EXPECT_FALSE(wait_exit(*child, 100));
  EXPECT_GE(elapsed_ms(t0), 90);
  const ExitStatus st = terminate(*child, 0);
  EXPECT_EQ(st.signal, SIGKILL);
  EXPECT_LT(elapsed_ms(t0), 5000);
  EXPECT_FALSE(pid_alive(child->pid));
}

TEST(HostProcess, TerminateGivesGraceBeforeKilling) {
  SpawnOptions o;
  o.argv = {"sh", "-c", "trap 'exit 7' TERM; while :; do sleep 0.05; done"};
  auto child = spawn(o);
  ASSERT_TRUE(child);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // let the trap be set
  const ExitStatus st = terminate(*child, 3000);
  EXPECT_EQ(st.code, 7);
}

TEST(HostProcess, OwnerEndsAndReapsTheChildAndItsGroup) {
  test::TempDir dir = test::make_temp_dir();
  const std::string pidfile = dir.path + "/grandchild.pid";
  pid_t pid = -1, grandchild = -1;
  {
    SpawnOptions o;
    o.argv = {"sh", "-c", "sleep 30 & echo $! > " + pidfile + "; wait"};
    o.own_process_group = true;
    o.term_grace_ms = 1000;
    auto child = spawn(o);
    ASSERT_TRUE(child);
    pid = child->pid;
    for (int i = 0; i < 100 && test::read_file(pidfile).empty(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    grandchild = std::atoi(test::read_file(pidfile).c_str());
    ASSERT_GT(grandchild, 0);
    EXPECT_TRUE(pid_alive(grandchild));
  }
  // The child reaped, not a zombie: its pid is gone.
  EXPECT_FALSE(pid_alive(pid));
  // The grandchild was reparented and reaped by init; allow it a moment.
  bool gone = false;
  for (int i = 0; i < 100 && !gone; ++i) {
    gone = !pid_alive(grandchild);
    if (!gone) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_TRUE(gone);
}

TEST(HostProcess, InheritableDescriptorsDoNotLeakIntoTheChild) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);  // deliberately without close-on-exec
  UniqueFd read_end(fds[0]), write_end(fds[1]);
  SpawnOptions o;
  o.argv = {"sleep", "5"};
  auto child = spawn(o);
  ASSERT_TRUE(child);
  write_end.reset();
  // Had the child inherited the write end, the pipe would stay open as long as it sleeps.
  pollfd p{read_end.get(), POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 2000), 1);
  char c;
  EXPECT_EQ(read(read_end.get(), &c, 1), 0);
}

TEST(HostProcess, WritingToAChildThatLeftFailsWithoutSigpipe) {
  SpawnOptions o;
  o.argv = {"true"};
  o.pipe_stdin = true;
  auto child = spawn(o);
  ASSERT_TRUE(child);
  ASSERT_TRUE(wait_exit(*child, 5000));
  std::vector<uint8_t> bytes(100000, 0x55);
  // Reaching the next line at all means no SIGPIPE ended the test process.
  EXPECT_FALSE(write_all(child->stdin_fd.get(), bytes, 2000));
  sigset_t pending;
  sigpending(&pending);
  EXPECT_EQ(sigismember(&pending, SIGPIPE), 0);
}

// ---------------------------------------------------------------- frames over a pipe

struct FramePipe {
  UniqueFd read_end, write_end;
  FrameReader reader;
};

FramePipe make_pipe() {
  int fds[2];
  EXPECT_EQ(pipe(fds), 0);
  FramePipe p{UniqueFd(fds[0]), UniqueFd(fds[1]), {}};
  p.reader.fd = fds[0];
  return p;
}

void raw_write(int fd, std::span<const uint8_t> bytes) { ASSERT_TRUE(write_all(fd, bytes, 2000)); }

TEST(HostFrameIo, FramesSplitAndJoinedAcrossWrites) {
  FramePipe p = make_pipe();
  const std::vector<uint8_t> a = encode_frame(EVT_RESIZE, encode_size(640, 480));
  const std::vector<uint8_t> b = encode_frame(EVT_DISCONNECTED, {});
  std::vector<uint8_t> ab = a;
  ab.insert(ab.end(), b.begin(), b.end());

  // First frame in two pieces: nothing complete after the first.
  raw_write(p.write_end.get(), std::span(a).first(3));
  Frame f;
  EXPECT_EQ(read_frame(p.reader, 50, f), ReadStatus::timeout);
  raw_write(p.write_end.get(), std::span(a).subspan(3));
  ASSERT_EQ(read_frame(p.reader, 1000, f), ReadStatus::frame);
  EXPECT_EQ(f.type, EVT_RESIZE);
  ASSERT_EQ(f.payload.size(), 8u);
  EXPECT_EQ(get_u32(f.payload.data()), 640u);
  EXPECT_EQ(get_u32(f.payload.data() + 4), 480u);

  // Two frames in one write.
  raw_write(p.write_end.get(), ab);
  ASSERT_EQ(read_frame(p.reader, 1000, f), ReadStatus::frame);
  EXPECT_EQ(f.type, EVT_RESIZE);
  ASSERT_EQ(read_frame(p.reader, 1000, f), ReadStatus::frame);
  EXPECT_EQ(f.type, EVT_DISCONNECTED);
  EXPECT_TRUE(f.payload.empty());

  p.write_end.reset();
  EXPECT_EQ(read_frame(p.reader, 1000, f), ReadStatus::eof);
  EXPECT_FALSE(p.reader.truncated);
}

TEST(HostFrameIo, BigFrameArrivesWhole) {
  FramePipe p = make_pipe();
  std::vector<uint8_t> payload(3 << 20);
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i * 7);
  std::thread writer([&] { write_frame(p.write_end.get(), EVT_RECT, payload, 10000); });
  Frame f;
  const ReadStatus st = read_frame(p.reader, 10000, f);
  writer.join();
  ASSERT_EQ(st, ReadStatus::frame);
  EXPECT_EQ(f.type, EVT_RECT);
  EXPECT_EQ(f.payload, payload);
}

TEST(HostFrameIo, EndInsideAFrameIsTruncatedEofAndAbsurdLengthIsRefused) {
  FramePipe p = make_pipe(), q = make_pipe();
  std::vector<uint8_t> a = encode_frame(EVT_ERROR, std::vector<uint8_t>(10, 'x'));
  raw_write(p.write_end.get(), std::span(a).first(a.size() - 4));
  p.write_end.reset();
  Frame f;
  EXPECT_EQ(read_frame(p.reader, 1000, f), ReadStatus::eof);
  EXPECT_TRUE(p.reader.truncated);
  q.reader.max_payload = 1000;
  raw_write(q.write_end.get(), encode_header(EVT_RECT, 1001));
  EXPECT_EQ(read_frame(q.reader, 1000, f), ReadStatus::too_large);
}

// ---------------------------------------------------------------- canvas

std::vector<uint8_t> rect_payload(int32_t x, int32_t y, int32_t w, int32_t h,
                                  std::array<uint8_t, 4> colour, size_t pixel_bytes_delta = 0) {
  std::vector<uint8_t> p;
  append_u32(p, static_cast<uint32_t>(x));
  append_u32(p, static_cast<uint32_t>(y));
  append_u32(p, static_cast<uint32_t>(w));
  append_u32(p, static_cast<uint32_t>(h));
  const size_t pixels = w > 0 && h > 0 ? static_cast<size_t>(w) * static_cast<size_t>(h) : 0;
  for (size_t i = 0; i < pixels; ++i) p.insert(p.end(), colour.begin(), colour.end());
  p.resize(p.size() + pixel_bytes_delta);
  return p;
}

const uint8_t* pixel(const Canvas& c, uint32_t x, uint32_t y) {
  return c.rgba.data() + (static_cast<size_t>(y) * c.width + x) * 4;
}

TEST(HostCanvas, RectPaintsExactlyItsArea) {
  Canvas c;
  resize_canvas(c, 10, 8);
  EXPECT_EQ(paint_rect(c, rect_payload(2, 3, 4, 2, {10, 20, 30, 255})), "");
  for (uint32_t y = 0; y < 8; ++y) {
    for (uint32_t x = 0; x < 10; ++x) {
      const bool inside = x >= 2 && x < 6 && y >= 3 && y < 5;
      EXPECT_EQ(pixel(c, x, y)[0], inside ? 10 : 0) << x << "," << y;
      EXPECT_EQ(pixel(c, x, y)[2], inside ? 30 : 0) << x << "," << y;
    }
  }
}

TEST(HostCanvas, BadRectsAreReportedAndPaintNothing) {
  Canvas c;
  resize_canvas(c, 10, 8);
  const std::vector<uint8_t> before = c.rgba;
  const std::array<uint8_t, 4> red{255, 0, 0, 255};
  EXPECT_NE(paint_rect(c, std::vector<uint8_t>(15, 0)), "");       // short header
  EXPECT_NE(paint_rect(c, rect_payload(0, 0, 2, 2, red, 1)), "");  // extra byte
  std::vector<uint8_t> missing_pixel = rect_payload(0, 0, 2, 2, red);
  missing_pixel.resize(missing_pixel.size() - 4);
  EXPECT_NE(paint_rect(c, missing_pixel), "");
  EXPECT_NE(paint_rect(c, rect_payload(9, 0, 2, 2, red)), "");           // past the right
  EXPECT_NE(paint_rect(c, rect_payload(0, 7, 2, 2, red)), "");           // past the bottom
  EXPECT_NE(paint_rect(c, rect_payload(-1, 0, 2, 2, red)), "");          // left of it
  EXPECT_NE(paint_rect(c, rect_payload(0, 0, -2, 2, red)), "");          // negative width
  EXPECT_NE(paint_rect(c, rect_payload(2147483647, 0, 2, 2, red)), "");  // overflowing x
  EXPECT_EQ(c.rgba, before);
}

TEST(HostCanvas, BlitClipsToTheCanvas) {
  Canvas c;
  resize_canvas(c, 4, 4);
  std::vector<uint8_t> src(3 * 3 * 4, 200);
  blit(c, -1, 2, 3, 3, src.data(), 3 * 4);
  EXPECT_EQ(pixel(c, 0, 2)[0], 200);
  EXPECT_EQ(pixel(c, 1, 3)[0], 200);
  EXPECT_EQ(pixel(c, 2, 2)[0], 0);
  EXPECT_EQ(pixel(c, 0, 1)[0], 0);
}

TEST(HostDesktop, EventsSizePaintAndCount) {
  Desktop d;
  auto sized = [](uint8_t type, uint32_t w, uint32_t h) {
    const auto size = encode_size(w, h);
    return Frame{type, std::vector<uint8_t>(size.begin(), size.end())};
  };
  EXPECT_EQ(apply_event(d, sized(EVT_CONNECTED, 16, 8)), "");
  EXPECT_EQ(d.canvas.width, 16u);
  EXPECT_EQ(d.canvas.height, 8u);
  ASSERT_TRUE(d.connected_width);
  EXPECT_EQ(*d.connected_width, 16u);

  Frame rect{EVT_RECT, rect_payload(15, 7, 1, 1, {1, 2, 3, 4})};
  EXPECT_EQ(apply_event(d, rect), "");
  EXPECT_EQ(pixel(d.canvas, 15, 7)[1], 2);
  EXPECT_EQ(describe_event(rect), "RECT x=15 y=7 w=1 h=1");

  Frame outside{EVT_RECT, rect_payload(16, 0, 1, 1, {1, 2, 3, 4})};
  EXPECT_NE(apply_event(d, outside), "");
  EXPECT_EQ(d.problems, 1u);

  EXPECT_EQ(apply_event(d, sized(EVT_RESIZE, 32, 4)), "");
  EXPECT_EQ(d.canvas.width, 32u);
  EXPECT_EQ(apply_event(d, outside), "");  // fits now

  apply_event(d, Frame{EVT_ERROR, {'b', 'a', 'd'}});
  ASSERT_TRUE(d.error);
  EXPECT_EQ(*d.error, "bad");
  EXPECT_EQ(d.frames, 6u);
  EXPECT_EQ(d.bytes, 6 * kFrameHeaderSize + 8 + 20 + 20 + 8 + 20 + 3);
}

// ---------------------------------------------------------------- H.264

// FreeRDP's RGB to YUV (BT.709, full range), so decoded colours can be checked exactly.
void rgb_to_yuv(uint8_t r, uint8_t g, uint8_t b, uint8_t& y, uint8_t& u, uint8_t& v) {
  y = static_cast<uint8_t>((54 * r + 183 * g + 18 * b) >> 8);
  u = static_cast<uint8_t>(((-29 * r - 99 * g + 128 * b) >> 8) + 128);
  v = static_cast<uint8_t>(((128 * r - 116 * g - 12 * b) >> 8) + 128);
}

struct TestPicture {
  uint32_t width, height;
  std::vector<uint8_t> rgba;
};

// Colour blocks of 16x16 so 4:2:0 subsampling loses nothing; detailed, a colour that changes
// from one pixel to the next in both directions, so every chroma sample of the full-colour
// picture matters: 4:2:0 alone cannot show it.
TestPicture make_picture(uint32_t w, uint32_t h, int seed, bool detailed = false) {
  TestPicture p{w, h, std::vector<uint8_t>(size_t{w} * h * 4)};
  const uint8_t blocks[6][3] = {{220, 40, 40},   {40, 200, 60}, {30, 60, 210},
                                {240, 240, 240}, {20, 20, 20},  {200, 180, 40}};
  const uint8_t fine[7][3] = {{230, 30, 30}, {30, 210, 40},  {20, 40, 230}, {240, 240, 240},
                              {15, 15, 15},  {230, 200, 20}, {200, 30, 200}};
  const uint32_t s = static_cast<uint32_t>(seed);
  for (uint32_t y = 0; y < h; ++y) {
    for (uint32_t x = 0; x < w; ++x) {
      const auto& c = detailed ? fine[(x * 3 + y * 5 + (x / 3) * (y / 2) + s) % 7]
                               : blocks[(x / 16 + y / 16 * 3 + s) % 6];
      uint8_t* o = p.rgba.data() + (size_t{y} * w + x) * 4;
      std::memcpy(o, c, 3);
      o[3] = 255;
    }
  }
  return p;
}

Yuv444Picture to_yuv444(const TestPicture& pic) {
  Yuv444Picture f;
  f.width = pic.width;
  f.height = pic.height;
  const size_t n = size_t{pic.width} * pic.height;
  f.y.resize(n);
  f.u.resize(n);
  f.v.resize(n);
  for (size_t i = 0; i < n; ++i) {
    const uint8_t* px = pic.rgba.data() + i * 4;
    rgb_to_yuv(px[0], px[1], px[2], f.y[i], f.u[i], f.v[i]);
  }
  return f;
}

struct Views {
  Yuv420Picture main, aux;
};

// The mean of a 2x2 block of a plane, as the encoders round it.
uint8_t block_mean(const std::vector<uint8_t>& plane, uint32_t w, uint32_t x, uint32_t y) {
  const size_t i = size_t{y} * w + x;
  return static_cast<uint8_t>((plane[i] + plane[i + 1] + plane[i + w] + plane[i + w + 1]) / 4);
}

// The split an AVC444 encoder makes, written from the layout's description. Both versions
// share the main view: all of Y, and for U and V the mean of each 2x2 block (even sizes).
Views split_main(const Yuv444Picture& f) {
  Views v;
  const uint32_t w = f.width, h = f.height;
  v.main.resize(w, h);
  v.main.y = f.y;
  for (uint32_t y = 0; y < v.main.chroma_height(); ++y) {
    for (uint32_t x = 0; x < v.main.chroma_width(); ++x) {
      v.main.u[size_t{y} * v.main.chroma_width() + x] = block_mean(f.u, w, 2 * x, 2 * y);
      v.main.v[size_t{y} * v.main.chroma_width() + x] = block_mean(f.v, w, 2 * x, 2 * y);
    }
  }
  v.aux.resize(w, h);
  std::fill(v.aux.y.begin(), v.aux.y.end(), uint8_t{128});
  std::fill(v.aux.u.begin(), v.aux.u.end(), uint8_t{128});
  std::fill(v.aux.v.begin(), v.aux.v.end(), uint8_t{128});
  return v;
}

// Encodes 4:2:0 pictures, in order, as one stream of Annex-B access units with libx264, one
// unit per picture.
std::vector<std::vector<uint8_t>> encode_views(const std::vector<Yuv420Picture>& pictures) {
  std::vector<std::vector<uint8_t>> out;
  av_log_set_level(AV_LOG_ERROR);
  const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_H264);
  if (!codec || pictures.empty()) return out;
  AVCodecContext* ctx = avcodec_alloc_context3(codec);
  ctx->width = static_cast<int>(pictures[0].width);
  ctx->height = static_cast<int>(pictures[0].height);
  ctx->time_base = AVRational{1, 25};
  ctx->pix_fmt = AV_PIX_FMT_YUV420P;
  ctx->gop_size = 30;
  ctx->max_b_frames = 0;
  av_opt_set(ctx->priv_data, "preset", "ultrafast", 0);
  av_opt_set(ctx->priv_data, "tune", "zerolatency", 0);
  av_opt_set(ctx->priv_data, "crf", "4", 0);
  if (avcodec_open2(ctx, codec, nullptr) != 0) {
    avcodec_free_context(&ctx);
    return out;
  }
  AVFrame* frame = av_frame_alloc();
  frame->format = ctx->pix_fmt;
  frame->width = ctx->width;
  frame->height = ctx->height;
  av_frame_get_buffer(frame, 0);
  AVPacket* packet = av_packet_alloc();
  int64_t pts = 0;
  auto drain = [&]() {
    while (avcodec_receive_packet(ctx, packet) == 0) {
      out.emplace_back(packet->data, packet->data + packet->size);
      av_packet_unref(packet);
    }
  };
  for (const auto& pic : pictures) {
    av_frame_make_writable(frame);
    const int w = ctx->width, h = ctx->height, cw = static_cast<int>(pic.chroma_width());
    const int ch = static_cast<int>(pic.chroma_height());
    av_image_copy_plane(frame->data[0], frame->linesize[0], pic.y.data(), w, w, h);
    av_image_copy_plane(frame->data[1], frame->linesize[1], pic.u.data(), cw, cw, ch);
    av_image_copy_plane(frame->data[2], frame->linesize[2], pic.v.data(), cw, cw, ch);
    frame->pts = pts++;
    avcodec_send_frame(ctx, frame);
    drain();
  }
  avcodec_send_frame(ctx, nullptr);
  drain();
  av_packet_free(&packet);
  av_frame_free(&frame);
  avcodec_free_context(&ctx);
  return out;
}

// Encodes pictures to Annex-B access units with libx264, one per picture. Their colours are
// constant over 2x2 blocks, so the main view of an AVC444 split is their 4:2:0 picture.
std::vector<std::vector<uint8_t>> encode_h264(const std::vector<TestPicture>& pictures) {
  std::vector<Yuv420Picture> views;
  for (const auto& pic : pictures) views.push_back(split_main(to_yuv444(pic)).main);
  return encode_views(views);
}

std::vector<uint8_t> h264_payload(uint32_t left, uint32_t top, uint32_t width, uint32_t height,
                                  std::span<const uint8_t> data) {
  std::vector<uint8_t> p;
  append_u32(p, left);
  append_u32(p, top);
  append_u32(p, left + width);
  append_u32(p, top + height);
  append_u32(p, width);
  append_u32(p, height);
  p.insert(p.end(), data.begin(), data.end());
  return p;
}

std::vector<uint8_t> metablock(uint32_t rects) {
  std::vector<uint8_t> m;
  append_u32(m, rects);
  for (uint32_t i = 0; i < rects; ++i) m.insert(m.end(), {0, 0, 0, 0, 16, 0, 16, 0});
  for (uint32_t i = 0; i < rects; ++i) m.insert(m.end(), {22, 100});
  return m;
}

// An AVC444 bitmap stream: info word (first stream size, LC), then the streams.
std::vector<uint8_t> avc444(uint32_t lc, std::span<const uint8_t> first,
                            std::span<const uint8_t> second) {
  std::vector<uint8_t> s1 = metablock(2);
  s1.insert(s1.end(), first.begin(), first.end());
  std::vector<uint8_t> out;
  append_u32(out, static_cast<uint32_t>(s1.size()) | (lc << 30));
  out.insert(out.end(), s1.begin(), s1.end());
  if (!second.empty()) {
    std::vector<uint8_t> s2 = metablock(1);
    s2.insert(s2.end(), second.begin(), second.end());
    out.insert(out.end(), s2.begin(), s2.end());
  }
  return out;
}

// How the canvas compares with a picture placed at (left, top), width x height: the largest
// channel difference inside, and whether outside stayed black. With carried_only, the top-left
// pixel of each 2x2 block is skipped: its chroma is worked back from the block mean only past a
// threshold, and coding noise can tip it either way.
struct Placement {
  int max_diff = 0;
  bool outside_untouched = true;
};

Placement check_placement(const Canvas& c, const TestPicture& pic, uint32_t left, uint32_t top,
                          uint32_t width, uint32_t height, bool carried_only = false) {
  Placement r;
  for (uint32_t y = 0; y < c.height; ++y) {
    for (uint32_t x = 0; x < c.width; ++x) {
      const uint8_t* got = pixel(c, x, y);
      if (x < left || y < top || x >= left + width || y >= top + height) {
        if (got[0] != 0 || got[1] != 0 || got[2] != 0) r.outside_untouched = false;
      } else if (!carried_only || (x - left) % 2 || (y - top) % 2) {
        const uint8_t* want = pic.rgba.data() + (size_t{y - top} * pic.width + (x - left)) * 4;
        for (int ch = 0; ch < 3; ++ch) {
          r.max_diff = std::max(r.max_diff, std::abs(int{got[ch]} - int{want[ch]}));
        }
      }
    }
  }
  return r;
}

TEST(HostH264Split, TellsTheStreamKindsApart) {
  using V = std::vector<uint8_t>;
  const V annexb4 = {0, 0, 0, 1, 0x67, 1, 2};
  const V first = {0, 0, 0, 1, 0x65, 9, 9};
  const V second = {0, 0, 0, 1, 0x41, 7};
  V bad_lc = avc444(1, first, {});
  bad_lc[3] |= 0xC0;  // LC 3 does not exist
  V long_first = avc444(0, first, second);
  put_u32(long_first.data(), 5000);  // first stream runs past the end
  const struct {
    V stream;
    H264Kind kind;
    V main, aux;
  } rows[] = {
      {annexb4, H264Kind::avc420, annexb4, {}},
      {avc444(0, first, second), H264Kind::avc444, first, second},
      {avc444(1, first, {}), H264Kind::avc444, first, {}},
      {avc444(2, second, {}), H264Kind::avc444, {}, second},
      {bad_lc, H264Kind::unknown, {}, {}},
      {long_first, H264Kind::unknown, {}, {}},
      {{1, 2, 3, 4, 5, 6}, H264Kind::unknown, {}, {}},
      {{}, H264Kind::unknown, {}, {}},
  };
  for (size_t i = 0; i < std::size(rows); ++i) {
    const H264Parts parts = split_h264(rows[i].stream);
    EXPECT_EQ(parts.kind, rows[i].kind) << i;
    EXPECT_EQ(V(parts.main.begin(), parts.main.end()), rows[i].main) << i;
    EXPECT_EQ(V(parts.aux.begin(), parts.aux.end()), rows[i].aux) << i;
  }
}

class HostH264Decode : public ::testing::Test {
 protected:
  void SetUp() override {
    pictures = {make_picture(64, 48, 0), make_picture(64, 48, 1), make_picture(64, 48, 2)};
    units = encode_h264(pictures);
    if (units.size() != pictures.size()) GTEST_SKIP() << "no H.264 encoder in libavcodec";
    resize_canvas(canvas, 120, 90);
  }
  std::vector<TestPicture> pictures;
  std::vector<std::vector<uint8_t>> units;
  Canvas canvas;
  H264Decoder decoder;
};

TEST_F(HostH264Decode, InterleavedStreamsKeepTheirOwnDecoders) {
  // A second stream whose pictures differ from the first's: were the two sharing a decoder,
  // each P-frame would be predicted from the other stream's picture.
  std::vector<TestPicture> others = {make_picture(64, 48, 3), make_picture(64, 48, 4),
                                     make_picture(64, 48, 5)};
  const auto other_units = encode_h264(others);
  ASSERT_EQ(other_units.size(), others.size());
  resize_canvas(canvas, 140, 100);
  for (size_t i = 0; i < units.size(); ++i) {
    EXPECT_EQ(paint_h264(decoder, canvas, h264_payload(0, 0, 64, 48, units[i])), "");
    EXPECT_EQ(paint_h264(decoder, canvas, h264_payload(70, 50, 64, 48, other_units[i])), "");
    EXPECT_LE(check_placement(canvas, pictures[i], 0, 0, 64, 48).max_diff, 12) << i;
    EXPECT_LE(check_placement(canvas, others[i], 70, 50, 64, 48).max_diff, 12) << i;
  }
  EXPECT_EQ(decoder.stats.pictures, 6u);
  EXPECT_EQ(decoder.stats.errors, 0u);
}

TEST_F(HostH264Decode, PictureIsClippedToWidthHeightAndCanvas) {
  // The command says only 40x30 of the picture is meant; the canvas ends at 120x90 too.
  EXPECT_EQ(paint_h264(decoder, canvas, h264_payload(100, 70, 40, 30, units[0])), "");
  const Placement p = check_placement(canvas, pictures[0], 100, 70, 20, 20);
  EXPECT_LE(p.max_diff, 12);
  EXPECT_TRUE(p.outside_untouched);
  EXPECT_EQ(decoder.stats.pictures, 1u);
}

TEST_F(HostH264Decode, Avc444MainViewDecodesAndChromaIsCounted) {
  const std::vector<uint8_t> chroma = {0, 0, 0, 1, 0x41, 0x9a, 0x00};
  EXPECT_EQ(paint_h264(decoder, canvas, h264_payload(0, 0, 64, 48, avc444(0, units[0], chroma))),
            "");
  EXPECT_EQ(paint_h264(decoder, canvas, h264_payload(0, 0, 64, 48, avc444(1, units[1], {}))), "");
  const Placement p = check_placement(canvas, pictures[1], 0, 0, 64, 48);
  EXPECT_LE(p.max_diff, 12);
  EXPECT_TRUE(p.outside_untouched);
  const std::vector<uint8_t> before = canvas.rgba;
  EXPECT_EQ(paint_h264(decoder, canvas, h264_payload(0, 0, 64, 48, avc444(2, chroma, {}))), "");
  EXPECT_EQ(canvas.rgba, before);
  EXPECT_EQ(decoder.stats.avc444, 3u);
  EXPECT_EQ(decoder.stats.pictures, 2u);
  EXPECT_EQ(decoder.stats.undecoded, 2u);
}

TEST_F(HostH264Decode, GarbageIsCountedOrRejectedNeverPainted) {
  const std::vector<uint8_t> before = canvas.rgba;
  std::vector<uint8_t> noise(500);
  for (size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<uint8_t>(i * 37 + 11);
  EXPECT_EQ(paint_h264(decoder, canvas, h264_payload(0, 0, 64, 48, noise)), "");
  EXPECT_EQ(decoder.stats.undecoded, 1u);
  // A start code followed by junk reaches the decoder, which must not paint anything.
  std::memcpy(noise.data(), "\0\0\0\1", 4);
  paint_h264(decoder, canvas, h264_payload(0, 0, 64, 48, noise));
  EXPECT_NE(paint_h264(decoder, canvas, std::vector<uint8_t>(10, 0)), "");  // short header
  EXPECT_EQ(canvas.rgba, before);
  EXPECT_EQ(decoder.stats.pictures, 0u);
}

// ---------------------------------------------------------------- AVC444

// Version 1: the odd rows of U and V in the aux luma, in blocks of 8 U rows then 8 V rows; the
// odd columns of the even rows in the aux chroma planes. Height a multiple of 16.
Views split_v1(const Yuv444Picture& f) {
  Views v = split_main(f);
  const uint32_t w = f.width, h = f.height, cw = v.aux.chroma_width();
  for (uint32_t i = 0; i < h / 2; ++i) {
    const uint32_t block_row = (i / 8) * 16 + i % 8;
    for (uint32_t x = 0; x < w; ++x) {
      v.aux.y[size_t{block_row} * w + x] = f.u[size_t{2 * i + 1} * w + x];
      v.aux.y[size_t{block_row + 8} * w + x] = f.v[size_t{2 * i + 1} * w + x];
    }
  }
  for (uint32_t y = 0; y < h / 2; ++y) {
    for (uint32_t x = 0; x < w / 2; ++x) {
      v.aux.u[size_t{y} * cw + x] = f.u[size_t{2 * y} * w + 2 * x + 1];
      v.aux.v[size_t{y} * cw + x] = f.v[size_t{2 * y} * w + 2 * x + 1];
    }
  }
  return v;
}

// Version 2: the odd columns of U (left half) and V (right half) in the aux luma; on odd rows,
// columns 4k in the aux U plane and 4k+2 in the aux V plane, U left and V right. Width a
// multiple of 4.
Views split_v2(const Yuv444Picture& f) {
  Views v = split_main(f);
  const uint32_t w = f.width, h = f.height, cw = v.aux.chroma_width();
  for (uint32_t y = 0; y < h; ++y) {
    for (uint32_t x = 0; x < w / 2; ++x) {
      v.aux.y[size_t{y} * w + x] = f.u[size_t{y} * w + 2 * x + 1];
      v.aux.y[size_t{y} * w + w / 2 + x] = f.v[size_t{y} * w + 2 * x + 1];
    }
  }
  for (uint32_t y = 0; y < h / 2; ++y) {
    const size_t odd_row = size_t{2 * y + 1} * w;
    for (uint32_t x = 0; x < w / 4; ++x) {
      v.aux.u[size_t{y} * cw + x] = f.u[odd_row + 4 * x];
      v.aux.u[size_t{y} * cw + w / 4 + x] = f.v[odd_row + 4 * x];
      v.aux.v[size_t{y} * cw + x] = f.u[odd_row + 4 * x + 2];
      v.aux.v[size_t{y} * cw + w / 4 + x] = f.v[odd_row + 4 * x + 2];
    }
  }
  return v;
}

int max_rgb_diff(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  if (a.size() != b.size()) return 1000;
  int worst = 0;
  for (size_t i = 0; i < a.size(); i += 4) {
    for (size_t c = 0; c < 3; ++c) worst = std::max(worst, std::abs(int{a[i + c]} - int{b[i + c]}));
  }
  return worst;
}

Yuv444Picture combined(ChromaLayout layout, const Views& v, bool with_aux) {
  Yuv444Picture full;
  EXPECT_TRUE(combine_avc444(layout, v.main, with_aux ? &v.aux : nullptr, full));
  return full;
}

std::vector<uint8_t> rgba_of(const Yuv444Picture& f) {
  std::vector<uint8_t> rgba;
  yuv444_to_rgba(f, rgba);
  return rgba;
}

std::vector<uint8_t> combined_rgba(ChromaLayout layout, const Views& v, bool with_aux) {
  return rgba_of(combined(layout, v, with_aux));
}

// How the rebuilt chroma compares with the source's. The three samples of a 2x2 block the aux
// view carries must come back as they were; the top-left one is worked back from the block
// mean, which is trusted when it lies 40 or more from the mean and may stay the mean below.
struct ChromaCheck {
  int carried = 0;     // largest error of the samples the aux view carries
  int far = 0;         // largest error of top-left samples 40 or more from their block mean
  int near = 0;        // largest error of the other top-left samples
  int far_blocks = 0;  // how many top-left samples were far from their mean
};

ChromaCheck check_chroma(const Yuv444Picture& got, const Yuv444Picture& src) {
  ChromaCheck c;
  const uint32_t w = src.width;
  for (const auto plane : {&Yuv444Picture::u, &Yuv444Picture::v}) {
    const std::vector<uint8_t>& g = got.*plane;
    const std::vector<uint8_t>& s = src.*plane;
    for (uint32_t y = 0; y < src.height; ++y) {
      for (uint32_t x = 0; x < w; ++x) {
        const size_t i = size_t{y} * w + x;
        const int err = std::abs(int{g[i]} - int{s[i]});
        if (x % 2 || y % 2) {
          c.carried = std::max(c.carried, err);
        } else if (std::abs(int{s[i]} - int{block_mean(s, w, x, y)}) >= 40) {
          c.far = std::max(c.far, err);
          c.far_blocks++;
        } else {
          c.near = std::max(c.near, err);
        }
      }
    }
  }
  return c;
}

TEST(HostAvc444Combine, ConversionInvertsTheEncodersColours) {
  // Every 6th level of each channel: the converter must undo the encoders' RGB to YUV.
  TestPicture p{216, 1, {}};
  for (int r = 0; r < 6; ++r)
    for (int g = 0; g < 6; ++g)
      for (int b = 0; b < 6; ++b)
        p.rgba.insert(p.rgba.end(), {static_cast<uint8_t>(r * 51), static_cast<uint8_t>(g * 51),
                                     static_cast<uint8_t>(b * 51), 255});
  const std::vector<uint8_t> rgba = rgba_of(to_yuv444(p));
  EXPECT_LE(max_rgb_diff(rgba, p.rgba), 3);
  for (size_t i = 3; i < rgba.size(); i += 4) ASSERT_EQ(rgba[i], 255);
}

TEST(HostAvc444Combine, EachVersionRebuildsEveryChromaSample) {
  const struct {
    ChromaLayout layout, other;
    Views (*split)(const Yuv444Picture&);
    int seed;
  } rows[] = {{ChromaLayout::avc444, ChromaLayout::avc444v2, split_v1, 0},
              {ChromaLayout::avc444v2, ChromaLayout::avc444, split_v2, 1}};
  for (const auto& r : rows) {
    SCOPED_TRACE(r.seed);
    const TestPicture pic = make_picture(48, 32, r.seed, true);
    const Yuv444Picture src = to_yuv444(pic);
    const Views v = r.split(src);
    const Yuv444Picture got = combined(r.layout, v, true);
    EXPECT_EQ(got.y, src.y);
    const ChromaCheck c = check_chroma(got, src);
    EXPECT_EQ(c.carried, 0);
    EXPECT_LE(c.far, 3);
    EXPECT_LT(c.near, 40);
    EXPECT_GT(c.far_blocks, 50) << "the picture must exercise the block corners";
    // The aux view is what carries the detail, and only read its own version's way.
    EXPECT_GT(max_rgb_diff(combined_rgba(r.layout, v, false), pic.rgba), 60);
    EXPECT_GT(max_rgb_diff(combined_rgba(r.other, v, true), pic.rgba), 60);
  }
}

TEST(HostAvc444Combine, MainViewAloneSpreadsItsChromaAndBadInputIsRefused) {
  // Colours constant over 2x2 blocks lose nothing to 4:2:0: the main view alone is enough.
  const TestPicture pic = make_picture(32, 32, 2);
  const Views v = split_v2(to_yuv444(pic));
  EXPECT_LE(max_rgb_diff(combined_rgba(ChromaLayout::avc444v2, v, false), pic.rgba), 3);
  // An aux view of another size is ignored rather than read out of bounds.
  Yuv420Picture small;
  small.resize(16, 16);
  Yuv444Picture full;
  ASSERT_TRUE(combine_avc444(ChromaLayout::avc444, v.main, &small, full));
  EXPECT_LE(max_rgb_diff(rgba_of(full), pic.rgba), 3);
  Yuv420Picture broken = v.main;
  broken.u.pop_back();
  EXPECT_FALSE(combine_avc444(ChromaLayout::avc444, broken, nullptr, full));
  EXPECT_FALSE(combine_avc444(ChromaLayout::avc444, Yuv420Picture{}, nullptr, full));
}

std::vector<uint8_t> codec_payload(uint16_t codec, uint32_t left, uint32_t top, uint32_t width,
                                   uint32_t height, std::span<const uint8_t> main,
                                   std::span<const uint8_t> aux) {
  auto size = [](std::span<const uint8_t> s) { return static_cast<uint32_t>(s.size()); };
  const H264CodecHeader h{codec, left,   top,        left + width, top + height,
                          width, height, size(main), size(aux)};
  std::vector<uint8_t> p = encode_h264_codec_header(h);
  p.insert(p.end(), main.begin(), main.end());
  p.insert(p.end(), aux.begin(), aux.end());
  return p;
}

// Real bitstreams: the views of three full-colour pictures coded as one stream in the order
// they are sent (A main, A aux, B main, C aux), the way the encoders do. B changes only the
// luma, so it comes as a main view alone; C changes only chroma the aux view carries, so it
// comes as an aux view alone.
class HostAvc444Decode : public ::testing::TestWithParam<ChromaLayout> {
 protected:
  static constexpr uint32_t kW = 64, kH = 48;
  void SetUp() override {
    const ChromaLayout layout = GetParam();
    auto split = [layout](const Yuv444Picture& f) {
      return layout == ChromaLayout::avc444 ? split_v1(f) : split_v2(f);
    };
    a = to_yuv444(make_picture(kW, kH, 3, true));
    b = a;
    for (auto& y : b.y) y = static_cast<uint8_t>(std::min(235, y + 20));
    c = b;
    // Odd columns are aux samples in both layouts; swapping them between the two rows of a
    // block keeps its mean, so the main view stays as it was.
    for (uint32_t y = 0; y < kH; y += 2) {
      for (uint32_t x = 1; x < kW; x += 2) {
        std::swap(c.u[size_t{y} * kW + x], c.u[size_t{y + 1} * kW + x]);
      }
    }
    const Views va = split(a), vb = split(b), vc = split(c);
    ASSERT_EQ(vb.aux.u, va.aux.u);
    ASSERT_EQ(vc.main.u, vb.main.u);
    // What the views give before coding; the decoded pictures must come close to it.
    want_a = rgba_of(combined(layout, va, true));
    want_b = rgba_of(combined(layout, vb, true));
    want_c = rgba_of(combined(layout, vc, true));
    units = encode_views({va.main, va.aux, vb.main, vc.aux});
    if (units.size() != 4) GTEST_SKIP() << "no H.264 encoder in libavcodec";
    codec = layout == ChromaLayout::avc444 ? CODEC_ID_AVC444 : CODEC_ID_AVC444V2;
    resize_canvas(canvas, 120, 90);
  }
  Yuv444Picture a, b, c;
  std::vector<uint8_t> want_a, want_b, want_c;
  std::vector<std::vector<uint8_t>> units;
  uint16_t codec = 0;
  Canvas canvas;
  H264Decoder decoder;
};

TEST_P(HostAvc444Decode, ViewsCombineAcrossUpdates) {
  auto placed = [this](const std::vector<uint8_t>& want) {
    return check_placement(canvas, {kW, kH, want}, 20, 10, kW, kH, true);
  };
  EXPECT_EQ(
      paint_h264_codec(decoder, canvas, codec_payload(codec, 20, 10, kW, kH, units[0], units[1])),
      "");
  EXPECT_LE(placed(want_a).max_diff, 12);
  EXPECT_TRUE(placed(want_a).outside_untouched);
  EXPECT_EQ(paint_h264_codec(decoder, canvas, codec_payload(codec, 20, 10, kW, kH, units[2], {})),
            "");
  EXPECT_LE(placed(want_b).max_diff, 12);
  EXPECT_EQ(paint_h264_codec(decoder, canvas, codec_payload(codec, 20, 10, kW, kH, {}, units[3])),
            "");
  EXPECT_LE(placed(want_c).max_diff, 12);
  // Were the chroma update lost, the picture would still be B's.
  EXPECT_GT(placed(want_b).max_diff, 40);

  EXPECT_EQ(decoder.stats.pictures, 3u);
  EXPECT_EQ(decoder.stats.errors, 0u);
  EXPECT_EQ(GetParam() == ChromaLayout::avc444 ? decoder.stats.codec_avc444
                                               : decoder.stats.codec_avc444v2,
            3u);
}

TEST_P(HostAvc444Decode, ClippedToTheCommandsSizeAndNothingBeforeAMainView) {
  const std::vector<uint8_t> before = canvas.rgba;
  // A chroma view alone, with no main view yet, has nothing to be combined with (the decoder
  // may also refuse a unit predicted from a picture it never saw).
  H264Decoder other;
  paint_h264_codec(other, canvas, codec_payload(codec, 0, 0, kW, kH, {}, units[1]));
  EXPECT_EQ(canvas.rgba, before);
  EXPECT_EQ(other.stats.pictures, 0u);

  EXPECT_EQ(
      paint_h264_codec(decoder, canvas, codec_payload(codec, 100, 70, 30, 10, units[0], units[1])),
      "");
  const Placement p = check_placement(canvas, {kW, kH, want_a}, 100, 70, 30, 10, true);
  EXPECT_LE(p.max_diff, 12);
  EXPECT_TRUE(p.outside_untouched);
}

INSTANTIATE_TEST_SUITE_P(Layouts, HostAvc444Decode,
                         ::testing::Values(ChromaLayout::avc444, ChromaLayout::avc444v2),
                         [](const auto& param_info) {
                           return param_info.param == ChromaLayout::avc444 ? "v1" : "v2";
                         });

// AVC444v2 pictures from FreeRDP's encoder (what a FreeRDP server sends), decoded here and by
// FreeRDP's own decoder: the two must agree wherever the aux view carries the chroma. (Version 1 is
// left out: FreeRDP's encoder splits the picture into strips whose height need not be a multiple of
// 16, and version 1's row blocks then come out shifted.)
TEST(HostAvc444FreeRdp, Version2MatchesFreeRdpsDecoder) {
  constexpr uint32_t w = 64, h = 48;
  using Context = std::unique_ptr<H264_CONTEXT, void (*)(H264_CONTEXT*)>;
  Context enc(h264_context_new(TRUE), h264_context_free);
  Context dec(h264_context_new(FALSE), h264_context_free);
  if (!enc || !h264_context_reset(enc.get(), w, h) ||
      !h264_context_set_option(enc.get(), H264_CONTEXT_OPTION_RATECONTROL, H264_RATECONTROL_CQP) ||
      !h264_context_set_option(enc.get(), H264_CONTEXT_OPTION_QP, 1))
    GTEST_SKIP() << "FreeRDP has no H.264 encoder here";
  ASSERT_TRUE(dec && h264_context_reset(dec.get(), w, h));
  Canvas canvas;
  resize_canvas(canvas, w, h);
  H264Decoder decoder;
  std::vector<uint8_t> reference(size_t{w} * h * 4, 0);
  int frames = 0;
  for (int seed = 0; seed < 3; ++seed) {
    const TestPicture pic = make_picture(w, h, seed * 2, true);
    const RECTANGLE_16 region{0, 0, static_cast<UINT16>(w), static_cast<UINT16>(h)};
    BYTE op = 0;
    BYTE *main = nullptr, *aux = nullptr;
    UINT32 main_size = 0, aux_size = 0;
    RDPGFX_H264_METABLOCK meta{}, aux_meta{};
    const INT32 rc =
        avc444_compress(enc.get(), pic.rgba.data(), PIXEL_FORMAT_RGBA32, w * 4, w, h, 2, &region,
                        &op, &main, &main_size, &aux, &aux_size, &meta, &aux_meta);
    if (rc < 0 && frames == 0) GTEST_SKIP() << "FreeRDP's AVC444 encoder failed: " << rc;
    ASSERT_GE(rc, 0);
    if (rc == 0) continue;
    // Copies: the encoder reuses its buffers.
    std::vector<uint8_t> m, a;
    if (op == 0 || op == 1) m.assign(main, main + main_size);
    if (op == 0 || op == 2) a.assign(aux, aux + aux_size);
    EXPECT_EQ(paint_h264_codec(decoder, canvas, codec_payload(CODEC_ID_AVC444V2, 0, 0, w, h, m, a)),
              "")
        << "frame " << frames;

    // FreeRDP takes the only stream of a chroma-only update as its first.
    const bool chroma_only = op == 2;
    const RDPGFX_H264_METABLOCK& m1 = chroma_only ? aux_meta : meta;
    const std::vector<uint8_t>& s1 = chroma_only ? a : m;
    const INT32 decoded = avc444_decompress(
        dec.get(), op, m1.regionRects, m1.numRegionRects, s1.data(), static_cast<UINT32>(s1.size()),
        aux_meta.regionRects, aux_meta.numRegionRects, a.data(), static_cast<UINT32>(a.size()),
        reference.data(), PIXEL_FORMAT_RGBA32, w * 4, w, h, RDPGFX_CODECID_AVC444v2);
    free_h264_metablock(&meta);
    free_h264_metablock(&aux_meta);
    ASSERT_GE(decoded, 0);
    frames++;

    // Block corners are left out: there the two decoders work the sample back from the block
    // mean differently.
    EXPECT_LE(check_placement(canvas, {w, h, reference}, 0, 0, w, h, true).max_diff, 3)
        << "frame " << frames;
  }
  EXPECT_GE(frames, 2);
  EXPECT_EQ(decoder.stats.errors, 0u);
}

TEST_F(HostH264Decode, Avc420PicturesLandAtTheirPlaceFromEitherEvent) {
  // EVT_H264 and EVT_H264_CODEC with AVC420 paint alike, each on its own counters.
  H264Decoder codec_decoder;
  Canvas codec_canvas = canvas;
  for (size_t i = 0; i < units.size(); ++i) {
    EXPECT_EQ(paint_h264(decoder, canvas, h264_payload(30, 20, 64, 48, units[i])), "");
    EXPECT_EQ(paint_h264_codec(codec_decoder, codec_canvas,
                               codec_payload(CODEC_ID_AVC420, 30, 20, 64, 48, units[i], {})),
              "");
    for (const Canvas* c : {&canvas, &codec_canvas}) {
      const Placement p = check_placement(*c, pictures[i], 30, 20, 64, 48);
      EXPECT_LE(p.max_diff, 12) << "picture " << i;
      EXPECT_TRUE(p.outside_untouched) << "picture " << i;
    }
  }
  EXPECT_EQ(decoder.stats.payloads, 3u);
  EXPECT_EQ(decoder.stats.avc420, 3u);
  EXPECT_EQ(decoder.stats.pictures, 3u);
  EXPECT_EQ(decoder.stats.errors, 0u);
  EXPECT_EQ(codec_decoder.stats.codec_avc420, 3u);
  EXPECT_EQ(codec_decoder.stats.pictures, 3u);
  EXPECT_EQ(codec_decoder.stats.payloads, 0u) << "EVT_H264's own counters stay apart";
}

// ---------------------------------------------------------------- extension events

TEST(HostExtensions, QuestionsForTheHost) {
  Desktop d;
  const Frame consent{EVT_GATEWAY_MESSAGE, {GATEWAY_MSG_CONSENT, 'O', 'K', '?'}};
  EXPECT_EQ(describe_event(consent), "GATEWAY_MESSAGE kind=consent text=\"OK?\"");
  EXPECT_EQ(apply_event(d, consent), "");
  CertificateQuestion q;
  q.host = "gw";
  EXPECT_EQ(apply_event(d, Frame{EVT_CERTIFICATE, encode_certificate_question(q)}), "");
  EXPECT_NE(apply_event(d, Frame{EVT_CERTIFICATE, {1, 2}}), "");
  const Frame unknown_kind{EVT_GATEWAY_MESSAGE, {3, 'x'}};
  EXPECT_NE(describe_event(unknown_kind).find("malformed"), std::string::npos);
  EXPECT_NE(apply_event(d, unknown_kind), "");
}

TEST(HostExtensions, CodecEventGoldenBytes) {
  // AVC444v2 at (16,8)-(80,56), 64x48, main 3 bytes, aux 2 bytes.
  const std::vector<uint8_t> payload = {
      0x0F, 0x00, 0x00, 0x00, 16, 0, 0, 0, 8, 0, 0, 0, 80, 0, 0, 0,    56,   0,    0,    0,   64,
      0,    0,    0,    48,   0,  0, 0, 3, 0, 0, 0, 2, 0,  0, 0, 0xA1, 0xA2, 0xA3, 0xB1, 0xB2};
  Frame f{EVT_H264_CODEC, payload};
  EXPECT_EQ(describe_event(f),
            "H264_CODEC codec=avc444v2 left=16 top=8 right=80 bottom=56 w=64 h=48 main=3 aux=2");
  f.payload[0] = 0x0E;
  EXPECT_NE(describe_event(f).find("codec=avc444 "), std::string::npos);
  f.payload[0] = 0x0B;
  EXPECT_NE(describe_event(f).find("codec=avc420 "), std::string::npos);

  Desktop d;
  resize_canvas(d.canvas, 100, 100);
  Frame longer = f;
  longer.payload.push_back(0);  // lengths no longer add up
  EXPECT_NE(describe_event(longer).find("malformed"), std::string::npos);
  EXPECT_NE(apply_event(d, longer), "");
  Frame unknown{EVT_H264_CODEC, payload};
  unknown.payload[0] = 0x33;
  EXPECT_NE(describe_event(unknown).find("codec=unknown"), std::string::npos);
  EXPECT_NE(apply_event(d, unknown), "");
  EXPECT_EQ(d.h264.stats.codec_unknown, 2u);
  EXPECT_EQ(d.problems, 2u);
}

TEST(HostExtensions, GrantAndRefusalLines) {
  Desktop d;
  Frame grant{EVT_EXTENSIONS, {0x05, 0, 0, 0, 0x06}};
  EXPECT_EQ(describe_event(grant),
            "EXTENSIONS mask=0x00000005 codecs=0x06 granted=cursor,h264 h264=avc444,avc444v2");
  EXPECT_EQ(apply_event(d, grant), "");
  ASSERT_TRUE(d.grant);
  EXPECT_EQ(d.grant->mask, 5u);
  EXPECT_EQ(d.grant->h264_codecs, 6u);
  Frame none{EVT_EXTENSIONS, {0, 0, 0, 0, 0}};
  EXPECT_EQ(describe_event(none), "EXTENSIONS mask=0x00000000 codecs=0x00 granted=none h264=none");
  EXPECT_NE(apply_event(d, Frame{EVT_EXTENSIONS, {1, 0, 0}}), "");

  Frame refused{EVT_RESIZE_REFUSED, {0x40, 0x06, 0, 0, 0xB0, 0x04, 0, 0, 1}};
  EXPECT_EQ(describe_event(refused),
            "RESIZE_REFUSED width=1600 height=1200 reason=1 (no display control channel)");
  EXPECT_EQ(apply_event(d, refused), "");
  EXPECT_EQ(d.resize_refusals, 1u);
  EXPECT_NE(apply_event(d, Frame{EVT_RESIZE_REFUSED, {1, 2, 3}}), "");
  EXPECT_EQ(d.resize_refusals, 1u);
}

std::vector<uint8_t> shape_payload(uint32_t id, uint32_t hx, uint32_t hy, uint32_t w, uint32_t h,
                                   std::array<uint8_t, 4> colour) {
  std::vector<uint8_t> p = encode_cursor_shape_header({id, hx, hy, w, h});
  for (uint32_t i = 0; i < w * h; ++i) p.insert(p.end(), colour.begin(), colour.end());
  return p;
}

TEST(HostCursor, EventsGoldenBytesAndState) {
  // Shape 9, hotspot (1,2), 2x1: two RGBA pixels.
  const std::vector<uint8_t> shape = {9, 0, 0, 0, 1, 0, 0,  0,  2,  0,   0,  0,  2,  0,
                                      0, 0, 1, 0, 0, 0, 10, 20, 30, 255, 40, 50, 60, 0};
  Desktop d;
  Frame f{EVT_CURSOR_SHAPE, shape};
  EXPECT_EQ(describe_event(f), "CURSOR_SHAPE id=9 hotspot=1,2 size=2x1");
  EXPECT_EQ(apply_event(d, f), "");
  ASSERT_EQ(d.cursor.shapes.count(9), 1u);
  EXPECT_EQ(d.cursor.shapes[9].rgba, std::vector<uint8_t>(shape.begin() + 20, shape.end()));
  EXPECT_EQ(d.cursor.shapes[9].hotspot_y, 2u);

  Frame short_shape{EVT_CURSOR_SHAPE, std::vector<uint8_t>(shape.begin(), shape.end() - 1)};
  EXPECT_NE(apply_event(d, short_shape), "");

  EXPECT_NE(apply_event(d, Frame{EVT_CURSOR_USE, {8, 0, 0, 0}}), "") << "shape 8 never came";
  EXPECT_EQ(d.cursor.mode, Cursor::Mode::unknown);
  Frame use{EVT_CURSOR_USE, {9, 0, 0, 0}};
  EXPECT_EQ(describe_event(use), "CURSOR_USE id=9");
  EXPECT_EQ(apply_event(d, use), "");
  EXPECT_EQ(d.cursor.mode, Cursor::Mode::shape);
  EXPECT_EQ(d.cursor.current, 9u);
  EXPECT_EQ(visible_shape(d.cursor), nullptr) << "no position known yet";

  Frame pos{EVT_CURSOR_POSITION, {0x2C, 0x01, 0, 0, 7, 0, 0, 0}};
  EXPECT_EQ(describe_event(pos), "CURSOR_POSITION x=300 y=7");
  EXPECT_EQ(apply_event(d, pos), "");
  EXPECT_EQ(*d.cursor.x, 300u);
  EXPECT_NE(visible_shape(d.cursor), nullptr);

  EXPECT_EQ(describe_event(Frame{EVT_CURSOR_HIDDEN, {}}), "CURSOR_HIDDEN");
  EXPECT_EQ(apply_event(d, Frame{EVT_CURSOR_HIDDEN, {}}), "");
  EXPECT_EQ(visible_shape(d.cursor), nullptr);
  EXPECT_EQ(describe_event(Frame{EVT_CURSOR_DEFAULT, {}}), "CURSOR_DEFAULT");
  EXPECT_EQ(apply_event(d, Frame{EVT_CURSOR_DEFAULT, {}}), "");
  EXPECT_EQ(d.cursor.mode, Cursor::Mode::system_default);
  EXPECT_EQ(d.cursor.events, 5u);
  EXPECT_EQ(d.problems, 2u);
}

TEST(HostCursor, DrawnAtPositionMinusHotspotBlendedAndClipped) {
  Cursor cursor;
  std::vector<uint8_t> shape = shape_payload(1, 1, 1, 3, 3, {0, 0, 255, 128});
  // Opaque green centre.
  std::memcpy(shape.data() + kCursorShapeHeaderSize + 4 * 4, "\x00\xff\x00\xff", 4);
  ASSERT_EQ(apply_cursor_event(cursor, Frame{EVT_CURSOR_SHAPE, shape}), "");
  ASSERT_EQ(apply_cursor_event(cursor, Frame{EVT_CURSOR_USE, {1, 0, 0, 0}}), "");
  note_pointer(cursor, 5, 4);
  Canvas c;
  resize_canvas(c, 8, 6);
  fill(c, 0, 0, 8, 6, 200, 0, 0);
  ASSERT_TRUE(draw_cursor(cursor, c));
  EXPECT_EQ(pixel(c, 5, 4)[0], 0);
  EXPECT_EQ(pixel(c, 5, 4)[1], 255);
  // Half-transparent blue over red.
  EXPECT_NEAR(pixel(c, 4, 3)[0], 100, 1);
  EXPECT_NEAR(pixel(c, 4, 3)[2], 128, 1);
  EXPECT_NEAR(pixel(c, 6, 5)[2], 128, 1);
  EXPECT_EQ(pixel(c, 3, 3)[0], 200);
  EXPECT_EQ(pixel(c, 7, 5)[2], 0);

  // Partly off the top-left corner: what remains is drawn, nothing else touched.
  Canvas d;
  resize_canvas(d, 8, 6);
  note_pointer(cursor, 0, 0);
  ASSERT_TRUE(draw_cursor(cursor, d));
  EXPECT_EQ(pixel(d, 0, 0)[1], 255);
  EXPECT_NEAR(pixel(d, 1, 1)[2], 128, 1);
  EXPECT_EQ(pixel(d, 2, 0)[2], 0);
  note_pointer(cursor, 100, 100);
  EXPECT_FALSE(draw_cursor(cursor, d));
}

TEST(HostCursor, ShapesAreBoundedAndTheOneInUseStays) {
  Cursor cursor;
  ASSERT_EQ(apply_cursor_event(cursor,
                               Frame{EVT_CURSOR_SHAPE, shape_payload(0, 0, 0, 1, 1, {1, 2, 3, 4})}),
            "");
  ASSERT_EQ(apply_cursor_event(cursor, Frame{EVT_CURSOR_USE, {0, 0, 0, 0}}), "");
  for (uint32_t id = 1; id < kMaxCursorShapes + 10; ++id) {
    ASSERT_EQ(apply_cursor_event(
                  cursor, Frame{EVT_CURSOR_SHAPE, shape_payload(id, 0, 0, 1, 1, {1, 2, 3, 4})}),
              "");
  }
  EXPECT_EQ(cursor.shapes.size(), kMaxCursorShapes);
  EXPECT_EQ(cursor.shapes.count(0), 1u);
  EXPECT_EQ(cursor.shapes.count(kMaxCursorShapes + 9), 1u);
}

// ---------------------------------------------------------------- PNG

// The file list a host puts on the clipboard and reads from the server's: byte for byte where a
// server looks (flags, attributes, size, name), and names a host must not create refused.
TEST(HostFiles, FileListGoldenBytesAndRefusedNames) {
  const std::vector<host::ListedFile> files = {{"dir", 0, true}, {"dir\\é.txt", 0x100000002ull}};
  const auto list = host::encode_file_list(files);
  ASSERT_TRUE(list);
  ASSERT_EQ(list->size(), 4u + 2 * 592);
  EXPECT_EQ(get_u32(list->data()), 2u);
  const uint8_t* second = list->data() + 4 + 592;
  EXPECT_EQ(get_u32(second), 0x80004044u);  // Unicode, progress shown, size, attributes
  EXPECT_EQ(get_u32(second + 36), 0x80u);   // a file (the first is a folder, 0x10)
  EXPECT_EQ(get_u32(list->data() + 4 + 36), 0x10u);
  EXPECT_EQ(get_u32(second + 64), 1u);  // size high
  EXPECT_EQ(get_u32(second + 68), 2u);  // size low
  EXPECT_EQ(std::vector<uint8_t>(second + 72, second + 84),
            (std::vector<uint8_t>{'d', 0, 'i', 0, 'r', 0, '\\', 0, 0xE9, 0, '.', 0}));
  std::string error;
  EXPECT_EQ(host::parse_file_list(*list, error), files) << error;
  EXPECT_FALSE(host::encode_file_list(std::vector<host::ListedFile>{{std::string(260, 'a'), 1}}));
  for (const char* bad : {"..\\x", "a\\..\\b", "\\abs", "C:x", "a\\\\b"}) {
    auto one = *host::encode_file_list(std::vector<host::ListedFile>{{"placeholder", 1}});
    std::fill(one.begin() + 4 + 72, one.end(), 0);
    for (size_t k = 0; bad[k]; ++k) one[4 + 72 + 2 * k] = static_cast<uint8_t>(bad[k]);
    EXPECT_FALSE(host::parse_file_list(one, error)) << bad;
  }
  EXPECT_FALSE(host::parse_file_list(std::span(*list).first(4 + 592), error));  // count says 2
}

// Fetching: the list asked for and locked, four ranges in flight, a short answer's rest asked
// again, the lock let go at the end; the host's files answered from its reader.
TEST(HostFiles, FetchKeepsFourRangesAndOfferAnswersFromTheReader) {
  std::vector<host::Frame> sent;
  host::FileFetch fetch;
  fetch.send = [&](uint8_t type, std::span<const uint8_t> p) {
    sent.push_back({type, {p.begin(), p.end()}});
    return true;
  };
  std::string error;
  const ClipFormat formats[] = {{13, "x"}, {0xC0AB, host::kFileListFormat}};
  fetch.on_event({EVT_CLIP_FORMATS, encode_clip_formats(formats)}, error);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].payload, host::clip_request_payload(0xC0AB));
  const uint64_t size = 4 * host::kFetchRange + 10;
  const auto list = host::encode_file_list(std::vector<host::ListedFile>{{"f", size}});
  fetch.on_event({EVT_CLIP_DATA, host::clip_data_payload(0xC0AB, *list)}, error);
  ASSERT_EQ(sent.size(), 6u) << error;  // the lock, then four ranges
  const auto lock = encode_clip_lock({1, true});
  EXPECT_EQ(sent[1].payload, std::vector<uint8_t>(lock.begin(), lock.end()));
  EXPECT_EQ(parse_file_request(sent[5].payload),
            (FileRequest{4, 0, FILE_ASK_RANGE, 3 * host::kFetchRange, host::kFetchRange, 1}));
  auto answer = [&](uint32_t stream, size_t n) {
    const auto h = encode_file_data_header(stream, FILE_OK);
    std::vector<uint8_t> p(h.begin(), h.end());
    p.resize(p.size() + n, 0xAB);
    return fetch.on_event({EVT_CLIP_FILE_DATA, p}, error);
  };
  const auto piece = answer(2, 100);  // short: the rest of that range is asked for again
  ASSERT_TRUE(piece);
  EXPECT_EQ(piece->position, host::kFetchRange);
  EXPECT_EQ(
      parse_file_request(sent.back().payload),
      (FileRequest{5, 0, FILE_ASK_RANGE, host::kFetchRange + 100, host::kFetchRange - 100, 1}));
  for (uint32_t stream : {1u, 3u, 4u, 5u})
    answer(stream, host::kFetchRange - (stream == 5 ? 100 : 0));
  EXPECT_FALSE(fetch.done());
  answer(6, 10);  // the last 10 bytes
  EXPECT_TRUE(fetch.done()) << error;
  EXPECT_EQ(fetch.received, size);
  EXPECT_EQ(sent.back().type, CMD_CLIP_LOCK);
  EXPECT_FALSE(answer(6, 10));  // answered already
  EXPECT_EQ(error, "");

  host::FileOffer offer;
  offer.files = {{"a", 5}};
  offer.read = [](size_t, uint64_t pos, uint32_t len) {
    return std::optional(std::vector<uint8_t>(std::min<uint64_t>(len, 5 - pos), 7));
  };
  EXPECT_EQ(offer.answer(encode_file_request({9, 0, FILE_ASK_SIZE, 0, 8, {}})),
            (std::vector<uint8_t>{9, 0, 0, 0, FILE_OK, 5, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(offer.answer(encode_file_request({9, 0, FILE_ASK_RANGE, 3, 100, {}})),
            (std::vector<uint8_t>{9, 0, 0, 0, FILE_OK, 7, 7}));
  EXPECT_EQ(offer.answer(encode_file_request({9, 1, FILE_ASK_SIZE, 0, 8, {}})),
            (std::vector<uint8_t>{9, 0, 0, 0, FILE_FAILED}));
}

// A recording written by the recorder reads back whole; one cut anywhere plays up to its last
// whole block; a changed byte, a newer version or another file is refused, never read past.
TEST(HostRecorder, WrittenBlocksReadBackAndACutFilePlaysUpToItsLastBlock) {
  const std::string path = ::testing::TempDir() + "/korvane-recorder-test.kvr";
  const auto t0 = Clock::now();
  {
    host::Recorder r;
    ASSERT_TRUE(r.open(path, REC_ALL & ~REC_INPUT, t0, 1234)) << r.error;
    for (int i = 0; i < 30; ++i)  // a block a second: three blocks
      r.add(false, EVT_RECT, std::vector<uint8_t>(100, static_cast<uint8_t>(i)),
            t0 + std::chrono::milliseconds(100 * i));
    r.add(true, CMD_KEY, std::vector<uint8_t>{1, 1, 0}, t0);  // input is not recorded
  }
  std::ifstream in(path, std::ios::binary);
  const std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
  std::remove(path.c_str());
  auto read = [](std::span<const uint8_t> bytes, RecordingHeader& h) {
    std::vector<std::pair<uint64_t, uint8_t>> got;
    const auto problem = host::read_recording(bytes, h, [&](const Record& r) {
      got.push_back({r.time_us, r.payload.empty() ? 0 : r.payload[0]});
    });
    return std::make_pair(problem, got);
  };
  RecordingHeader h;
  const auto [whole, records] = read(file, h);
  EXPECT_EQ(whole, RecordingProblem::none);
  EXPECT_EQ(h, (RecordingHeader{1, REC_ALL & ~REC_INPUT, 1234}));
  ASSERT_EQ(records.size(), 30u);
  EXPECT_EQ(records[29], std::make_pair(uint64_t{2900000}, uint8_t{29}));
  // Cut at every length: the records read are a prefix of the whole, in whole blocks of ten.
  for (size_t n = kRecordingHeaderSize; n < file.size(); ++n) {
    const auto [problem, some] = read(std::span(file).first(n), h);
    ASSERT_TRUE(problem == RecordingProblem::cut || problem == RecordingProblem::none) << n;
    ASSERT_EQ(some.size() % 10, 0u) << n;
    ASSERT_TRUE(std::equal(some.begin(), some.end(), records.begin())) << n;
  }
  auto changed = file;
  changed[file.size() - 8] ^= 0x40;  // inside the last block's zlib stream
  const auto [corrupt, before] = read(changed, h);
  EXPECT_EQ(corrupt, RecordingProblem::corrupt);
  EXPECT_EQ(before.size(), 20u);
  changed = file;
  changed[8] = 9;  // version 9
  EXPECT_EQ(read(changed, h).first, RecordingProblem::newer_version);
  EXPECT_EQ(read(std::vector<uint8_t>(64, 'x'), h).first, RecordingProblem::not_a_recording);
}

TEST(HostPng, RoundTripKeepsRgb) {
  test::TempDir dir = test::make_temp_dir();
  Canvas c;
  resize_canvas(c, 7, 5);
  for (size_t i = 0; i < c.rgba.size(); ++i) c.rgba[i] = static_cast<uint8_t>(i * 13);
  const std::string path = dir.path + "/x.png";
  ASSERT_EQ(write_png(path, c), "");
  std::string error;
  auto back = read_png(path, &error);
  ASSERT_TRUE(back) << error;
  ASSERT_EQ(back->width, 7u);
  ASSERT_EQ(back->height, 5u);
  // Written without alpha: opaque.
  for (size_t i = 0; i < c.rgba.size(); ++i) EXPECT_EQ(back->rgba[i], i % 4 == 3 ? 255 : c.rgba[i]);
}

TEST(HostPng, EmptyCanvasAndBadPathsAreErrors) {
  Canvas empty;
  EXPECT_NE(write_png("/tmp/never-written.png", empty), "");
  Canvas c;
  resize_canvas(c, 2, 2);
  EXPECT_NE(write_png("/nonexistent-dir/x.png", c), "");
  EXPECT_FALSE(read_png("/nonexistent-dir/x.png"));
}

// ---------------------------------------------------------------- sessions with a fake bridge

SessionOptions fake_session(const std::string& mode, const std::string& stderr_path = "") {
  SessionOptions o;
  o.korvane_path = FAKE_BRIDGE_PATH;
  o.request.host = mode;
  o.request.port = 3389;
  o.request.width = 320;
  o.request.height = 200;
  o.stderr_path = stderr_path;
  return o;
}

TEST(HostSession, ConnectPaintEchoAndDisconnect) {
  std::string error;
  auto s = start_session(fake_session("paint"), &error);
  ASSERT_TRUE(s) << error;
  Desktop d;
  auto sink = [&d](const Frame& f) { apply_event(d, f); };
  ASSERT_TRUE(wait_for_event(*s, EVT_CONNECTED, 5000, sink));
  EXPECT_EQ(d.canvas.width, 320u);
  EXPECT_EQ(d.canvas.height, 200u);

  // The echo comes after both rects, so both have been applied by then.
  ASSERT_TRUE(send_command(*s, CMD_MOUSE_MOVE, mouse_move_payload(12, 34)));
  auto echo = wait_for_event(*s, EVT_CLIP_DATA, 5000, sink);
  ASSERT_TRUE(echo);
  std::vector<uint8_t> expected = {CMD_MOUSE_MOVE, 0, 0, 0};
  for (uint8_t b : mouse_move_payload(12, 34)) expected.push_back(b);
  EXPECT_EQ(echo->payload, expected);
  EXPECT_EQ(pixel(d.canvas, 1, 2)[0], 255);
  EXPECT_EQ(pixel(d.canvas, 4, 5)[0], 255);
  EXPECT_EQ(pixel(d.canvas, 5, 5)[0], 0);
  EXPECT_EQ(d.rects, 2u);
  EXPECT_EQ(d.problems, 1u) << "the rect past the right edge is reported";

  ASSERT_TRUE(send_command(*s, CMD_KEY, key_payload(0x1c, true, true)));
  echo = wait_for_event(*s, EVT_CLIP_DATA, 5000, sink);
  ASSERT_TRUE(echo);
  EXPECT_EQ(echo->payload, (std::vector<uint8_t>{CMD_KEY, 0, 0, 0, 0x1c, 1, 1}));

  const auto t0 = Clock::now();
  const Ending e = finish_session(*s, 5000, sink);
  EXPECT_TRUE(e.disconnected);
  EXPECT_FALSE(e.error);
  ASSERT_TRUE(e.exit);
  EXPECT_EQ(e.exit->code, 0);
  EXPECT_LT(elapsed_ms(t0), 2000);
}

TEST(HostSession, FailureAndCrashEndTheStreamWithTheirExit) {
  const struct {
    const char* mode;
    uint8_t event;
    const char* starts;  // the event's payload
    int code, signal;
  } rows[] = {{"fail", EVT_ERROR, "Connect failed: 0x", 1, 0},
              {"crash", EVT_CONNECTED, "", -1, SIGABRT}};
  for (const auto& r : rows) {
    auto s = start_session(fake_session(r.mode));
    ASSERT_TRUE(s);
    auto event = wait_for_event(*s, r.event, 5000);
    ASSERT_TRUE(event) << r.mode;
    EXPECT_EQ(std::string(event->payload.begin(), event->payload.end()).rfind(r.starts, 0), 0u);
    Frame f;
    EXPECT_EQ(next_event(*s, 5000, f), ReadStatus::eof) << r.mode;
    auto st = wait_exit(s->child, 5000);
    ASSERT_TRUE(st) << r.mode;
    EXPECT_EQ(st->code, r.code) << r.mode;
    EXPECT_EQ(st->signal, r.signal) << r.mode;
  }
}

TEST(HostSession, SilentBridgeTimesOutAndIsKilled) {
  auto s = start_session(fake_session("silent"));
  ASSERT_TRUE(s);
  ReadStatus status = ReadStatus::frame;
  auto t0 = Clock::now();
  EXPECT_FALSE(wait_for_event(*s, EVT_CONNECTED, 300, {}, &status));
  EXPECT_EQ(status, ReadStatus::timeout);
  EXPECT_GE(elapsed_ms(t0), 290);
  EXPECT_LT(elapsed_ms(t0), 3000);

  // It ignores SIGTERM and would only leave on end of input: finish_session must not hang.
  t0 = Clock::now();
  const Ending e = finish_session(*s, 500);
  EXPECT_FALSE(e.disconnected);
  EXPECT_FALSE(e.exit);
  EXPECT_LT(elapsed_ms(t0), 3000);
  ASSERT_TRUE(s->child.status);
  EXPECT_EQ(s->child.status->signal, SIGKILL);
}

TEST(HostSession, StderrCanBeCaptured) {
  test::TempDir dir = test::make_temp_dir();
  const std::string log = dir.path + "/korvane.log";
  auto s = start_session(fake_session("stderr", log));
  ASSERT_TRUE(s);
  ASSERT_TRUE(wait_for_event(*s, EVT_CONNECTED, 5000));
  const Ending e = finish_session(*s, 5000);
  EXPECT_TRUE(e.disconnected);
  EXPECT_EQ(test::read_file(log), "fake-bridge-stderr\n");
}

// ---------------------------------------------------------------- connect with a block

// How such a payload reads back: ExtensionGolden.ConnectWithBlock.
TEST(HostSession, ExtensionBlockFollowsFlagsAndDrivePath) {
  SessionOptions o;
  o.request.host = "h";
  o.request.width = 800;
  o.request.height = 600;
  EXPECT_EQ(connect_payload(o), encode_connect(o.request)) << "no block, no change";
  const std::vector<ExtensionField> fields = {{FIELD_H264_CODECS, {H264_AVC444V2}}};
  o.extension_block = encode_extensions(EXT_CURSOR | EXT_H264, fields);
  auto with_block = [&o](ConnectRequest r) {
    std::vector<uint8_t> p = encode_connect(r);
    p.insert(p.end(), o.extension_block.begin(), o.extension_block.end());
    return p;
  };
  ConnectRequest filled = o.request;
  filled.flags = 0;
  filled.drive = "";
  EXPECT_EQ(connect_payload(o), with_block(filled)) << "flags 0 and no drive path before it";
  // Flags and drive path given: kept as they are, the block after them.
  o.request.flags = 3;
  o.request.drive = "/tmp/share";
  EXPECT_EQ(connect_payload(o), with_block(o.request));
}

// ---------------------------------------------------------------- korvane-host

struct HostRun {
  int code = -1;
  std::string out;
  std::optional<Canvas> picture;  // what --png wrote, when asked for
};

HostRun run_host(std::vector<std::string> args, bool png = false) {
  test::TempDir dir = test::make_temp_dir();
  SpawnOptions o;
  o.argv = {KORVANE_HOST_PATH, "--korvane", FAKE_BRIDGE_PATH};
  o.argv.insert(o.argv.end(), args.begin(), args.end());
  if (png) o.argv.insert(o.argv.end(), {"--png", dir.path + "/out.png"});
  o.stderr_path = "-";
  RunResult r = run_capture(o, 30000);
  HostRun h;
  h.out = r.out;
  if (r.status && r.status->exited()) h.code = r.status->code;
  if (png) h.picture = read_png(dir.path + "/out.png");
  return h;
}

void expect_printed(const HostRun& r, std::initializer_list<const char*> pieces) {
  for (const char* piece : pieces) EXPECT_NE(r.out.find(piece), std::string::npos) << r.out;
}

TEST(KorvaneHost, CleanSessionPrintsEventsSendsInputsWritesPng) {
  const HostRun r = run_host({"--host", "paint", "--port", "3389", "--width", "64", "--height",
                              "32", "--seconds", "0.5", "--move", "10,20", "--key", "0x1c,e"},
                             true);
  EXPECT_EQ(r.code, 0) << r.out;
  // The fake echoes commands: the CLIP_DATA is the move reaching it with the right payload.
  expect_printed(r, {"CONNECTED width=64 height=32 | frames=1 bytes=13 fps=",
                     "RECT x=1 y=2 w=4 h=4 | frames=2 bytes=", "PROBLEM RECT x=62",
                     "SEND MOVE x=10 y=20", "CLIP_DATA format=2 bytes=8",
                     "SEND KEY scancode=0x1c extended", "DISCONNECTED", "SUMMARY "});
  ASSERT_TRUE(r.picture);
  EXPECT_EQ(r.picture->width, 64u);
  EXPECT_EQ(r.picture->height, 32u);
  EXPECT_EQ(pixel(*r.picture, 2, 3)[0], 255);
  EXPECT_EQ(pixel(*r.picture, 2, 3)[1], 0);
  EXPECT_EQ(pixel(*r.picture, 10, 10)[0], 0);
}

// Which arguments are refused, and why: HostOptions.RefusedArguments.
TEST(KorvaneHost, ExitCodesAndWhatIsPrinted) {
  const struct {
    std::vector<std::string> args;
    int code;
    const char* printed;
  } rows[] = {
      {{"--host", "fail", "--port", "1"}, 1, "KORVANE ERROR: Connect failed: 0x00020009"},
      {{"--host", "crash", "--port", "1", "--seconds", "5"}, 1, "FAILED"},
      {{"--host", "silent", "--port", "1", "--connect-timeout", "0.5"}, 1, "no EVT_CONNECTED"},
      {{"--port", "1"}, 2, ""},
      {{"--host", "h", "--port", "1", "--resize", "640"}, 2, ""},
      // No extension options: no block, so the bridge grants nothing.
      {{"--host", "ext", "--port", "3389", "--seconds", "0.2"},
       0,
       "EXTENSIONS mask=0x00000000 codecs=0x00 granted=none"},
      // A block without the cursor: granted as asked, and no cursor events come.
      {{"--host", "ext", "--port", "3389", "--seconds", "0.2", "--resize", "640x480@50"},
       0,
       "EXTENSIONS mask=0x00000002 codecs=0x00 granted=resize h264=none"},
  };
  for (const auto& row : rows) {
    const auto t0 = Clock::now();
    const HostRun r = run_host(row.args);
    EXPECT_EQ(r.code, row.code) << r.out;
    expect_printed(r, {row.printed});
    EXPECT_EQ(r.out.find("CURSOR_"), std::string::npos) << "no row asks for the cursor\n" << r.out;
    EXPECT_LT(elapsed_ms(t0), 10000) << r.out;
  }
}

TEST(KorvaneHost, ExtensionsAskedGrantedPrintedAndCursorDrawn) {
  const HostRun r = run_host(
      {"--host", "ext", "--port", "3389", "--width", "64", "--height", "32", "--seconds", "0.8",
       "--cursor-state", "300", "--resize", "640x480@50", "--h264", "avc420,avc444v2"},
      true);
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_EQ(r.out.rfind("EXTENSIONS mask=0x00000007 codecs=0x05 granted=cursor,resize,h264 "
                        "h264=avc420,avc444v2 | frames=1 ",
                        0),
            0u)
      << r.out;
  expect_printed(
      r, {"CONNECTED width=64 height=32 | frames=2 ", "CURSOR_SHAPE id=7 hotspot=1,1 size=3x3 | ",
          "SEND RESIZE width=640 height=480\nRESIZE_REFUSED width=640 height=480 reason=1",
          "CURSOR DRAWN id=7 x=10 y=5",
          "problems=1 exit=exit code 0 codec_avc420=0 codec_avc444=0 codec_avc444v2=0\n"});
  // Asked again, the bridge sends the use and position a second time.
  const size_t again = r.out.find("SEND CURSOR_STATE\n");
  ASSERT_NE(again, std::string::npos) << r.out;
  EXPECT_NE(r.out.find("CURSOR_USE id=7 |", again), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("CURSOR_POSITION x=10 y=5 |", again), std::string::npos) << r.out;
  ASSERT_TRUE(r.picture);
  EXPECT_EQ(pixel(*r.picture, 10, 5)[1], 255);  // the shape's centre at the position
  EXPECT_EQ(pixel(*r.picture, 10, 5)[0], 0);
  EXPECT_NEAR(pixel(*r.picture, 9, 4)[2], 128, 1);  // blended edge over black
  EXPECT_EQ(pixel(*r.picture, 12, 5)[2], 0);
}

TEST(KorvaneHost, PointerPositionFromTheHostsOwnMove) {
  // The bridge's position comes first; the move sent afterwards is the last known one.
  const HostRun r = run_host({"--host", "ext", "--port", "3389", "--width", "64", "--height", "32",
                              "--seconds", "0.6", "--cursor", "--move", "30,20"},
                             true);
  EXPECT_EQ(r.code, 0) << r.out;
  expect_printed(r, {"granted=cursor h264=none", "CURSOR DRAWN id=7 x=30 y=20"});
  ASSERT_TRUE(r.picture);
  EXPECT_EQ(pixel(*r.picture, 30, 20)[1], 255);
  EXPECT_EQ(pixel(*r.picture, 10, 5)[1], 0);
}

}  // namespace

// An encoded video's frames: one per 100 ms at most, each at the first change it shows, the
// last change always shown, nothing for a picture that did not change.
TEST(HostVideo, FramesFollowThePictureAtMostOnePerInterval) {
  struct Step {
    uint64_t at;
    bool changes;
    std::optional<uint64_t> frame;  // what before(at) gives
  };
  const Step steps[] = {
      {0, false, {}},   {10, true, {}},    {20, true, 10},   {30, false, {}},
      {50, true, {}},   {120, false, 110}, {130, true, {}},  {200, true, {}},
      {215, true, 210}, {400, false, 310}, {400, false, {}},
  };
  FramePacer pacer;
  pacer.interval_us = 100;
  for (const Step& s : steps) {
    EXPECT_EQ(pacer.before(s.at), s.frame) << "at " << s.at;
    if (s.changes) pacer.changed(s.at);
  }
  EXPECT_EQ(pacer.finish(), std::nullopt);
  pacer.changed(450);
  EXPECT_EQ(pacer.finish(), 450u);
}
