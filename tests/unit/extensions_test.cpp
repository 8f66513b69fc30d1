// The extension block and the extension messages: golden bytes and the bad-input table.
#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "host_link/extensions.hpp"
#include "host_link/protocol.hpp"

using namespace korvane;

namespace {

std::vector<uint8_t> bytes(std::initializer_list<int> list) {
  std::vector<uint8_t> out;
  for (int b : list) out.push_back(static_cast<uint8_t>(b));
  return out;
}

}  // namespace

TEST(ExtensionGolden, ConnectWithBlock) {
  ConnectRequest r;
  r.host = "h";
  r.port = 3389;
  r.width = 800;
  r.height = 600;
  r.flags = 0x01;
  r.drive = "";  // an empty drive path may stand before the block
  auto payload = encode_connect(r);
  const std::vector<ExtensionField> fields = {{FIELD_H264_CODECS, {H264_AVC420 | H264_AVC444V2}}};
  const auto block = encode_extensions(EXT_CURSOR | EXT_H264, fields);
  EXPECT_EQ(block, bytes({'K', 'V', 'X', '1', 0x05, 0, 0, 0, 0x01, 0x00, 0x01, 0x00, 0x05}));
  payload.insert(payload.end(), block.begin(), block.end());

  // The base fields read as they always did.
  ConnectParams p;
  ASSERT_TRUE(parse_connect(payload, p));
  EXPECT_STREQ(p.host, "h");
  EXPECT_EQ(p.flags, 0x01);
  EXPECT_EQ(p.drive_path[0], '\0');

  Extensions e;
  ASSERT_EQ(parse_extensions(connect_trailer(payload), e), ExtensionParse::ok);
  EXPECT_EQ(e.wanted, EXT_CURSOR | EXT_H264);
  EXPECT_EQ(e.h264_codecs, H264_AVC420 | H264_AVC444V2);
  const Grant g = grant_extensions(e);
  EXPECT_EQ(encode_frame(EVT_EXTENSIONS, encode_grant(g)),
            bytes({0x09, 0x05, 0, 0, 0, 0x05, 0, 0, 0, 0x05}));
}

TEST(ExtensionGolden, DeflatedRectangleHeaderIsTheRectsThenTheStream) {
  // x 1, y 2, w 3, h 4, then a zlib stream (any bytes, as far as the header goes).
  const std::vector<uint8_t> p =
      bytes({1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0, 4, 0, 0, 0, 0x78, 0x01});
  const auto r = parse_rect_deflate(p);
  ASSERT_TRUE(r);
  EXPECT_EQ(std::vector<int32_t>({r->x, r->y, r->w, r->h}), std::vector<int32_t>({1, 2, 3, 4}));
  EXPECT_EQ(std::vector<uint8_t>(r->stream.begin(), r->stream.end()), bytes({0x78, 0x01}));
  // No stream, a cut header, a negative width.
  EXPECT_FALSE(parse_rect_deflate(std::span(p).first(16)));
  EXPECT_FALSE(parse_rect_deflate(std::span(p).first(10)));
  auto negative = p;
  negative[11] = 0x80;
  EXPECT_FALSE(parse_rect_deflate(negative));
  Extensions e;
  e.present = true;
  e.wanted = EXT_DEFLATE | 0x80000000u;
  EXPECT_EQ(grant_extensions(e).mask, EXT_DEFLATE);
  EXPECT_EQ(EVT_RECT_DEFLATE, 26);
}

TEST(ExtensionGolden, TrailerStartsAfterTheDrivePath) {
  ConnectRequest r;
  r.host = "srv";
  r.drive = "/tmp/x";
  auto payload = encode_connect(r);
  EXPECT_TRUE(connect_trailer(payload).empty());
  payload.push_back(0xAB);
  ASSERT_EQ(connect_trailer(payload).size(), 1u);
  EXPECT_EQ(connect_trailer(payload)[0], 0xAB);
  // Requests that end before or inside the drive path have no trailer.
  r.drive.reset();
  EXPECT_TRUE(connect_trailer(encode_connect(r)).empty());
  r.flags = 0;
  EXPECT_TRUE(connect_trailer(encode_connect(r)).empty());
}

TEST(ExtensionGolden, CodecTaggedH264AndCursorShape) {
  H264CodecHeader h;
  h.codec = CODEC_ID_AVC444V2;
  h.left = 1;
  h.top = 2;
  h.right = 3;
  h.bottom = 4;
  h.width = 5;
  h.height = 6;
  h.main_length = 2;
  h.aux_length = 1;
  auto payload = encode_h264_codec_header(h);
  EXPECT_EQ(payload, bytes({0x0F, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0, 4, 0,
                            0,    0, 5, 0, 0, 0, 6, 0, 0, 0, 2, 0, 0, 0, 1, 0, 0, 0}));
  payload.insert(payload.end(), {0xA, 0xB, 0xC});
  const auto back = parse_h264_codec_header(payload);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->codec, CODEC_ID_AVC444V2);
  EXPECT_EQ(back->aux_length, 1u);
  payload.pop_back();  // the lengths no longer add up
  EXPECT_FALSE(parse_h264_codec_header(payload));

  auto shape = encode_cursor_shape_header({7, 1, 2, 1, 1});
  EXPECT_EQ(shape, bytes({7, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0}));
  EXPECT_FALSE(parse_cursor_shape(shape));  // one pixel missing
  shape.insert(shape.end(), {1, 2, 3, 4});
  ASSERT_TRUE(parse_cursor_shape(shape));
  EXPECT_EQ(parse_cursor_shape(shape)->id, 7u);
}

TEST(ExtensionParse, BadBlocks) {
  const struct {
    const char* what;
    std::vector<uint8_t> trailer;
    ExtensionParse expected;
    const char* problem_of = nullptr;  // a field's fault: whose it is
  } cases[] = {
      {"nothing", {}, ExtensionParse::none},
      {"not the magic", bytes({'K', 'V', 'X', '2', 1, 0, 0, 0}), ExtensionParse::none},
      {"magic cut", bytes({'K', 'V', 'X'}), ExtensionParse::none},
      {"mask cut", bytes({'K', 'V', 'X', '1', 1, 0}), ExtensionParse::malformed},
      {"mask only", bytes({'K', 'V', 'X', '1', 1, 0, 0, 0}), ExtensionParse::ok},
      {"field header cut", bytes({'K', 'V', 'X', '1', 1, 0, 0, 0, 9, 0, 1}),
       ExtensionParse::malformed},
      {"field past the end", bytes({'K', 'V', 'X', '1', 1, 0, 0, 0, 9, 0, 4, 0, 1, 2}),
       ExtensionParse::malformed},
      {"field twice", bytes({'K', 'V', 'X', '1', 1, 0, 0, 0, 9, 0, 0, 0, 9, 0, 0, 0}),
       ExtensionParse::malformed},
      {"unknown field", bytes({'K', 'V', 'X', '1', 1, 0, 0, 0, 9, 0, 2, 0, 1, 2}),
       ExtensionParse::ok},
      {"codec field empty", bytes({'K', 'V', 'X', '1', 4, 0, 0, 0, 1, 0, 0, 0}),
       ExtensionParse::malformed},
      {"codec field long", bytes({'K', 'V', 'X', '1', 4, 0, 0, 0, 1, 0, 2, 0, 1, 1}),
       ExtensionParse::malformed},
      {"gateway token and cookie",
       bytes({'K', 'V', 'X', '1', 0, 0x10, 0, 0, 23, 0, 1, 0, 't', 24, 0, 1, 0, 'c'}),
       ExtensionParse::malformed, "gateway"},
      {"gateway transport 4", bytes({'K', 'V', 'X', '1', 0, 0x10, 0, 0, 21, 0, 1, 0, 4}),
       ExtensionParse::malformed, "gateway"},
      {"gateway token", bytes({'K', 'V', 'X', '1', 0, 0x10, 0, 0, 23, 0, 1, 0, 't'}),
       ExtensionParse::ok, ""},
      {"profile field bad", bytes({'K', 'V', 'X', '1', 0, 8, 0, 0, 11, 0, 1, 0, 2}),
       ExtensionParse::malformed, "profile"},
      {"monitors cut", bytes({'K', 'V', 'X', '1', 0, 0x20, 0, 0, 27, 0, 1, 0, 1}),
       ExtensionParse::malformed, "monitors"},
      {"monitors none", bytes({'K', 'V', 'X', '1', 0, 0x20, 0, 0, 27, 0, 1, 0, 0}),
       ExtensionParse::malformed, "monitors"},
      {"scale short", bytes({'K', 'V', 'X', '1', 2, 0, 0, 0, 28, 0, 4, 0, 200, 0, 0, 0}),
       ExtensionParse::malformed},
  };
  for (const auto& c : cases) {
    Extensions e;
    EXPECT_EQ(parse_extensions(c.trailer, e), c.expected) << c.what;
    if (c.problem_of) EXPECT_EQ(e.problem_of, c.problem_of) << c.what;
  }
  // What the host's EVT_ERROR says of a layout: "Bad monitors: " and this.
  Extensions e;
  const Monitor apart[] = {{0, 0, 800, 600, true}, {900, 0, 800, 600}};
  std::vector<uint8_t> block = bytes({'K', 'V', 'X', '1', 0, 0x20, 0, 0, 27, 0, 81, 0});
  const auto layout = encode_layout(apart);
  block.insert(block.end(), layout.begin(), layout.end());
  EXPECT_EQ(parse_extensions(block, e), ExtensionParse::malformed);
  EXPECT_EQ(e.problem, "monitors must touch along their edges, without gaps");
}

TEST(ExtensionGrant, Table) {
  const struct {
    uint32_t wanted;
    std::optional<uint8_t> codecs;
    uint32_t mask;
    uint8_t granted_codecs;
  } cases[] = {
      {0, {}, 0, 0},
      {EXT_CURSOR | 0xFF000000, {}, EXT_CURSOR, 0},  // unknown bits are not granted
      {EXT_H264, {}, EXT_H264, H264_AVC420},         // no codec field: AVC420
      {EXT_H264, 0x00, EXT_H264, 0},                 // none: rectangles only
      {EXT_H264, 0xF0, EXT_H264, 0},                 // none korvane knows: the same
      {EXT_H264, 0xF4, EXT_H264, H264_AVC444V2},
      {EXT_RESIZE, H264_AVC444, EXT_RESIZE, 0},  // codecs without the bit
  };
  for (const auto& c : cases) {
    Extensions e;
    e.present = true;
    e.wanted = c.wanted;
    e.h264_codecs = c.codecs;
    const Grant g = grant_extensions(e);
    EXPECT_EQ(g.mask, c.mask) << std::hex << c.wanted;
    EXPECT_EQ(g.h264_codecs, c.granted_codecs) << std::hex << c.wanted;
  }
}

TEST(DisplaySize, Clamping) {
  const struct {
    uint32_t w, h;
    DisplayLimits limits;
    uint32_t ew, eh;
  } cases[] = {
      {1024, 768, {}, 1024, 768},
      {0, 0, {}, 200, 200},
      {1, 1, {}, 200, 200},
      {100000, 100000, {}, 8192, 8192},
      {801, 601, {}, 800, 601},  // even widths only
      {8191, 300, {}, 8190, 300},
      {1920, 1080, {8192, 8192, 1280 * 720}, 1280, 720},  // area kept, shape kept
      {4000, 200, {8192, 8192, 100 * 1000}, 500, 200},    // never under the minimum
  };
  for (const auto& c : cases) {
    const auto [w, h] = clamp_display_size(c.w, c.h, c.limits);
    EXPECT_EQ(w, c.ew) << c.w << "x" << c.h;
    EXPECT_EQ(h, c.eh) << c.w << "x" << c.h;
  }
}

TEST(Avc444Split, Views) {
  // info word (first size | LC << 30), then metablock-prefixed streams.
  auto stream = [](uint32_t lc, std::vector<uint8_t> first, std::vector<uint8_t> second) {
    std::vector<uint8_t> out;
    append_u32(out, static_cast<uint32_t>(first.size()) | (lc << 30));
    out.insert(out.end(), first.begin(), first.end());
    out.insert(out.end(), second.begin(), second.end());
    return out;
  };
  const auto meta = [](std::vector<uint8_t> body) {  // one region, then the body
    std::vector<uint8_t> out = {1, 0, 0, 0, 0, 0, 0, 0, 4, 0, 4, 0, 22, 100};
    out.insert(out.end(), body.begin(), body.end());
    return out;
  };
  const auto both = stream(0, meta({0, 0, 1, 0x65}), meta({0, 0, 1, 0x41, 7}));
  auto v = split_avc444_stream(both);
  ASSERT_TRUE(v);
  EXPECT_EQ(std::vector<uint8_t>(v->main.begin(), v->main.end()), bytes({0, 0, 1, 0x65}));
  EXPECT_EQ(std::vector<uint8_t>(v->aux.begin(), v->aux.end()), bytes({0, 0, 1, 0x41, 7}));

  v = split_avc444_stream(stream(1, meta({0, 0, 1, 9}), {}));
  ASSERT_TRUE(v);
  EXPECT_EQ(v->main.size(), 4u);
  EXPECT_TRUE(v->aux.empty());
  v = split_avc444_stream(stream(2, meta({0, 0, 1, 9}), {}));
  ASSERT_TRUE(v);
  EXPECT_TRUE(v->main.empty());
  EXPECT_EQ(v->aux.size(), 4u);

  EXPECT_FALSE(split_avc444_stream(stream(3, meta({1}), {})));        // no such LC
  EXPECT_FALSE(split_avc444_stream(bytes({200, 0, 0, 0, 0, 0, 0})));  // first size too large
  EXPECT_FALSE(split_avc444_stream(stream(0, meta({1}), bytes({5, 0, 0, 0}))));  // metablock cut
  EXPECT_FALSE(split_avc444_stream(bytes({1, 0})));
}

namespace {

Monitor at(int32_t x, int32_t y, uint32_t w = 800, uint32_t h = 600, bool primary = false) {
  return Monitor{x, y, w, h, primary};
}

}  // namespace

TEST(MonitorsGolden, LayoutRecordAndScaledResize) {
  const Monitor m{-800, 2, 0x320, 0x258, true, 338, 270, 90, 150, 140};
  EXPECT_EQ(encode_layout(std::span(&m, 1)),
            bytes({1, 0xE0, 0xFC, 0xFF, 0xFF, 2,    0, 0,    0, 0x20, 3, 0,    0, 0x58,
                   2, 0,    0,    1,    0,    0,    0, 0x52, 1, 0,    0, 0x0E, 1, 0,
                   0, 0x5A, 0,    0,    0,    0x96, 0, 0,    0, 0x8C, 0, 0,    0}));
  EXPECT_EQ(parse_layout(encode_layout(std::span(&m, 1))), MonitorLayout{m});
  EXPECT_FALSE(parse_layout(bytes({1, 0})));  // a count promising more than comes
  EXPECT_FALSE(parse_layout({}));
  // CMD_RESIZE: 8 bytes as ever (trailing bytes short of a scale ignored), 16 with the scale.
  EXPECT_FALSE(parse_resize_request(bytes({1, 0, 0, 0, 2, 0, 0})));
  EXPECT_FALSE(parse_resize_request(bytes({1, 0, 0, 0, 2, 0, 0, 0, 9}))->scale);
  const auto r = parse_resize_request(bytes({1, 0, 0, 0, 2, 0, 0, 0, 200, 0, 0, 0, 180, 0, 0, 0}));
  EXPECT_EQ(r->size.width, 1u);
  EXPECT_EQ(r->scale, (Scale{200, 180}));
  EXPECT_EQ(encode_monitors_refused({MONITORS_REFUSED_GAP, 2}), bytes({9, 2}));
}

TEST(Monitors, ProblemsAndClamps) {
  const auto primary = [](Monitor m) {
    m.primary = true;
    return m;
  };
  const struct {
    const char* what;
    MonitorLayout layout;
    LayoutProblem want;
  } cases[] = {
      {"one", {primary(at(0, 0))}, {}},
      {"none", {}, {MONITORS_REFUSED_COUNT}},
      {"seventeen", MonitorLayout(17, primary(at(0, 0))), {MONITORS_REFUSED_COUNT}},
      {"no primary", {at(0, 0), at(800, 0)}, {MONITORS_REFUSED_PRIMARY}},
      {"two primaries", {primary(at(0, 0)), primary(at(800, 0))}, {MONITORS_REFUSED_PRIMARY}},
      {"narrow", {primary(at(0, 0, 198))}, {MONITORS_REFUSED_SIZE, 0}},
      {"odd width", {primary(at(0, 0)), at(800, 0, 801)}, {MONITORS_REFUSED_SIZE, 1}},
      {"tall", {primary(at(0, 0, 800, 8194))}, {MONITORS_REFUSED_SIZE, 0}},
      {"overlap", {primary(at(0, 0)), at(799, 0)}, {MONITORS_REFUSED_OVERLAP, 1}},
      {"gap", {primary(at(0, 0)), at(801, 0)}, {MONITORS_REFUSED_GAP, 1}},
      {"corner only", {primary(at(0, 0)), at(800, 600)}, {MONITORS_REFUSED_GAP, 1}},
      {"around the primary", {at(-800, -100), primary(at(0, 0)), at(0, 600), at(800, 500)}, {}},
      {"too wide",
       {primary(at(0, 0, 8192)), at(8192, 0, 8192, 600), at(16384, 0, 200)},
       {MONITORS_REFUSED_DESKTOP}},
  };
  for (const auto& c : cases) EXPECT_EQ(monitors_problem(c.layout), c.want) << c.what;
  Monitor turned = primary(at(0, 0));
  turned.orientation = 45;
  EXPECT_EQ(monitors_problem(std::span(&turned, 1)).reason, MONITORS_REFUSED_ORIENTATION);

  // Scale factors into what the protocol takes; a physical size it would ignore is unknown.
  const struct {
    Scale in, out;
  } scales[] = {{{0, 0}, {100, 100}},
                {{250, 119}, {250, 100}},
                {{600, 121}, {500, 140}},
                {{100, 165}, {100, 180}},
                {{500, 999}, {500, 180}}};
  for (const auto& s : scales)
    EXPECT_EQ(clamp_scale(s.in), s.out) << s.in.desktop << "/" << s.in.device;
  Monitor m = primary(at(0, 0));
  m.physical_width = 9;
  m.physical_height = 300;
  EXPECT_EQ(clamp_monitor(m).physical_height, 0u);
  m.physical_width = 10000;
  EXPECT_EQ(clamp_monitor(m).physical_height, 300u);

  const MonitorLayout around{at(-800, -100), primary(at(0, 0))};
  EXPECT_EQ(in_desktop_frame(around), (MonitorLayout{at(0, 0), primary(at(800, 100))}));
  EXPECT_EQ(layout_extent(around).width, 1600u);
  EXPECT_EQ(layout_extent(around).height, 700u);
}
