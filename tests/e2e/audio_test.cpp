// The remote desktop's sound against the test server's sound channel: the host gets the format
// first, then the server's bytes whole and in order, and volume changes; compressed formats the
// host decodes pass through unchanged; a host that stalls loses nothing and korvane keeps no
// backlog; a host that did not ask gets no audio events.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "host_link/audio_wire.hpp"
#include "host_link/extensions.hpp"
#include "host_link/mic_wire.hpp"
#include "host_link/session_extensions.hpp"
#include "proc_stats.hpp"
#include "rig.hpp"

using namespace korvane;
using namespace korvane::e2e;

namespace {

std::vector<uint8_t> audio_block(uint8_t codecs = 0) {
  std::vector<ExtensionField> fields;
  if (codecs) fields.push_back({FIELD_AUDIO_CODECS, {codecs}});
  return encode_extensions(EXT_AUDIO, fields);
}

// One stream: a format and the bytes that followed it.
struct Stream {
  AudioFormat format;
  uint64_t fnv = 0xcbf29ce484222325ull;
  uint64_t bytes = 0;
  uint64_t blocks = 0;
};

struct AudioSink {
  std::vector<Stream> streams;
  std::vector<uint32_t> volumes;
  uint32_t next_sequence = 0;
  bool data_before_format = false;
  bool bad_frame = false;
  bool sequence_gap = false;
  host::EventSink sink() {
    return [this](const host::Frame& f) {
      if (f.type == EVT_AUDIO_FORMAT) {
        auto fmt = parse_audio_format(f.payload);
        if (!fmt) {
          bad_frame = true;
          return;
        }
        streams.push_back({*fmt});
      } else if (f.type == EVT_AUDIO_DATA) {
        auto d = parse_audio_data(f.payload);
        if (!d) {
          bad_frame = true;
          return;
        }
        if (streams.empty()) {
          data_before_format = true;
          return;
        }
        if (d->sequence != next_sequence) sequence_gap = true;
        next_sequence = d->sequence + 1;
        auto& s = streams.back();
        s.fnv = fnv1a(d->bytes, s.fnv);
        s.bytes += d->bytes.size();
        ++s.blocks;
      } else if (f.type == EVT_AUDIO_VOLUME) {
        auto v = parse_audio_volume(f.payload);
        if (!v) {
          bad_frame = true;
          return;
        }
        volumes.push_back(*v);
      }
    };
  }
};

struct Done {
  uint64_t blocks = 0, bytes = 0, fnv = 0;
};

std::vector<Done> done_lines(Rig& rig) {
  std::vector<Done> out;
  const std::regex re("^SOUND done blocks=(\\d+) bytes=(\\d+) fnv=([0-9a-f]{16})");
  for (const auto& l : test::lines_of(*rig.server.process)) {
    std::smatch m;
    if (std::regex_search(l, m, re))
      out.push_back(
          {std::stoull(m[1].str()), std::stoull(m[2].str()), std::stoull(m[3].str(), nullptr, 16)});
  }
  return out;
}

size_t count_lines(Rig& rig, const std::regex& re) {
  size_t n = 0;
  for (const auto& l : test::lines_of(*rig.server.process))
    if (std::regex_search(l, re)) ++n;
  return n;
}

void expect_stream(const Stream& got, const Done& sent, uint16_t tag, uint16_t channels,
                   uint32_t rate) {
  EXPECT_EQ(got.format.tag, tag);
  EXPECT_EQ(got.format.channels, channels);
  EXPECT_EQ(got.format.samples_per_sec, rate);
  EXPECT_EQ(got.blocks, sent.blocks);
  EXPECT_EQ(got.bytes, sent.bytes);
  EXPECT_EQ(got.fnv, sent.fnv) << "the bytes differ from the server's";
}

}  // namespace

TEST(Audio, PcmSweepArrivesWholeInOrderWithItsFormatFirst) {
  auto rig = start_rig({"sound-volume 0x80004000", "sound-pcm 48000 2 1000",
                        "sound-pcm 44100 1 500", "sound-wait-confirms", "end"},
                       {}, "tls", {}, audio_block());
  ASSERT_TRUE(rig);
  ASSERT_EQ(granted_mask(*rig), EXT_AUDIO) << korvane_stderr(*rig);
  AudioSink audio;
  const auto end = host::finish_session(*rig->korvane, 60000, audio.sink(), false);
  EXPECT_TRUE(end.disconnected) << korvane_stderr(*rig);
  EXPECT_FALSE(audio.bad_frame);
  EXPECT_FALSE(audio.data_before_format);
  EXPECT_FALSE(audio.sequence_gap);
  const auto sent = done_lines(*rig);
  ASSERT_EQ(sent.size(), 2u) << server_log(*rig);
  ASSERT_EQ(audio.streams.size(), 2u) << server_log(*rig);
  expect_stream(audio.streams[0], sent[0], AUDIO_TAG_PCM, 2, 48000);
  EXPECT_EQ(audio.streams[0].format.block_align, 4);
  EXPECT_EQ(audio.streams[0].format.bits_per_sample, 16);
  EXPECT_EQ(audio.streams[0].format.avg_bytes_per_sec, 192000u);
  expect_stream(audio.streams[1], sent[1], AUDIO_TAG_PCM, 1, 44100);
  EXPECT_EQ(audio.streams[1].format.block_align, 2);
  // 1 s at 48 kHz stereo: 48000 frames of 4 bytes.
  EXPECT_EQ(sent[0].bytes, 192000u);
  EXPECT_EQ(audio.volumes, (std::vector<uint32_t>{0x80004000u}));
  // Every block confirmed, each first confirmation once.
  EXPECT_EQ(count_lines(*rig, std::regex("^SOUND confirm .* first=1")),
            sent[0].blocks + sent[1].blocks)
      << server_log(*rig);
  EXPECT_EQ(count_lines(*rig, std::regex("^SOUND channel joined=1 playback=1")), 1u);
}

// Opus under xrdp's tag reaches the host under korvane's one tag for Opus.
TEST(Audio, CompressedFormatsTheHostDecodesPassThroughUnchanged) {
  auto rig =
      start_rig({"sound-coded 0xA106 400", "sound-coded 0x704F 400", "sound-coded 0x0069 400",
                 "sound-coded 0x0055 400", "sound-wait-confirms", "end"},
                {}, "tls", {}, audio_block(AUDIO_CODEC_AAC | AUDIO_CODEC_OPUS | AUDIO_CODEC_MP3));
  ASSERT_TRUE(rig);
  ASSERT_EQ(granted_mask(*rig), EXT_AUDIO) << korvane_stderr(*rig);
  AudioSink audio;
  const auto end = host::finish_session(*rig->korvane, 60000, audio.sink(), false);
  EXPECT_TRUE(end.disconnected) << korvane_stderr(*rig);
  EXPECT_FALSE(audio.bad_frame);
  EXPECT_FALSE(audio.sequence_gap);
  const auto sent = done_lines(*rig);
  ASSERT_EQ(sent.size(), 4u) << server_log(*rig);
  ASSERT_EQ(audio.streams.size(), 4u) << server_log(*rig);
  expect_stream(audio.streams[0], sent[0], AUDIO_TAG_AAC, 2, 48000);
  const std::vector<uint8_t> config = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13};
  EXPECT_EQ(audio.streams[0].format.codec_data, config);
  expect_stream(audio.streams[1], sent[1], AUDIO_TAG_OPUS, 2, 48000);
  expect_stream(audio.streams[2], sent[2], AUDIO_TAG_OPUS, 2, 44100);
  expect_stream(audio.streams[3], sent[3], AUDIO_TAG_MP3, 2, 44100);
}

TEST(Audio, AHostThatDoesNotDecodeAacIsNotOfferedIt) {
  auto rig = start_rig({"sound-coded 0xA106 100", "end"}, {}, "tls", {}, audio_block());
  ASSERT_TRUE(rig);
  AudioSink audio;
  host::finish_session(*rig->korvane, 30000, audio.sink(), false);
  // Either the library decodes AAC itself (the host then gets PCM) or the step finds no AAC.
  for (const auto& s : audio.streams) EXPECT_EQ(s.format.tag, AUDIO_TAG_PCM);
}

TEST(Audio, AHostThatStallsLosesNothingAndKorvaneKeepsNoBacklog) {
  auto rig = start_rig({"sound-pcm 48000 2 9000", "sound-wait-confirms 30000", "end"}, {}, "tls",
                       {}, audio_block());
  ASSERT_TRUE(rig);
  ASSERT_EQ(granted_mask(*rig), EXT_AUDIO) << korvane_stderr(*rig);
  AudioSink audio;
  auto sink = audio.sink();
  // About one second of sound, read as it comes.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while ((audio.streams.empty() || audio.streams.back().blocks < 50) &&
         std::chrono::steady_clock::now() < deadline)
    host::pump_events(*rig->korvane, 50, sink);
  ASSERT_FALSE(audio.streams.empty()) << server_log(*rig);
  const pid_t pid = rig->korvane->child.pid;
  const long before = test::resident_kib(pid);
  std::this_thread::sleep_for(std::chrono::seconds(5));
  const long stalled = test::resident_kib(pid);
  const auto end = host::finish_session(*rig->korvane, 60000, sink, false);
  EXPECT_TRUE(end.disconnected) << korvane_stderr(*rig);
  EXPECT_FALSE(audio.sequence_gap);
  const auto sent = done_lines(*rig);
  ASSERT_EQ(sent.size(), 1u) << server_log(*rig);
  ASSERT_EQ(audio.streams.size(), 1u);
  expect_stream(audio.streams[0], sent[0], AUDIO_TAG_PCM, 2, 48000);
  // 5 s of this sound is 960 KB: korvane held none of it.
  ASSERT_GT(before, 0);
  if (!kSanitized) {
    EXPECT_LT(stalled, before + 512)
        << "RSS " << before << " KiB before the stall, " << stalled << " KiB after";
  }
}

TEST(Audio, AHostThatDidNotAskHearsNothing) {
  // As before the extension: the library's own silent device takes what the server plays.
  for (const auto& block : {std::vector<uint8_t>{}, encode_extensions(EXT_CURSOR)}) {
    auto rig =
        start_rig({"sound-pcm 48000 2 300", "sound-wait-confirms", "end"}, {}, "tls", {}, block);
    ASSERT_TRUE(rig);
    AudioSink audio;
    const auto end = host::finish_session(*rig->korvane, 30000, audio.sink(), false);
    EXPECT_TRUE(end.disconnected) << korvane_stderr(*rig);
    EXPECT_EQ(done_lines(*rig).size(), 1u) << server_log(*rig);
    EXPECT_TRUE(audio.streams.empty());
    EXPECT_TRUE(audio.volumes.empty());
    EXPECT_FALSE(audio.data_before_format);
  }
}

namespace {

// What the host learns of its microphone.
struct MicEvents {
  std::vector<MicOpen> opens;
  size_t closes = 0;
  std::map<uint8_t, size_t> refusals;  // by reason
  host::EventSink sink() {
    return [this](const host::Frame& f) {
      if (f.type == EVT_MIC_OPEN) {
        if (auto m = parse_mic_open(f.payload)) opens.push_back(std::move(*m));
      } else if (f.type == EVT_MIC_CLOSED) {
        ++closes;
      } else if (auto r = f.type == EVT_REFUSED ? parse_refused(f.payload) : std::nullopt) {
        if (r->command == CMD_AUDIO_IN) ++refusals[r->reason];
      }
    };
  }
};

std::vector<uint8_t> mic_payload(uint32_t rate, std::span<const uint8_t> bytes) {
  const auto h = encode_audio_in_header(AUDIO_TAG_PCM, 2, rate);
  std::vector<uint8_t> p(h.begin(), h.end());
  p.insert(p.end(), bytes.begin(), bytes.end());
  return p;
}

}  // namespace

// The host's blocks reach the server byte for byte and in order; a block before the open, in
// another format or not whole frames is refused; a flood gets refusals past one second ahead and
// korvane holds none of it; a pause is silence to the server; open and close reach the host.
TEST(Microphone, BlocksArriveInOrderFloodsAreRefusedAndPausesAreSilence) {
  std::optional<Rig> rig(std::in_place);
  rig->scratch = test::make_temp_dir("korvane-e2e");
  ASSERT_TRUE(start_rig(
      *rig,
      {"mic-open 1 48000 2 960", "sleep 5000", "mic-close", "sleep 300", "mic-dump mic.raw", "end"},
      {}, "tls", {"--dump-dir", rig->scratch.path}, encode_extensions(EXT_MICROPHONE)));
  ASSERT_EQ(granted_mask(*rig), EXT_MICROPHONE) << korvane_stderr(*rig);
  MicEvents mic;
  auto sink = mic.sink();
  // 20 ms blocks of a pattern with no zero byte, each block distinct.
  std::vector<std::vector<uint8_t>> blocks(1100, std::vector<uint8_t>(3840));
  for (size_t b = 0; b < blocks.size(); ++b)
    for (size_t i = 0; i < blocks[b].size(); ++i)
      blocks[b][i] = static_cast<uint8_t>(1 + (b * 7 + i * 13) % 251);
  auto send = [&](const std::vector<uint8_t>& payload) {
    ASSERT_TRUE(host::send_command(*rig->korvane, CMD_AUDIO_IN, payload));
  };
  send(mic_payload(48000, blocks[0]));  // before the open
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (mic.opens.empty() && std::chrono::steady_clock::now() < deadline)
    host::pump_events(*rig->korvane, 50, sink);
  ASSERT_EQ(mic.opens.size(), 1u) << server_log(*rig);
  EXPECT_EQ(mic.opens[0].frames_per_packet, 960u);
  EXPECT_EQ(mic.opens[0].format, (AudioFormat{AUDIO_TAG_PCM, 2, 48000, 192000, 4, 16, {}}));
  send(mic_payload(44100, blocks[0]));
  send(mic_payload(48000, std::span(blocks[0]).first(3)));
  const long rss_before = test::resident_kib(rig->korvane->child.pid);
  // A second at once, then 21 s more as fast as the pipe takes it.
  for (size_t b = 0; b < 1100; ++b) send(mic_payload(48000, blocks[b]));
  const long rss_after = test::resident_kib(rig->korvane->child.pid);
  const auto host_end = host::finish_session(*rig->korvane, 30000, sink, false);
  EXPECT_TRUE(host_end.disconnected) << korvane_stderr(*rig);
  EXPECT_EQ(mic.closes, 1u);
  EXPECT_EQ(mic.refusals[REFUSED_MIC_CLOSED], 1u);
  EXPECT_EQ(mic.refusals[REFUSED_MIC_FORMAT], 1u);
  EXPECT_EQ(mic.refusals[REFUSED_MIC_BLOCK], 1u);
  EXPECT_GT(mic.refusals[REFUSED_MIC_AHEAD], 500u);
  if (!kSanitized) {
    EXPECT_LT(rss_after, rss_before + 2048) << "21 s of sound is 4 MB";
  }

  // The recording: the blocks taken, in order and whole, then silence from the pause on.
  const std::string recorded = test::read_file(rig->scratch.path + "/mic.raw");
  size_t at = 0, taken = 0;
  for (const auto& b : blocks) {
    if (recorded.compare(at, b.size(), reinterpret_cast<const char*>(b.data()), b.size()) == 0) {
      at += b.size();
      ++taken;
    }
  }
  EXPECT_EQ(taken + mic.refusals[REFUSED_MIC_AHEAD], blocks.size());
  EXPECT_GE(taken, 50u) << "a second ahead is taken";
  const std::string rest = recorded.substr(at);
  EXPECT_GE(rest.size(), 192000u * 2) << "the pause is about 4 s";
  EXPECT_EQ(rest.find_first_not_of('\0'), std::string::npos) << "silence after the blocks";
  EXPECT_EQ(rest.size() % 3840, 0u) << "in the server's packet size";
}
