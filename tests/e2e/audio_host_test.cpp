// korvane-host --audio-wav against the test server's sound channel: the WAV files hold exactly
// the samples the server sent (regenerated here from the sweep's definition, and checked against
// the checksum the server logged), one file per format, with the final sizes in the header.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <numbers>
#include <regex>
#include <string>
#include <vector>

#include "host/audio.hpp"
#include "host/process.hpp"
#include "host_link/protocol.hpp"
#include "logged_process.hpp"
#include "net.hpp"
#include "rig.hpp"

using namespace korvane;

namespace {

// The test server's sine sweep (tests/server/sound.cpp): 200 Hz to 8 kHz over the stream,
// amplitude 12000, the same sample in every channel, 16-bit little-endian.
std::vector<uint8_t> sweep(uint32_t rate, uint32_t channels, uint32_t ms) {
  const uint64_t frames = uint64_t{rate} * ms / 1000;
  std::vector<uint8_t> out;
  out.reserve(frames * channels * 2);
  double phase = 0;
  for (uint64_t i = 0; i < frames; ++i) {
    const double freq = 200.0 + 7800.0 * static_cast<double>(i) / static_cast<double>(frames);
    phase += 2 * std::numbers::pi * freq / rate;
    const auto v =
        static_cast<uint16_t>(static_cast<int16_t>(std::lround(12000.0 * std::sin(phase))));
    for (uint32_t c = 0; c < channels; ++c) {
      out.push_back(static_cast<uint8_t>(v & 0xFF));
      out.push_back(static_cast<uint8_t>(v >> 8));
    }
  }
  return out;
}

struct Wav {
  uint32_t riff_size = 0, fmt_size = 0, rate = 0, avg = 0, data_size = 0;
  uint16_t tag = 0, channels = 0, align = 0, bits = 0;
  std::vector<uint8_t> samples;
};

// A canonical 44-byte-header WAV file, as korvane-host writes it.
std::optional<Wav> read_wav(const std::string& path) {
  const std::string text = test::read_file(path);
  const std::vector<uint8_t> b(text.begin(), text.end());
  if (b.size() < 44 || text.compare(0, 4, "RIFF") != 0 || text.compare(8, 8, "WAVEfmt ") != 0 ||
      text.compare(36, 4, "data") != 0)
    return std::nullopt;
  Wav w;
  w.riff_size = get_u32(&b[4]);
  w.fmt_size = get_u32(&b[16]);
  w.tag = get_u16(&b[20]);
  w.channels = get_u16(&b[22]);
  w.rate = get_u32(&b[24]);
  w.avg = get_u32(&b[28]);
  w.align = get_u16(&b[32]);
  w.bits = get_u16(&b[34]);
  w.data_size = get_u32(&b[40]);
  w.samples.assign(b.begin() + 44, b.end());
  return w;
}

void expect_wav(const std::string& path, uint32_t rate, uint16_t channels, uint32_t ms,
                uint64_t server_fnv) {
  SCOPED_TRACE(path);
  const auto w = read_wav(path);
  ASSERT_TRUE(w) << "not a WAV file";
  EXPECT_EQ(w->tag, AUDIO_TAG_PCM);
  EXPECT_EQ(w->fmt_size, 16u);
  EXPECT_EQ(w->channels, channels);
  EXPECT_EQ(w->rate, rate);
  EXPECT_EQ(w->bits, 16);
  EXPECT_EQ(w->align, channels * 2);
  EXPECT_EQ(w->avg, rate * channels * 2u);
  // The sizes were put in at the end: they count exactly the samples in the file.
  EXPECT_EQ(w->data_size, w->samples.size());
  EXPECT_EQ(w->riff_size, 36 + w->samples.size());
  const auto expected = sweep(rate, channels, ms);
  EXPECT_EQ(w->samples.size(), expected.size());
  EXPECT_TRUE(w->samples == expected) << "the samples differ from the server's sweep";
  EXPECT_EQ(e2e::fnv1a(w->samples), server_fnv) << "the samples differ from what the server logged";
}

}  // namespace

TEST(AudioHost, WavFilesHoldTheServersSamplesOneFilePerFormat) {
  ASSERT_FALSE(std::string(KORVANE_HOST_PATH).empty());
  e2e::Rig rig;
  ASSERT_TRUE(e2e::start_server(rig, {"sound-pcm 48000 2 1000", "sound-volume 0x80004000",
                                      "sound-pcm 44100 1 500", "sound-wait-confirms", "end"}));
  const std::string& dir = rig.scratch.path;
  host::SpawnOptions o;
  o.argv = e2e::host_argv(rig.server.port, "60", dir + "/korvane.log",
                          {"--audio-wav", dir + "/sound.wav"});
  const auto run = host::run_capture(o, 90000);
  const std::string& out = run.out;
  const std::string server_log = e2e::server_log(rig);
  EXPECT_TRUE(run.status && run.status->exited() && run.status->code == 0)
      << out << test::read_file(dir + "/korvane.log");

  std::vector<uint64_t> server_fnv;
  const std::regex done("SOUND done blocks=\\d+ bytes=\\d+ fnv=([0-9a-f]{16})");
  for (auto it = std::sregex_iterator(server_log.begin(), server_log.end(), done);
       it != std::sregex_iterator(); ++it)
    server_fnv.push_back(std::stoull((*it)[1].str(), nullptr, 16));
  ASSERT_EQ(server_fnv.size(), 2u) << server_log;

  EXPECT_NE(out.find("granted=audio"), std::string::npos) << out;
  // One line per format, in the order the server used them; no block lines under --quiet.
  const std::regex format_line("\nAUDIO_FORMAT tag=0x0001 channels=(\\d) rate=(\\d+) bits=16 ");
  std::vector<std::string> formats;
  for (auto it = std::sregex_iterator(out.begin(), out.end(), format_line);
       it != std::sregex_iterator(); ++it)
    formats.push_back((*it)[1].str() + "/" + (*it)[2].str());
  EXPECT_EQ(formats, (std::vector<std::string>{"2/48000", "1/44100"})) << out;
  EXPECT_EQ(out.find("AUDIO_DATA"), std::string::npos);
  EXPECT_NE(out.find("AUDIO_VOLUME value=0x80004000"), std::string::npos) << out;
  EXPECT_NE(out.find("WAV OPENED " + dir + "/sound.wav channels=2 rate=48000"), std::string::npos)
      << out;
  EXPECT_NE(out.find("WAV CLOSED " + dir + "/sound.wav data=192000 seconds=1.000"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("WAV CLOSED " + dir + "/sound-2.wav data=44100 seconds=0.500"),
            std::string::npos)
      << out;
  // 1 s of 48 kHz stereo and 0.5 s of 44.1 kHz mono in 20 ms blocks, just before SUMMARY.
  const std::string summary = "AUDIO formats=2 blocks=75 bytes=236100 seconds=1.500\nSUMMARY ";
  EXPECT_NE(out.find(summary), std::string::npos) << out;
  EXPECT_EQ(out.find("PROBLEM"), std::string::npos) << out;

  expect_wav(dir + "/sound.wav", 48000, 2, 1000, server_fnv[0]);
  expect_wav(dir + "/sound-2.wav", 44100, 1, 500, server_fnv[1]);
}

TEST(AudioHost, SeriesPathsGetTheirNumberBeforeTheExtension) {
  EXPECT_EQ(host::wav_series_path("out.wav", 1), "out.wav");
  EXPECT_EQ(host::wav_series_path("out.wav", 2), "out-2.wav");
  EXPECT_EQ(host::wav_series_path("dir.d/out", 3), "dir.d/out-3");
  EXPECT_EQ(host::wav_series_path("/tmp/.wav", 2), "/tmp/.wav-2");
}
