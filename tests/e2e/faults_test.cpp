// Sessions whose host or server misbehaves: a host that vanishes, a server killed, frozen or
// cut off mid-stream, a flood of garbage, a host that stops reading.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sys/stat.h>

#include "rdp_fixture.hpp"

using namespace korvane;
using namespace korvane::e2e;
using namespace std::chrono;

namespace {

std::string why(Rig& rig) { return "korvane:\n" + korvane_stderr(rig) + "\nserver:\n" + server_log(rig); }

}  // namespace

TEST(GoneHost, ClosingBothPipesMidStreamEndsKorvaneAndTheServerSession) {
  auto rig = start_rig({"stream-until-input"}, ConnectRequest{.width = 640, .height = 480});
  ASSERT_TRUE(rig);
  ASSERT_TRUE(host::wait_for_event(*rig->korvane, EVT_CONNECTED, 20000));
  ASSERT_TRUE(test::wait_for_prefix(*rig->server.process, "STEP n=1", 10000));
  int rects = 0;
  host::pump_events(*rig->korvane, 300, [&](const host::Frame& f) { rects += f.type == EVT_RECT; });
  ASSERT_GT(rects, 0) << why(*rig);

  const auto start = steady_clock::now();
  rig->korvane->child.stdout_fd.reset();
  host::close_stdin(rig->korvane->child);
  const auto status = host::wait_exit(rig->korvane->child, 3000);
  const auto took = steady_clock::now() - start;
  ASSERT_TRUE(status) << "still running 3 s after its host went\n" << why(*rig);
  EXPECT_LT(took, 1s) << duration_cast<milliseconds>(took).count() << " ms";
  EXPECT_EQ(status->signal, 0);
  EXPECT_EQ(status->code, 1);
  EXPECT_NE(korvane_stderr(*rig).find("the host's output is closed"), std::string::npos)
      << why(*rig);
  // A clean disconnect: the server saw the client leave, not a broken connection it had to
  // time out.
  EXPECT_TRUE(test::wait_for_prefix(*rig->server.process, "DISCONNECTED", 5000)) << why(*rig);
}

TEST(GoneHost, EndOfInputAloneKeepsTheSessionWhileTheHostReads) {
  auto rig = start_rig({"stream 40", "sleep 300", "end"}, ConnectRequest{.width = 320, .height = 240});
  ASSERT_TRUE(rig);
  ASSERT_TRUE(host::wait_for_event(*rig->korvane, EVT_CONNECTED, 20000));
  host::close_stdin(rig->korvane->child);
  int rects = 0;
  const auto end = host::finish_session(*rig->korvane, 20000,
                                        [&](const host::Frame& f) { rects += f.type == EVT_RECT; },
                                        false);
  EXPECT_TRUE(end.disconnected) << why(*rig);
  EXPECT_GT(rects, 0);
  ASSERT_TRUE(end.exit);
  EXPECT_EQ(end.exit->code, 0);
}

namespace {

struct Probe {
  const char* mode;
  std::string path;
};

// Every name below `dir`, with its size and modification time, so that anything read into,
// written, created or deleted there shows (reading is shown by the server's answer instead).
std::map<std::string, std::pair<off_t, int64_t>> tree_of(const std::string& dir) {
  std::map<std::string, std::pair<off_t, int64_t>> out;
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(dir, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    struct stat st{};
    if (lstat(it->path().c_str(), &st) != 0) continue;
    out[it->path().string()] = {st.st_size, static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 +
                                                st.st_mtim.tv_nsec};
  }
  return out;
}

}  // namespace

TEST(HostileDrive, PathsOutsideTheFolderAreRefusedAndNothingAroundItChanges) {
  // root/share is the redirected folder; root/share2 and root/outside lie beside it.
  auto root = test::make_temp_dir("korvane-drive");
  const std::string share = root.path + "/share";
  for (const std::string dir : {share, root.path + "/share2", root.path + "/outside"})
    std::filesystem::create_directory(dir);
  for (const std::string file : {share + "/inside.txt", root.path + "/share2/secret.txt",
                                 root.path + "/outside/secret.txt", root.path + "/top.txt"}) {
    std::ofstream(file) << "secret";
  }
  // Modification times are compared after the session: let a later write show.
  const auto before = tree_of(root.path);

  const std::vector<Probe> hostile = {
      {"read", "\\..\\outside\\secret.txt"},
      {"read", "\\..\\top.txt"},
      {"read", "/../top.txt"},
      {"read", "\\.."},
      {"read", "\\..."},
      {"read", "2\\secret.txt"},
      {"read", "..\\top.txt"},
      {"write", "2\\made.txt"},
      {"write", "\\..\\made.txt"},
      {"write", "\\sub\\..\\..\\made.txt"},
      {"write", "C:\\made.txt"},
      {"write", "\\C:\\made.txt"},
      {"write", "\\\\?\\C:\\made.txt"},
      {"write", "\\\\.\\PHYSICALDRIVE0"},
      {"write", "\\CON"},
      {"write", "\\nul.txt"},
      {"write", "\\inside.txt:stream"},
      {"mkdir", "\\..\\made"},
  };
  // What stays inside still works. The test server's library completes no further create-directory or
  // delete request after one the client refused, so only one of them is tried; its write request
  // gets no completion here, so a "write" probe stops at the open (which creates the file).
  std::vector<std::string> steps = {"drive-probe read \\inside.txt"};
  for (const auto& p : hostile) steps.push_back(std::string("drive-probe ") + p.mode + " " + p.path);
  steps.push_back("end");

  ConnectRequest r;
  r.drive = share;
  auto rig = start_rig(steps, r);
  ASSERT_TRUE(rig);
  const auto end = host::finish_session(*rig->korvane, 60000, {}, false);
  EXPECT_TRUE(end.disconnected) << why(*rig);
  const std::string log = server_log(*rig);
  ASSERT_EQ(log.find("ERROR"), std::string::npos) << why(*rig);

  for (const auto& p : hostile) {
    const std::string prefix = std::string("DRIVE mode=") + p.mode + " path=" + p.path + " status=";
    const auto at = log.find(prefix);
    ASSERT_NE(at, std::string::npos) << prefix << "\n" << why(*rig);
    EXPECT_NE(log.substr(at + prefix.size(), 10), "0x00000000") << p.mode << " " << p.path;
  }
  EXPECT_NE(log.find("DRIVE mode=read path=\\inside.txt status=0x00000000"), std::string::npos)
      << log;

  auto after = tree_of(root.path);
  EXPECT_EQ(after, before) << "the file system around the folder changed";
}
