// The clipboard-files extension: its messages byte for byte, and the bookkeeping of the requests
// waiting for an answer, fed a clock.
#include <gtest/gtest.h>

#include <vector>

#include "host_link/clip_files.hpp"

using namespace korvane;

TEST(ClipFilesGolden, RequestAndData) {
  const FileRequest r{0x01020304, 7, FILE_ASK_RANGE, 0x1122334455667788ull, 0x10000};
  const std::vector<uint8_t> want = {0x04, 0x03, 0x02, 0x01, 7,    0,    0,
                                     0,    2,    0x88, 0x77, 0x66, 0x55, 0x44,
                                     0x33, 0x22, 0x11, 0x00, 0x00, 0x01, 0x00};
  const auto got = encode_file_request(r);
  EXPECT_EQ(std::vector<uint8_t>(got.begin(), got.end()), want);
  EXPECT_EQ(parse_file_request(want), r);
  EXPECT_FALSE(parse_file_request(std::span(want).first(20)));
  auto unknown = want;
  unknown[8] = 3;
  EXPECT_EQ(FileStreams{}.open(*parse_file_request(unknown), {}), FileRefusal::bad_request);
  // A lock id follows when the request names one; fewer than 4 bytes there are none.
  auto locked = want;
  locked.insert(locked.end(), {0x2A, 0, 0, 0});
  auto with_lock = r;
  with_lock.lock = 42;
  EXPECT_EQ(encode_file_request(with_lock), locked);
  EXPECT_EQ(parse_file_request(locked), with_lock);
  EXPECT_EQ(parse_file_request(std::span(locked).first(24)), r);
  const auto l = encode_clip_lock({0x0A0B0C0D, true});
  EXPECT_EQ(std::vector<uint8_t>(l.begin(), l.end()),
            (std::vector<uint8_t>{0x0D, 0x0C, 0x0B, 0x0A, 1}));
  EXPECT_EQ(parse_clip_lock(std::vector<uint8_t>{7, 0, 0, 0, 0}), (ClipLock{7, false}));
  EXPECT_FALSE(parse_clip_lock(std::span(l).first(4)));
  const auto h = encode_file_data_header(9, FILE_TIMED_OUT);
  std::vector<uint8_t> data(h.begin(), h.end());
  EXPECT_EQ(data, (std::vector<uint8_t>{9, 0, 0, 0, 2}));
  data.push_back(0xAB);
  const auto d = parse_file_data(data);
  ASSERT_TRUE(d);
  EXPECT_EQ(d->stream_id, 9u);
  EXPECT_EQ(d->bytes.size(), 1u);
}

TEST(ClipFiles, StreamsAreBoundedAndExpire) {
  using namespace std::chrono_literals;
  const FileStreams::Clock::time_point t0{};
  FileStreams s;
  const FileRequest size{1, 0, FILE_ASK_SIZE, 0, 0};
  EXPECT_EQ(s.open(size, t0), FileRefusal::none);
  EXPECT_EQ(s.open(size, t0), FileRefusal::stream_in_use);
  EXPECT_EQ(s.open({2, 0, FILE_ASK_RANGE, 0, 0}, t0), FileRefusal::bad_request);
  EXPECT_EQ(s.open({2, 0, FILE_ASK_RANGE, 0, kMaxFileRange + 1}, t0), FileRefusal::bad_request);
  EXPECT_EQ(s.open({2, 0, FILE_ASK_RANGE, UINT64_MAX, 1}, t0), FileRefusal::bad_request);
  for (uint32_t id = 2; id <= kMaxFileStreams; ++id)
    EXPECT_EQ(s.open({id, 0, FILE_ASK_RANGE, 0, 100}, t0 + 1s), FileRefusal::none);
  EXPECT_EQ(s.open({99, 0, FILE_ASK_SIZE, 0, 0}, t0), FileRefusal::too_many);
  EXPECT_EQ(s.deadline(), t0 + kFileAnswerTimeout);
  EXPECT_TRUE(FileStreams::fits(size, 8));
  EXPECT_FALSE(FileStreams::fits(size, 7));
  EXPECT_TRUE(FileStreams::fits({2, 0, FILE_ASK_RANGE, 0, 100}, 100));
  EXPECT_FALSE(FileStreams::fits({2, 0, FILE_ASK_RANGE, 0, 100}, 101));
  // Answered, a stream id is free again; one never asked is not answered.
  EXPECT_EQ(s.answer(1), size);
  EXPECT_FALSE(s.answer(1));
  EXPECT_TRUE(s.expire(t0 + kFileAnswerTimeout).empty());
  EXPECT_EQ(s.expire(t0 + 1s + kFileAnswerTimeout).size(), kMaxFileStreams - 1);
  EXPECT_FALSE(s.deadline());
}
