// The audio extension's messages, byte for byte, and the formats korvane's device takes.
#include <gtest/gtest.h>

#include <vector>

#include "host_link/audio_wire.hpp"
#include "host_link/extensions.hpp"

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
