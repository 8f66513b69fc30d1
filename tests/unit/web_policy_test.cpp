// korvane-web's policy: every command type a page could send, allowed or not and why; and the
// extension block every tab asks korvane for, in bytes.

#include <gtest/gtest.h>

#include "host_link/extensions.hpp"
#include "host_link/protocol.hpp"
#include "policy.hpp"
#include "tokens.hpp"

namespace korvane::web {
namespace {

TEST(WebPolicy, EveryCommandTypeFromThePage) {
  using V = PageVerdict;
  const struct {
    uint8_t type;
    V verdict;   // with a payload of 0 bytes
    size_t max;  // longest payload allowed (0: none is)
  } rows[] = {
      {0, V::unknown, 0},
      {1, V::gateway_only, 0},              // CMD_CONNECT: the target is the gateway's choice
      {2, V::allowed, kMaxInputPayload},    // mouse move
      {3, V::allowed, kMaxInputPayload},    // mouse button
      {4, V::allowed, kMaxInputPayload},    // wheel
      {5, V::allowed, kMaxInputPayload},    // key
      {6, V::allowed, kMaxInputPayload},    // disconnect
      {7, V::allowed, kMaxClipboard},       // clipboard formats
      {8, V::allowed, kMaxClipboard},       // clipboard data
      {9, V::allowed, kMaxInputPayload},    // clipboard request
      {10, V::allowed, kMaxResizePayload},  // resize: asked for; size and scale
      {11, V::allowed, kMaxInputPayload},   // cursor state: asked for
      {12, V::host_only, 0},                // certificate verdict: never the page's
      {13, V::allowed, kMaxInputPayload},   // unicode: text asked for
      {14, V::allowed, kMaxInputPayload},   // lock keys: text asked for
      {15, V::not_asked, 0},                // refresh: a tab has a session of its own
      {16, V::allowed, kMaxInputPayload},   // gateway verdict: the person consents
      {17, V::not_asked, 0},                // monitors: a tab has one window
      {18, V::allowed, 8 + 192000},         // the microphone's block: a second at most
      {19, V::allowed, kMaxInputPayload},   // a file's size or range asked of the server
      {20, V::allowed, 5 + (4u << 20)},     // a range of a dropped file: 4 MiB at most
      {21, V::allowed, kMaxInputPayload},   // the server's file list locked
      {255, V::unknown, 0},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(int{r.type});
    EXPECT_EQ(page_command_verdict(r.type, 0), r.verdict);
    if (r.verdict != V::allowed) continue;
    EXPECT_EQ(page_command_verdict(r.type, r.max), V::allowed);
    EXPECT_EQ(page_command_verdict(r.type, r.max + 1), V::too_long);
  }
}

TEST(WebPolicy, OnlyBinaryWholeFramesAreLookedAt) {
  const std::vector<uint8_t> key = encode_frame(5, std::vector<uint8_t>{0x1c, 1, 0});
  EXPECT_EQ(page_message_verdict(true, key), PageVerdict::allowed);
  EXPECT_EQ(page_message_verdict(false, key), PageVerdict::not_framed);
  EXPECT_EQ(page_message_verdict(true, std::span(key).first(7)), PageVerdict::not_framed);
  EXPECT_EQ(page_message_verdict(true, std::span(key).first(4)), PageVerdict::not_framed);
  std::vector<uint8_t> longer = key;
  longer.push_back(0);
  EXPECT_EQ(page_message_verdict(true, longer), PageVerdict::not_framed);
  EXPECT_EQ(page_message_verdict(true, encode_frame(1, {})), PageVerdict::gateway_only);
}

TEST(WebPolicy, ExtensionBlockGoldenBytes) {
  Target t;
  EXPECT_EQ(
      gateway_extension_block(t, false),
      (std::vector<uint8_t>{'K', 'V', 'X', '1', 0x73, 0x06, 0, 0,  // cursor resize status
                                                                   // text changed deflate refresh
                            5, 0, 4, 0, 0x30, 0x75, 0, 0}));       // time-out 30000 ms
  t.fingerprints = "AB";
  t.keyboard_layout = 0x40C;
  EXPECT_EQ(gateway_extension_block(t, true),
            (std::vector<uint8_t>{'K', 'V', 'X', '1', 0x7F, 0x06, 0, 0,     // + h264 certificate
                                  1,   0,   1,   0,   0x01,                 // AVC420
                                  5,   0,   4,   0,   0x30, 0x75, 0, 0,     // time-out
                                  2,   0,   1,   0,   1,                    // pinned
                                  3,   0,   2,   0,   'A',  'B',            // fingerprints
                                  4,   0,   4,   0,   0x0C, 0x04, 0, 0}));  // layout
  // A 2x screen: the desktop at 200 %, the device at the nearest scale the server knows.
  EXPECT_EQ(gateway_extension_block(Target{}, false, 200),
            (std::vector<uint8_t>{'K', 'V', 'X', '1', 0x73, 0x06, 0, 0,  //
                                  5,   0,   4,   0,   0x30, 0x75, 0, 0,  // time-out
                                  28,  0,   8,   0,   200,  0,    0, 0,  // desktop 200 %
                                  180, 0,   0,   0}));                   // device 180 %
  // Sound both ways, Opus and MP3 undecoded (unknown names skipped); the microphone at 48 kHz.
  EXPECT_EQ(page_audio_codecs("opus,flac,mp3"), 0x06);
  EXPECT_EQ(gateway_extension_block(Target{}, false, {}, {true, 0x02, true, true}),
            (std::vector<uint8_t>{'K', 'V', 'X', '1', 0xF3, 0xC6, 0, 0,  // + audio mic files
                                  7,   0,   1,   0,   0x02,              // Opus
                                  29,  0,   1,   0,   0x0C,              // PCM 48 kHz
                                  5,   0,   4,   0,   0x30, 0x75, 0, 0}));
}

TEST(WebPolicy, ProfileOfTheTargetGoldenBytes) {
  std::string error;
  const auto c = parse_config("[target a]\nhost = h\nconsole = yes\nclient_name = pc\n", &error);
  ASSERT_TRUE(c) << error;
  EXPECT_EQ(gateway_extension_block(c->targets.at("a"), false),
            (std::vector<uint8_t>{'K', 'V', 'X', '1', 0x73, 0x0E, 0, 0,  // + profile
                                  5,   0,   4,   0,   0x30, 0x75, 0, 0,  // time-out
                                  11,  0,   1,   0,   1,                 // console
                                  14,  0,   2,   0,   'p',  'c'}));      // client name
  const auto g = parse_config("[target a]\nhost = h\ngateway = gw:8443\n", &error);
  ASSERT_TRUE(g) << error;
  EXPECT_EQ(gateway_extension_block(g->targets.at("a"), false),
            (std::vector<uint8_t>{'K', 'V', 'X', '1', 0x73, 0x16, 0,   0,  // + gateway, no profile
                                  5,   0,   4,   0,   0x30, 0x75, 0,   0,  // time-out
                                  20,  0,   7,   0,   'g',  'w',  ':', '8', '4', '4', '3'}));
}

}  // namespace
}  // namespace korvane::web

namespace korvane::web {
namespace {

// Share links: one viewer each, once, before expiry; revoked only by their own session; at most
// kMaxSharesPerSession waiting per session. What a viewer may send, and the owner's requests.
TEST(WebShares, LinksOpenOnceBeforeExpiryAndViewersSendOnlyWhatTheirLinkAllows) {
  Shares shares;
  const auto t0 = Clock::now();
  EXPECT_FALSE(issue_share(shares, 1, false, 0, t0));
  EXPECT_FALSE(issue_share(shares, 1, false, kMaxShareMinutes + 1, t0));
  const auto view = issue_share(shares, 1, false, 10, t0);
  const auto input = issue_share(shares, 1, true, 10, t0);
  ASSERT_TRUE(view && input);
  EXPECT_FALSE(take_share(shares, *view, t0 + std::chrono::minutes(11)));
  const auto taken = take_share(shares, *input, t0);
  ASSERT_TRUE(taken);
  EXPECT_EQ(taken->session, 1u);
  EXPECT_TRUE(taken->input);
  EXPECT_FALSE(take_share(shares, *input, t0)) << "a link opens one viewer";
  EXPECT_FALSE(take_share(shares, "0123", t0));
  EXPECT_FALSE(revoke_share(shares, 2, *view)) << "another session's link";
  EXPECT_TRUE(revoke_share(shares, 1, *view));
  EXPECT_FALSE(take_share(shares, *view, t0));
  for (size_t i = 1; i < kMaxSharesPerSession; ++i) EXPECT_TRUE(issue_share(shares, 1, 0, 5, t0));
  EXPECT_FALSE(issue_share(shares, 1, false, 5, t0));
  EXPECT_TRUE(issue_share(shares, 2, false, 10, t0));
  // Expired unused links make room; the used one stays while its viewer watches.
  EXPECT_TRUE(issue_share(shares, 1, false, 5, t0 + std::chrono::minutes(6)));
  drop_shares(shares, 1);
  EXPECT_EQ(shares.by_token.size(), 1u);

  for (const uint8_t type :
       {CMD_MOUSE_MOVE, CMD_MOUSE_BUTTON, CMD_MOUSE_WHEEL, CMD_KEY, CMD_UNICODE, CMD_SYNC_LOCKS}) {
    EXPECT_TRUE(viewer_may_send(true, type)) << int{type};
    EXPECT_FALSE(viewer_may_send(false, type)) << int{type};
  }
  for (const uint8_t type : {CMD_DISCONNECT, CMD_RESIZE, CMD_CLIP_DATA, CMD_AUDIO_IN, CMD_REFRESH})
    EXPECT_FALSE(viewer_may_send(true, type)) << int{type};

  const std::string hex(32, 'a');
  EXPECT_EQ(parse_share_request("share view 30")->minutes, 30);
  EXPECT_TRUE(parse_share_request("share input 1")->input);
  EXPECT_EQ(parse_share_request("revoke " + hex)->token, hex);
  for (const char* bad : {"share view 0", "share view 1441", "share view x", "share all 5",
                          "share view ", "revoke abc", "revoke ../etc", ""})
    EXPECT_FALSE(parse_share_request(bad)) << bad;

  // Where a joining viewer's decoder can start: an IDR slice in the main view.
  auto avc420 = [](std::vector<uint8_t> main, std::vector<uint8_t> aux = {}) {
    auto p = encode_h264_codec_header({CODEC_ID_AVC420, 0, 0, 64, 64, 64, 64,
                                       static_cast<uint32_t>(main.size()),
                                       static_cast<uint32_t>(aux.size())});
    p.insert(p.end(), main.begin(), main.end());
    p.insert(p.end(), aux.begin(), aux.end());
    return p;
  };
  EXPECT_TRUE(h264_key_frame(avc420({0, 0, 0, 1, 0x67, 1, 0, 0, 1, 0x65, 9})));
  EXPECT_FALSE(h264_key_frame(avc420({0, 0, 0, 1, 0x41, 9})));
  EXPECT_FALSE(h264_key_frame(avc420({0, 0, 1}, {0, 0, 1, 0x65}))) << "the chroma view's";
  EXPECT_FALSE(h264_key_frame(std::vector<uint8_t>{0, 0, 1, 0x65}));
}

}  // namespace
}  // namespace korvane::web
