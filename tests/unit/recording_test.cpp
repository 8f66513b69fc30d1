// Session recordings: the header, block and record layouts byte for byte, what each flag keeps,
// and when a block is closed, fed a clock.
#include <gtest/gtest.h>

#include <vector>

#include "host_link/recording.hpp"
#include "host_link/registry.hpp"

using namespace korvane;

TEST(RecordingGolden, HeaderBlockAndRecords) {
  const auto h = encode_recording_header({1, REC_PICTURE | REC_INPUT, 0x0102030405060708ull});
  EXPECT_EQ(std::vector<uint8_t>(h.begin(), h.end()),
            (std::vector<uint8_t>{'K', 'V',  'R', 'E', 'C', '\r', '\n', 0x1A, 1, 0, 32,
                                  0,   0x11, 0,   0,   0,   8,    7,    6,    5, 4, 3,
                                  2,   1,    0,   0,   0,   0,    0,    0,    0, 0}));
  RecordingProblem problem;
  EXPECT_EQ(parse_recording_header(h, problem),
            (RecordingHeader{1, REC_PICTURE | REC_INPUT, 0x0102030405060708ull}));
  auto newer = h;
  newer[8] = 2;
  EXPECT_FALSE(parse_recording_header(newer, problem));
  EXPECT_EQ(problem, RecordingProblem::newer_version);
  auto small = h;
  small[10] = 31;
  EXPECT_FALSE(parse_recording_header(small, problem));
  EXPECT_EQ(problem, RecordingProblem::not_a_recording);

  const auto b = encode_block_header({0x10, 0x20});
  EXPECT_EQ(std::vector<uint8_t>(b.begin(), b.end()),
            (std::vector<uint8_t>{'K', 'V', 'R', 'B', 0x10, 0, 0, 0, 0x20, 0, 0, 0}));
  EXPECT_FALSE(parse_block_header(std::span(b).first(11), problem));
  EXPECT_EQ(problem, RecordingProblem::cut);
  EXPECT_FALSE(parse_block_header(encode_block_header({1, kMaxBlockPlain + 1}), problem));
  EXPECT_EQ(problem, RecordingProblem::corrupt);

  std::vector<uint8_t> plain;
  append_record(plain, 0x1234, true, CMD_KEY, std::vector<uint8_t>{0x1C, 1, 0});
  append_record(plain, 0x1235, false, EVT_DISCONNECTED, {});
  EXPECT_EQ(
      std::vector<uint8_t>(plain.begin(), plain.begin() + 17),
      (std::vector<uint8_t>{0x34, 0x12, 0, 0, 0, 0, 0, 0, 1, CMD_KEY, 3, 0, 0, 0, 0x1C, 1, 0}));
  const auto records = parse_records(plain);
  ASSERT_TRUE(records && records->size() == 2);
  EXPECT_EQ((*records)[1].time_us, 0x1235u);
  EXPECT_FALSE((*records)[1].from_host);
  EXPECT_FALSE(parse_records(std::span(plain).first(plain.size() - 1)));
}

TEST(Recording, WhatEachFlagKeepsAndWhenABlockCloses) {
  struct Row {
    bool from_host;
    uint8_t type;
    uint32_t flag;  // 0: always; ~0u: never
  };
  const Row rows[] = {
      {false, EVT_RECT, REC_PICTURE},
      {false, EVT_H264_CODEC, REC_PICTURE},
      {false, EVT_CURSOR_SHAPE, REC_CURSOR},
      {false, EVT_AUDIO_DATA, REC_SOUND},
      {false, EVT_CLIP_DATA, REC_CLIPBOARD},
      {true, CMD_CLIP_FILE_DATA, REC_CLIPBOARD},
      {true, CMD_KEY, REC_INPUT},
      {true, CMD_AUDIO_IN, REC_SOUND},
      {false, EVT_DISCONNECTED, 0},
      {false, EVT_END_REASON, 0},
      {true, CMD_CONNECT, ~0u},
      {true, CMD_CERT_VERDICT, ~0u},
      {false, EVT_CERTIFICATE, ~0u},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(int{r.type});
    EXPECT_EQ(recorded(REC_ALL, r.from_host, r.type), r.flag != ~0u);
    EXPECT_EQ(recorded(REC_ALL & ~r.flag, r.from_host, r.type), r.flag == 0);
  }
  EXPECT_FALSE(block_due(0, 0, 5000000));       // nothing to send
  EXPECT_FALSE(block_due(100, 1000, 1000999));  // under a second, under 1 MiB
  EXPECT_TRUE(block_due(100, 1000, 1001000));   // a second after its first record
  EXPECT_TRUE(block_due(kBlockFlushBytes, 1000, 1000));
}
