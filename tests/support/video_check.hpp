// What the tests of korvane-host --video ask of ffmpeg: the decoded frames' hashes, and how far
// the last frame is from a picture.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "host/canvas.hpp"
#include "host/png.hpp"
#include "host/process.hpp"

namespace korvane::test {

// Runs a program to its end (2 minutes at most), its standard error with its output.
inline host::RunResult run_merged(std::vector<std::string> argv) {
  host::SpawnOptions o;
  o.argv = std::move(argv);
  o.stderr_path = "-";
  return host::run_capture(o, 120000);
}

// The decoded frames' MD5s as ffmpeg prints them, at the file's own frame times; a line that is
// neither a frame's nor a comment (an error) fails the test.
inline std::vector<std::string> frame_md5s(std::vector<std::string> input) {
  std::vector<std::string> argv = {"ffmpeg", "-nostdin", "-v", "error"};
  argv.insert(argv.end(), input.begin(), input.end());
  for (const char* a : {"-map", "0:v", "-fps_mode", "passthrough", "-f", "framemd5", "-"})
    argv.push_back(a);
  const auto r = run_merged(argv);
  std::vector<std::string> md5s;
  std::istringstream lines(r.out);
  for (std::string line; std::getline(lines, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::smatch m;
    EXPECT_TRUE(std::regex_match(line, m, std::regex(R"(0, .*, ([0-9a-f]{32}))"))) << line;
    if (!m.empty()) md5s.push_back(m[1]);
  }
  EXPECT_TRUE(r.status && r.status->code == 0) << r.out;
  return md5s;
}

// The video's last frame against `want`: the mean difference of its colour channels (0..255),
// or -1 when it cannot be had or its size differs. `scratch` is a PNG path to use.
inline double last_frame_difference(const std::string& video, const host::Canvas& want,
                                    const std::string& scratch) {
  const auto last = run_merged({"ffmpeg", "-nostdin", "-v", "error", "-i", video, "-map", "0:v",
                                "-fps_mode", "passthrough", "-update", "1", "-y", scratch});
  EXPECT_TRUE(last.status && last.status->code == 0) << last.out;
  const auto got = host::read_png(scratch);
  if (!got || got->width != want.width || got->height != want.height) return -1;
  uint64_t difference = 0;
  for (size_t i = 0; i < got->rgba.size(); ++i)
    if (i % 4 != 3) difference += std::abs(got->rgba[i] - want.rgba[i]);
  return static_cast<double>(difference) / static_cast<double>(got->rgba.size() * 3 / 4);
}

}  // namespace korvane::test
