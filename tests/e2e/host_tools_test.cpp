// korvane-host against the test server: --clip-fetch and --clip-offer move a 200 MiB file each
// way, byte for byte, with korvane's peak memory far below the file's size (ranges stream
// through korvane, nothing is held whole); --record and --replay; --video.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <openssl/evp.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "host/files.hpp"
#include "host/png.hpp"
#include "host/process.hpp"
#include "host/recorder.hpp"
#include "host_link/extensions.hpp"
#include "rig.hpp"
#include "video_check.hpp"

using namespace korvane;

namespace {

constexpr uint64_t kSize = 200ull << 20;

// The test server's offsets:N file: each 8-byte word its own offset, u64 little-endian.
void offsets(uint64_t from, std::vector<uint8_t>& out) {
  for (size_t i = 0; i < out.size(); ++i)
    out[i] = static_cast<uint8_t>(((from + i) & ~uint64_t{7}) >> (8 * ((from + i) & 7)));
}

// Writes the offsets file to `path` (when given) and returns its SHA-256, or "" on failure.
std::string offsets_file(const std::string& path, std::FILE* compare = nullptr) {
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> md(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  std::unique_ptr<std::FILE, decltype(&std::fclose)> out(
      path.empty() ? nullptr : std::fopen(path.c_str(), "wb"), std::fclose);
  if (!md || EVP_DigestInit_ex(md.get(), EVP_sha256(), nullptr) != 1) return {};
  std::vector<uint8_t> chunk(1 << 20), other(chunk.size());
  for (uint64_t at = 0; at < kSize; at += chunk.size()) {
    offsets(at, chunk);
    EVP_DigestUpdate(md.get(), chunk.data(), chunk.size());
    if (out && std::fwrite(chunk.data(), 1, chunk.size(), out.get()) != chunk.size()) return {};
    if (compare &&
        (std::fread(other.data(), 1, other.size(), compare) != other.size() || other != chunk))
      return "differs at " + std::to_string(at);
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_DigestFinal_ex(md.get(), digest, &length);
  return e2e::hex({digest, length});
}

long peak_in(const std::string& out, const std::string& prefix) {
  std::smatch m;
  const std::regex line(prefix + "[^\n]* korvane_peak_kib=(\\d+)");
  return std::regex_search(out, m, line) ? std::stol(m[1].str()) : -1;
}

}  // namespace

TEST(HostFiles, TwoHundredMiBEachWayByteForByteInBoundedMemory) {
  ASSERT_FALSE(std::string(KORVANE_HOST_PATH).empty());
  const std::vector<host::ListedFile> listed = {{"down.bin", kSize}};
  const auto list = host::encode_file_list(listed);
  ASSERT_TRUE(list);
  e2e::Rig rig;
  // The server's file list, then its file read by the host; then the host's, read whole.
  ASSERT_TRUE(e2e::start_server(
      rig, {"clip-formats 49400:FileGroupDescriptorW", "clip-serve 49400 hex:" + e2e::hex(*list),
            "clip-file-serve 0 offsets:" + std::to_string(kSize), "clip-wait-lists 2 120000",
            "clip-file-pull 1 0 4194304 30000", "end"}));
  const std::string& dir = rig.scratch.path;
  const std::string sha = offsets_file(dir + "/up.bin");
  ASSERT_EQ(sha.size(), 64u);
  host::SpawnOptions o;
  o.argv = e2e::host_argv(rig.server.port, "240", dir + "/korvane.log",
                          {"--clip-fetch", dir + "/got", "--clip-offer", dir + "/up.bin"});
  const auto run = host::run_capture(o, 300000);
  const std::string& out = run.out;
  EXPECT_TRUE(run.status && run.status->exited() && run.status->code == 0) << out;
  EXPECT_EQ(out.find("PROBLEM"), std::string::npos) << out;
  EXPECT_TRUE(test::wait_for_line(*rig.server.process,
                                  std::regex("CLIP pulled stream=1 size=" + std::to_string(kSize) +
                                             " sha256=" + sha + " ms=\\d+"),
                                  0))
      << e2e::server_log(rig);
  std::unique_ptr<std::FILE, decltype(&std::fclose)> got(
      std::fopen((dir + "/got/down.bin").c_str(), "rb"), std::fclose);
  ASSERT_TRUE(got);
  EXPECT_EQ(offsets_file("", got.get()), sha);
  EXPECT_EQ(std::fgetc(got.get()), EOF) << "the fetched file is longer";
  // korvane's own picture and libraries take some 30 MiB; the ranges in flight a few more.
  for (const char* line : {"FETCHED files=1 bytes=209715200", "FILE SERVED name=up.bin"}) {
    const long peak = peak_in(out, line);
    EXPECT_GT(peak, 0) << line << "\n" << out;
    EXPECT_LT(peak, 100 * 1024) << line;
  }
}

// A recording replayed to its end paints what the live session ended on; one whose recorder is
// killed mid-session still plays, up to its last block (on disk within a second).
TEST(HostRecording, ReplayEndsOnTheLivePictureAndAKilledRecorderLeavesAPlayableFile) {
  ASSERT_FALSE(std::string(KORVANE_HOST_PATH).empty());
  const std::vector<std::string> picture = {"pattern 0 0 300 200 5", "fill 100 100 50 50 ff0000",
                                            "sleep 700", "pattern 200 100 100 100 7"};
  auto replay = [](const std::string& dir, const std::string& name) {
    host::SpawnOptions o;
    o.argv = {KORVANE_HOST_PATH,
              "--replay",
              dir + "/" + name + ".kvr",
              "--png",
              dir + "/" + name + "-replay.png",
              "--quiet"};
    return host::run_capture(o, 60000);
  };
  e2e::Rig rig;
  auto steps = picture;
  steps.push_back("end");
  ASSERT_TRUE(e2e::start_server(rig, steps));
  const std::string& dir = rig.scratch.path;
  host::SpawnOptions o;
  o.argv = e2e::host_argv(
      rig.server.port, "60", dir + "/korvane.log",
      {"--png", dir + "/live.png", "--record", dir + "/live.kvr", "--click", "10,10"});
  const auto live = host::run_capture(o, 90000);
  ASSERT_TRUE(live.status && live.status->code == 0) << live.out;
  const auto played = replay(dir, "live");
  EXPECT_TRUE(played.status && played.status->code == 0) << played.out;
  EXPECT_TRUE(std::regex_search(played.out, std::regex("REPLAY what=0x1f .* end=whole")))
      << played.out;
  EXPECT_NE(test::read_file(dir + "/live.png"), "");
  EXPECT_EQ(test::read_file(dir + "/live-replay.png"), test::read_file(dir + "/live.png"));

  e2e::Rig long_rig;
  steps = picture;
  steps.push_back("sleep 30000");
  ASSERT_TRUE(e2e::start_server(long_rig, steps));
  o.argv = e2e::host_argv(long_rig.server.port, "60", dir + "/korvane2.log",
                          {"--record", dir + "/killed.kvr"});
  o.stdout_path = "/dev/null";
  auto recorder = host::spawn(o);
  ASSERT_TRUE(recorder);
  // Once the file on disk plays to the whole picture (its block is out a second after its first
  // frame), the recorder is killed in the middle of the session.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (std::chrono::steady_clock::now() < deadline &&
         (replay(dir, "killed"),
          test::read_file(dir + "/killed-replay.png") != test::read_file(dir + "/live.png")))
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  ASSERT_EQ(kill(recorder->pid, SIGKILL), 0);
  host::wait_exit(*recorder, 10000);
  const auto killed = replay(dir, "killed");
  EXPECT_TRUE(killed.status && killed.status->code == 0) << killed.out;
  EXPECT_TRUE(std::regex_search(killed.out, std::regex("REPLAY what=0x1f .*records=[1-9]")))
      << killed.out;
  EXPECT_EQ(test::read_file(dir + "/killed-replay.png"), test::read_file(dir + "/live.png"));
}

using test::frame_md5s;
using test::run_merged;

// An AVC420 session's recording becomes a video of the very bitstream the server sent (its
// frames decode to the same pictures as the recorded access units); a session of rectangles
// and PCM becomes an encoded video that decodes without an error, ends on the replay's picture,
// and carries the sound, on the recording's clock, as a track.
TEST(HostVideo, Avc420IsRemuxedAndRectanglesWithSoundAreEncoded) {
  e2e::Rig rig;
  ASSERT_TRUE(e2e::start_server(
      rig, {"gfx-open", "gfx-surface 1 320 240", "gfx-map 1 0 0", "gfx-stream 40 1", "end"}));
  const std::string& dir = rig.scratch.path;
  host::SpawnOptions o;
  o.argv = e2e::host_argv(
      rig.server.port, "60", dir + "/korvane.log",
      {"--width", "320", "--height", "240", "--h264", "avc420", "--record", dir + "/h264.kvr"});
  const auto live = host::run_capture(o, 90000);
  ASSERT_TRUE(live.status && live.status->code == 0) << live.out;
  const auto remuxed = run_merged(
      {KORVANE_HOST_PATH, "--replay", dir + "/h264.kvr", "--quiet", "--video", dir + "/h264.mp4"});
  EXPECT_TRUE(std::regex_search(remuxed.out, std::regex("VIDEO .* mode=remux 320x240 frames=40 ")))
      << remuxed.out;
  std::string units;
  RecordingHeader header;
  const std::string file = test::read_file(dir + "/h264.kvr");
  const std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t*>(file.data()), file.size());
  host::read_recording(bytes, header, [&](const Record& r) {
    const auto h = r.type == EVT_H264_CODEC ? parse_h264_codec_header(r.payload) : std::nullopt;
    if (h)
      units.append(reinterpret_cast<const char*>(r.payload.data()) + kH264CodecHeaderSize,
                   h->main_length);
  });
  std::ofstream(dir + "/units.h264", std::ios::binary) << units;
  const auto recorded = frame_md5s({"-f", "h264", "-i", dir + "/units.h264"});
  EXPECT_EQ(recorded.size(), 40u);
  EXPECT_EQ(frame_md5s({"-i", dir + "/h264.mp4"}), recorded);

  e2e::Rig raw;
  ASSERT_TRUE(
      e2e::start_server(raw, {"pattern 0 0 300 200 5", "sleep 300", "sound-pcm 44100 2 2000",
                              "sound-wait-confirms", "fill 100 100 50 50 ff0000", "end"}));
  o.argv = e2e::host_argv(raw.server.port, "60", dir + "/korvane2.log",
                          {"--audio", "--record", dir + "/raw.kvr"});
  const auto live2 = host::run_capture(o, 90000);
  ASSERT_TRUE(live2.status && live2.status->code == 0) << live2.out;
  const auto encoded = run_merged({KORVANE_HOST_PATH, "--replay", dir + "/raw.kvr", "--quiet",
                                   "--png", dir + "/replay.png", "--video", dir + "/raw.mkv"});
  std::smatch m;
  ASSERT_TRUE(std::regex_search(encoded.out, m,
                                std::regex("VIDEO .* mode=encode .* sound_seconds=([0-9.]+) "
                                           "sound_blocks=100 ")))
      << encoded.out;
  EXPECT_FALSE(frame_md5s({"-i", dir + "/raw.mkv"}).empty());
  // The track is 2 s of sound after the silence before it, however late the sound began.
  const auto probe = run_merged({"ffprobe", "-v", "error", "-select_streams", "a", "-show_entries",
                                 "stream=codec_name,sample_rate,channels", "-show_entries",
                                 "format=duration", "-of", "compact", dir + "/raw.mkv"});
  EXPECT_NE(probe.out.find("stream|codec_name=pcm_s16le|sample_rate=44100|channels=2"),
            std::string::npos)
      << probe.out;
  const double track = std::stod(m[1]);
  EXPECT_GE(track, 2.0);
  EXPECT_LT(track, 2.0 + 5.0) << "silence before the sound is at most the session's length";
  const auto replayed = host::read_png(dir + "/replay.png");
  ASSERT_TRUE(replayed);
  // Lossy: the picture resembles the replay's, within a few levels on average.
  const double difference =
      test::last_frame_difference(dir + "/raw.mkv", *replayed, dir + "/last.png");
  EXPECT_GE(difference, 0);
  EXPECT_LT(difference, 6.0);
}
