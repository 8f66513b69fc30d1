// The audio and microphone extensions' messages, byte for byte, and the formats korvane's devices
// take.
#include <gtest/gtest.h>

#include <vector>

#include "host_link/audio_wire.hpp"
#include "host_link/extensions.hpp"
#include "host_link/mic_wire.hpp"

using namespace korvane;

TEST(AudioGolden, FormatIsAWaveFormatWithItsCodecData) {
  AudioFormat f;
  f.tag = AUDIO_TAG_AAC;
  f.channels = 2;
  f.samples_per_sec = 48000;
  f.avg_bytes_per_sec = 24000;
  f.block_align = 4;
  f.bits_per_sample = 16;
  f.codec_data = {0xAA, 0xBB};
  const std::vector<uint8_t> want = {0x06, 0xA1, 0x02, 0x00, 0x80, 0xBB, 0x00, 0x00, 0xC0, 0x5D,
                                     0x00, 0x00, 0x04, 0x00, 0x10, 0x00, 0x02, 0x00, 0xAA, 0xBB};
  EXPECT_EQ(encode_audio_format(f), want);
  EXPECT_EQ(parse_audio_format(want), f);
  // cbSize must match what follows exactly.
  auto longer = want;
  longer.push_back(0);
  EXPECT_FALSE(parse_audio_format(longer));
  EXPECT_FALSE(parse_audio_format(std::span(want).first(19)));
  EXPECT_FALSE(parse_audio_format(std::span(want).first(17)));
}

TEST(AudioGolden, DataAndVolume) {
  const auto h = encode_audio_data_header(0x01020304, 0xA0B0C0D0);
  const std::vector<uint8_t> want = {0x04, 0x03, 0x02, 0x01, 0xD0, 0xC0, 0xB0, 0xA0};
  EXPECT_EQ(std::vector<uint8_t>(h.begin(), h.end()), want);
  auto payload = want;
  payload.insert(payload.end(), {9, 8, 7});
  const auto d = parse_audio_data(payload);
  ASSERT_TRUE(d);
  EXPECT_EQ(d->sequence, 0x01020304u);
  EXPECT_EQ(d->time_ms, 0xA0B0C0D0u);
  EXPECT_EQ(std::vector<uint8_t>(d->bytes.begin(), d->bytes.end()),
            (std::vector<uint8_t>{9, 8, 7}));
  EXPECT_FALSE(parse_audio_data(std::span(want).first(7)));

  EXPECT_EQ(encode_audio_volume(0x80004000), (std::vector<uint8_t>{0x00, 0x40, 0x00, 0x80}));
  EXPECT_EQ(parse_audio_volume(std::vector<uint8_t>{0x00, 0x40, 0x00, 0x80}), 0x80004000u);
  EXPECT_FALSE(parse_audio_volume(std::vector<uint8_t>{1, 2, 3}));
}

TEST(AudioFormats, PcmAtTwoRatesAndCompressedOnlyWhenTheHostDecodesIt) {
  auto pcm = [](uint16_t ch, uint32_t rate, uint16_t bits) {
    AudioFormat f;
    f.tag = AUDIO_TAG_PCM;
    f.channels = ch;
    f.samples_per_sec = rate;
    f.bits_per_sample = bits;
    f.block_align = static_cast<uint16_t>(ch * bits / 8);
    f.avg_bytes_per_sec = rate * f.block_align;
    return f;
  };
  EXPECT_TRUE(audio_format_taken(pcm(2, 48000, 16), 0));
  EXPECT_TRUE(audio_format_taken(pcm(1, 44100, 16), 0));
  EXPECT_FALSE(audio_format_taken(pcm(2, 22050, 16), 0));
  EXPECT_FALSE(audio_format_taken(pcm(2, 48000, 8), 0));
  EXPECT_FALSE(audio_format_taken(pcm(6, 48000, 16), 0));
  auto odd = pcm(2, 48000, 16);
  odd.block_align = 3;
  EXPECT_FALSE(audio_format_taken(odd, 0));
  AudioFormat aac;
  aac.tag = AUDIO_TAG_AAC;
  aac.channels = 2;
  EXPECT_FALSE(audio_format_taken(aac, 0));
  EXPECT_FALSE(audio_format_taken(aac, AUDIO_CODEC_OPUS));
  EXPECT_TRUE(audio_format_taken(aac, AUDIO_CODEC_AAC));
  AudioFormat opus = aac;
  opus.tag = AUDIO_TAG_OPUS;
  EXPECT_TRUE(audio_format_taken(opus, AUDIO_CODEC_OPUS));
  EXPECT_FALSE(audio_format_taken(opus, AUDIO_CODEC_AAC));

  AudioFormat adpcm;
  adpcm.tag = 0x0011;
  adpcm.channels = 2;
  adpcm.samples_per_sec = 22050;
  adpcm.block_align = 2048;
  EXPECT_EQ(pcm_format_like(adpcm), pcm(2, 22050, 16));
  EXPECT_EQ(audio_block_ms(pcm(2, 48000, 16), 3840), 20u);
  EXPECT_EQ(audio_block_ms(AudioFormat{}, 3840), 0u);
  EXPECT_EQ(audio_block_ms(pcm(1, 44100, 16), size_t{1} << 30), 10000u);
}

TEST(AudioBlock, CodecFieldIsOneByteAndTheBitIsGranted) {
  Extensions e;
  const std::vector<ExtensionField> ok = {{FIELD_AUDIO_CODECS, {AUDIO_CODEC_AAC}}};
  ASSERT_EQ(parse_extensions(encode_extensions(EXT_AUDIO, ok), e), ExtensionParse::ok);
  EXPECT_EQ(e.audio_codecs, AUDIO_CODEC_AAC);
  EXPECT_EQ(grant_extensions(e).mask, EXT_AUDIO);
  const std::vector<ExtensionField> bad = {{FIELD_AUDIO_CODECS, {1, 2}}};
  EXPECT_EQ(parse_extensions(encode_extensions(EXT_AUDIO, bad), e), ExtensionParse::malformed);
}

TEST(MicGolden, OpenAndBlockHeader) {
  AudioFormat pcm{AUDIO_TAG_PCM, 2, 48000, 192000, 4, 16, {}};
  const auto open = encode_mic_open({960, pcm});
  const std::vector<uint8_t> want = {0xC0, 0x03, 0x00, 0x00, 0x01, 0x00, 0x02, 0x00,
                                     0x80, 0xBB, 0x00, 0x00, 0x00, 0xEE, 0x02, 0x00,
                                     0x04, 0x00, 0x10, 0x00, 0x00, 0x00};
  EXPECT_EQ(open, want);
  EXPECT_EQ(parse_mic_open(want)->format, pcm);
  EXPECT_FALSE(parse_mic_open(std::span(want).first(21)));
  const auto h = encode_audio_in_header(AUDIO_TAG_OPUS, 1, 44100);
  EXPECT_EQ(std::vector<uint8_t>(h.begin(), h.end()),
            (std::vector<uint8_t>{0x4F, 0x70, 0x01, 0x00, 0x44, 0xAC, 0x00, 0x00}));
}

TEST(Mic, FormatsTakenAndBlockLengths) {
  const AudioFormat pcm48s{AUDIO_TAG_PCM, 2, 48000, 192000, 4, 16, {}};
  const AudioFormat pcm44m{AUDIO_TAG_PCM, 1, 44100, 88200, 2, 16, {}};
  const AudioFormat xrdp_opus{AUDIO_TAG_XRDP_OPUS, 2, 44100, 16000, 4, 16, {}};
  const AudioFormat pcm22{AUDIO_TAG_PCM, 1, 22050, 44100, 2, 16, {}};
  EXPECT_TRUE(mic_format_taken(pcm48s, mic_formats_of(std::nullopt)));
  EXPECT_FALSE(mic_format_taken(pcm48s, MIC_PCM_48000_MONO));
  EXPECT_TRUE(mic_format_taken(pcm44m, MIC_PCM_44100_MONO));
  EXPECT_FALSE(mic_format_taken(xrdp_opus, kMicPcmFormats));
  EXPECT_TRUE(mic_format_taken(xrdp_opus, MIC_OPUS));
  EXPECT_FALSE(mic_format_taken(pcm22, kKnownMicFormats));  // the library converts to it
  // A field naming no format korvane knows leaves the extension ungranted.
  Extensions ext;
  ext.present = true;
  ext.wanted = EXT_MICROPHONE;
  ext.mic_formats = 0x80;
  EXPECT_EQ(grant_extensions(ext).mask, 0u);

  const struct {
    std::vector<uint8_t> packet;
    std::optional<uint32_t> us;
  } opus[] = {
      {{}, {}},
      {{0xF8}, 20000},              // CELT 20 ms, one frame
      {{0xF9, 0x10}, 40000},        // two frames
      {{0x1B, 0x02}, 120000},       // SILK 60 ms, code 3, two frames
      {{0x1B, 0x03}, {}},           // 180 ms: too long
      {{0xE3, 0x00}, {}},           // code 3 with no frame
      {{0xE3}, {}},                 // code 3 without its count
      {{0x62}, {}},                 // code 2 without a length
      {{0x60, 0xAA, 0xBB}, 10000},  // hybrid 10 ms
  };
  for (const auto& row : opus)
    EXPECT_EQ(opus_packet_us(row.packet), row.us) << int(row.packet.size());
  EXPECT_EQ(mic_block_us(pcm48s, std::vector<uint8_t>(3840)), 20000u);
  EXPECT_FALSE(mic_block_us(pcm48s, std::vector<uint8_t>(3842)));
  EXPECT_EQ(mic_silence(pcm44m, 441).size(), 882u);
  EXPECT_EQ(mic_silence(pcm48s, 0).size(), 3840u);  // no packet size: 20 ms
  EXPECT_EQ(mic_silence(xrdp_opus, 960), (std::vector<uint8_t>{0xFC}));
  EXPECT_EQ(mic_block_us(xrdp_opus, mic_silence(xrdp_opus, 2880)), 60000u);
}

// The pacer fed a clock: (microseconds since the open, block length or 0 for a silence check,
// taken, silence packets due).
TEST(Mic, PacerBoundsTheLeadAndFillsGaps) {
  MicPacer p;
  p.open(1000000, 20000);
  const struct {
    uint64_t at, block;
    bool taken;
    uint32_t silence;
  } steps[] = {
      {0, 20000, true, 0},      // on time
      {0, 980000, true, 0},     // a second ahead: still taken
      {0, 20000, false, 0},     // beyond it: refused
      {1000000, 0, true, 0},    // caught up, still 200 ms of slack
      {1200000, 0, true, 1},    // 200 ms behind: one packet
      {1210000, 0, true, 0},    //
      {1300000, 0, true, 5},    // fills back to the slack
      {60000000, 0, true, 50},  // a long stall: a second's worth, the rest skipped
      {60000000, 0, true, 1},   // and then a packet as each falls due
      {60000000, 1000000, true, 0},
  };
  for (const auto& s : steps) {
    if (s.block) EXPECT_EQ(p.offer(s.block, 1000000 + s.at), s.taken) << s.at;
    EXPECT_EQ(p.silence_due(1000000 + s.at), s.silence) << s.at;
  }
  EXPECT_EQ(p.next_silence_us(), 1000000 + p.sent_us + kMicSlackUs);
}
