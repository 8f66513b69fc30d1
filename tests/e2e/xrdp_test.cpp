// korvane against xrdp 0.10 (the peer tool's Debian chroot on 127.0.0.1): the host hears of each
// desktop size once. xrdp deactivates and reactivates the session for every size it sets and
// then resets the graphics pipeline, and the library calls the desktop-resize hook for both; a
// host must still get one EVT_RESIZE per size, none repeating the size it already has.
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <fstream>
#include <functional>
#include <cstdio>
#include <cstdlib>
#include <ostream>
#include <regex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "host/audio.hpp"
#include "host/files.hpp"
#include "host/mic.hpp"
#include "host/options.hpp"
#include "host_link/audio_wire.hpp"
#include "rig.hpp"
#include "x_display.hpp"
#ifdef KORVANE_WEB_PATH
#include "devtools.hpp"
#endif

using namespace korvane;
using namespace korvane::e2e;
using Size = std::pair<uint32_t, uint32_t>;

namespace {

// KORVANE_XRDP010_PEER in the environment, else the path CMake found (empty: none).
std::string peer_tool() {
  const char* env = std::getenv("KORVANE_XRDP010_PEER");
  return env && *env ? env : KORVANE_XRDP010_PEER;
}

host::RunResult run_peer(std::vector<std::string> args, std::vector<std::string> env = {}) {
  args.insert(args.begin(), peer_tool());
  // The first start builds the chroot (2-3 minutes).
  return host::run_capture({.argv = std::move(args), .env = std::move(env), .stderr_path = "-"},
                           300000);
}

// Stops the peer when the test ends, passed or not: the next test gets a fresh X session.
struct Peer {
  uint16_t port = 0;
  ~Peer() {
    if (port) run_peer({"stop"});
  }
};

// Starts the peer on a free port; "" or what the tool said.
std::string start_peer(Peer& peer, std::vector<std::string> env = {}) {
  peer.port = test::free_tcp_port();
  const auto started = run_peer({"start", std::to_string(peer.port), "tls"}, std::move(env));
  return started.status && started.status->code == 0 ? ""
                                                     : "the peer did not start: " + started.out;
}

// What the host heard of the desktop's size.
struct Heard {
  Size size{0, 0};
  std::vector<Size> resizes;  // each EVT_RESIZE, in order
  int repeats = 0;            // EVT_RESIZEs of the size the host already had

  void operator()(const host::Frame& f) {
    if ((f.type == EVT_CONNECTED || f.type == EVT_RESIZE) && f.payload.size() >= 8) {
      const Size now{u32_at(f, 0), u32_at(f, 4)};
      if (f.type == EVT_RESIZE) {
        repeats += now == size;
        resizes.push_back(now);
      }
      size = now;
    }
  }
  std::string text() const {
    std::string out = "EVT_RESIZE:";
    for (const Size& r : resizes)
      out += " " + std::to_string(r.first) + "x" + std::to_string(r.second);
    return out + ", repeats " + std::to_string(repeats);
  }
};

// Reads events until the host has the size (bounded), then for quiet_ms more: a repeated
// EVT_RESIZE follows the first within that.
void settle(host::Session& s, Heard& heard, Size want, int quiet_ms = 2000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (heard.size != want && std::chrono::steady_clock::now() < deadline)
    host::pump_events(s, 100, std::ref(heard));
  host::pump_events(s, quiet_ms, std::ref(heard));
}

// What an X client in the chroot prints on the session's display (empty when it cannot run).
std::string in_peer_session(std::vector<std::string> argv) {
  const auto status = run_peer({"status"});
  std::smatch m;
  if (!std::regex_search(status.out, m, std::regex("Xorg (:[0-9]+)"))) return {};
  // With the session's sound server, for the tests with sound (the peer tool's layout).
  const std::string audio = "/tmp/peer-audio-" + m[1].str().substr(1);
  argv.insert(argv.begin(),
              {"chroot", "--userspec=3390:3390", "/opt/peer-trixie", "env", "-i",
               "PATH=/usr/bin:/bin", "HOME=/home/rdptest", "DISPLAY=" + m[1].str(),
               "XDG_RUNTIME_DIR=" + audio, "PULSE_SERVER=unix:" + audio + "/pulse/native"});
  return host::run_capture({.argv = std::move(argv)}, 10000).out;
}
std::string xrandr_in_peer(const char* what) { return in_peer_session({"xrandr", what}); }

// The session's X screen size as xrandr in the chroot tells it (0x0 when it cannot).
Size x_screen_size() {
  const std::string xrandr = xrandr_in_peer("--current");
  std::smatch m;
  if (!std::regex_search(xrandr, m, std::regex("current ([0-9]+) x ([0-9]+)"))) return {0, 0};
  return {static_cast<uint32_t>(std::stoul(m[1])), static_cast<uint32_t>(std::stoul(m[2]))};
}

struct Path {
  const char* name;
  const char* gfx_order;  // XRDP_GFX_ORDER
  uint8_t h264_codecs;    // granted to the host (0: korvane decodes, the host gets rectangles)
};
void PrintTo(const Path& p, std::ostream* os) { *os << p.name; }

class Xrdp : public ::testing::TestWithParam<Path> {};

TEST_P(Xrdp, EachDesktopSizeReachesTheHostOnce) {
  if (peer_tool().empty() || access(peer_tool().c_str(), X_OK) != 0)
    GTEST_SKIP() << "no xrdp 0.10 peer tool (set KORVANE_XRDP010_PEER)";
  if (geteuid() != 0) GTEST_SKIP() << "the xrdp 0.10 peer (a chroot) needs root";
  Peer peer;
  ASSERT_EQ(start_peer(peer, {std::string("XRDP_GFX_ORDER=") + GetParam().gfx_order}), "");

  Rig rig;
  rig.scratch = test::make_temp_dir("korvane-xrdp");
  std::vector<ExtensionField> fields;
  if (GetParam().h264_codecs) fields.push_back({FIELD_H264_CODECS, {GetParam().h264_codecs}});
  const uint32_t mask = EXT_RESIZE | (GetParam().h264_codecs ? EXT_H264 : 0u);
  ASSERT_TRUE(start_korvane(rig, {.username = "rdptest", .password = "rdptest"},
                            encode_extensions(mask, fields), peer.port));
  host::Session& s = *rig.korvane;
  Heard heard;
  ASSERT_TRUE(host::wait_for_event(s, EVT_CONNECTED, 60000, std::ref(heard)))
      << korvane_stderr(rig);
  settle(s, heard, heard.size);
  EXPECT_EQ(heard.repeats, 0) << "after EVT_CONNECTED: " << heard.text();

  // One size: one EVT_RESIZE.
  const Size one{1280, 720};
  size_t from = heard.resizes.size();
  ASSERT_TRUE(host::send_command(s, CMD_RESIZE, encode_size(one.first, one.second)));
  settle(s, heard, one);
  EXPECT_EQ(
      std::vector<Size>(heard.resizes.begin() + static_cast<ptrdiff_t>(from), heard.resizes.end()),
      std::vector<Size>{one})
      << heard.text();

  // A burst (a window being dragged): whatever sizes korvane reports, each once, the last one
  // asked for last; the session's X screen has it too.
  from = heard.resizes.size();
  const int repeats_before = heard.repeats;
  Size last;
  for (uint32_t i = 0; i < 10; ++i) {
    last = {800 + 48 * i, 600 + 16 * i};
    ASSERT_TRUE(host::send_command(s, CMD_RESIZE, encode_size(last.first, last.second)));
    host::pump_events(s, 10, std::ref(heard));
  }
  settle(s, heard, last);
  EXPECT_EQ(heard.size, last) << heard.text();
  EXPECT_EQ(heard.repeats, repeats_before) << "burst: " << heard.text();
  EXPECT_GT(heard.resizes.size(), from) << heard.text();
  EXPECT_EQ(x_screen_size(), last);

  const auto end = host::finish_session(s, 15000);
  EXPECT_TRUE(end.disconnected) << korvane_stderr(rig);
  std::printf("%s: %s\n", GetParam().name, heard.text().c_str());
}

// xrdp sends H.264 by default: korvane decodes it (rectangles) or passes it on (EVT_H264);
// with RemoteFX first in its order it sends RemoteFX Progressive.
INSTANTIATE_TEST_SUITE_P(Codecs, Xrdp,
                         ::testing::Values(Path{"Rectangles", "H.264,RFX", 0},
                                           Path{"H264", "H.264,RFX", H264_AVC420},
                                           Path{"Progressive", "RFX", 0}),
                         [](const ::testing::TestParamInfo<Path>& p) {
                           return std::string(p.param.name);
                         });

// Debian's xrdp 0.9 takes several monitors at connect, and they become its X server's RandR
// monitors; the host cuts each from the one desktop korvane sends.
host::RunResult run_xrdp09(std::vector<std::string> args, std::vector<std::string> env = {}) {
  args.insert(args.begin(), {"bash", KORVANE_XRDP09_PEER});
  return host::run_capture({.argv = std::move(args), .env = std::move(env), .stderr_path = "-"},
                           60000);
}

// Stops the instance on `port` when the test ends, however it ends.
struct Xrdp09Stop {
  std::string port;
  ~Xrdp09Stop() { run_xrdp09({"stop", port}); }
};

// "WxH+X+Y[*],..." of the monitors `xrandr --listmonitors` printed.
std::string randr_monitors(const std::string& listed) {
  std::string layout;
  const std::regex line(R"(\d+: \+(\*?)\S+ (\d+)/\d+x(\d+)/\d+\+(\d+)\+(\d+))");
  for (std::sregex_iterator m(listed.begin(), listed.end(), line), end; m != end; ++m)
    layout += (layout.empty() ? "" : ",") + (*m)[2].str() + "x" + (*m)[3].str() + "+" +
              (*m)[4].str() + "+" + (*m)[5].str() + (*m)[1].str();
  return layout;
}

// A tone heard: its frequency from the median time between rising zero crossings, and how long
// it lasted, counting the cycles within a tenth of that. Only cycles that reach `loud` count:
// xrdp's sound may begin with a fragment of the tone and a gap, and may miss a packet in its first
// second, and the silence around it crosses zero too.
struct Tone {
  double hz = 0, seconds = 0;
};
template <typename Sample>
Tone tone_in(size_t count, double rate, double loud, Sample sample) {
  std::vector<double> periods;
  double rise = -1, peak = 0;
  for (size_t i = 1; i < count; ++i) {
    const double before = sample(i - 1), now = sample(i);
    peak = std::max(peak, std::abs(now));
    if (before >= 0 || now < 0) continue;
    const double at = static_cast<double>(i - 1) + before / (before - now);
    if (rise >= 0 && peak > loud) periods.push_back(at - rise);
    rise = at, peak = 0;
  }
  if (periods.empty()) return {};
  std::vector<double> sorted = periods;
  std::nth_element(sorted.begin(), sorted.begin() + static_cast<long>(sorted.size() / 2),
                   sorted.end());
  const double period = sorted[sorted.size() / 2];
  double cycles = 0;
  for (const double p : periods) cycles += std::abs(p - period) < period / 10;
  return {rate / period, cycles * period / rate};
}

// What a host hears: its picture, and the layout it was told last.
struct Watched {
  host::Canvas canvas;
  MonitorLayout told;
  std::vector<std::string> layouts;  // each EVT_MONITORS
  void operator()(const host::Frame& f) {
    if (f.type == EVT_CONNECTED || f.type == EVT_RESIZE)
      host::resize_canvas(canvas, u32_at(f, 0), u32_at(f, 4));
    if (f.type == EVT_RECT) host::paint_rect(canvas, f.payload);
    if (f.type == EVT_MONITORS) {
      told = parse_layout(f.payload).value_or(MonitorLayout{});
      layouts.push_back(host::layout_text(told));
    }
  }
};

// Each monitor's part of the host's picture is that region of the X screen.
void expect_each_monitor_shows_its_region(const Watched& w,
                                          const std::optional<host::Canvas>& shot) {
  ASSERT_TRUE(shot);
  ASSERT_EQ(shot->width, w.canvas.width);
  ASSERT_EQ(shot->height, w.canvas.height);
  // xrdp 0.9 leaves its pixels' fourth byte zero; the host's picture is opaque all the same.
  for (size_t i = 3; i < w.canvas.rgba.size(); i += 4) ASSERT_EQ(w.canvas.rgba[i], 255) << i / 4;
  for (const Monitor& m : w.told) {
    const auto cut = [&](const host::Canvas& from) {
      host::Canvas part;
      host::resize_canvas(part, m.width, m.height);
      for (uint32_t row = 0; row < m.height; ++row)
        std::copy_n(&from.rgba[(size_t{m.top + row} * from.width + m.left) * 4], m.width * 4,
                    &part.rgba[size_t{row} * m.width * 4]);
      return part;
    };
    const auto diff = test::compare_rgb(cut(w.canvas), cut(*shot), 40);
    ASSERT_TRUE(diff);
    EXPECT_GT(diff->within, 0.95) << "monitor at " << m.left << "," << m.top;
  }
}

std::string randr_monitors(const test::XServer& x) {
  std::string out;
  return test::run_x(x, {"xrandr", "--listmonitors"}, &out) ? randr_monitors(out) : "xrandr failed";
}

TEST(Xrdp09, MonitorsAtConnectAreTheSessionsRandRMonitors) {
  if (geteuid() != 0 || access("/usr/sbin/xrdp", X_OK) != 0)
    GTEST_SKIP() << "xrdp 0.9 (scripts/setup.sh installs it) runs its sessions as root only";
  const std::string port = std::to_string(test::free_tcp_port());
  const Xrdp09Stop stop{port};
  const auto started = run_xrdp09({"start", port});
  ASSERT_TRUE(started.status && started.status->code == 0) << started.out;

  Rig rig;
  rig.scratch = test::make_temp_dir("korvane-xrdp09");
  const MonitorLayout two = *host::parse_layout_text("1280x1024+0+0*,1024x768+1280+0");
  const ExtensionField fields[] = {{FIELD_MONITORS, encode_layout(two)}};
  ASSERT_TRUE(start_korvane(rig, {.username = "korvane-xrdp", .password = "korvane-xrdp-pw"},
                            encode_extensions(EXT_MONITORS | EXT_RESIZE, fields),
                            static_cast<uint16_t>(std::stoi(port))));
  Watched w;
  const auto paint = std::ref(w);
  ASSERT_TRUE(host::wait_for_event(*rig.korvane, EVT_MONITORS, 60000, paint))
      << korvane_stderr(rig);
  EXPECT_EQ(host::layout_text(w.told), host::layout_text(two));
  const auto display = run_xrdp09({"display", port});
  ASSERT_TRUE(display.status && display.status->code == 0) << display.out;
  test::XServer x;
  x.display = std::stoi(display.out.substr(display.out.find(':') + 1));
  std::string error;
  ASSERT_TRUE(test::draw_desktop(x, "#336699", &error)) << error;
  EXPECT_EQ(randr_monitors(x), host::layout_text(two));
  host::pump_events(*rig.korvane, 2000, paint);

  expect_each_monitor_shows_its_region(w, test::screenshot(x, &error));

  // A third monitor through the display control channel: xrdp 0.9 takes the size, and its RandR
  // monitors stay those of the connection (printed for the record).
  ASSERT_TRUE(host::send_command(
      *rig.korvane, CMD_MONITORS,
      encode_layout(*host::parse_layout_text("1280x1024+0+0*,1024x768+1280+0,800x600+2304+0"))));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (w.canvas.width != 3104 && std::chrono::steady_clock::now() < deadline)
    host::pump_events(*rig.korvane, 100, paint);
  EXPECT_EQ(w.canvas.width, 3104);
  std::printf("xrdp 0.9 after a change to three monitors: RandR %s, EVT_MONITORS %s\n",
              randr_monitors(x).c_str(), host::layout_text(w.told).c_str());
  host::finish_session(*rig.korvane, 15000, {});
}

// Files through xrdp 0.9's clipboard (its chansrv, with the FUSE folder it pastes files from):
// one copied in the session with xclip reaches the host byte for byte, then one the host offers
// is pasted in the session byte for byte. xrdp reads the host's file 128 KiB at a time, without
// asking its size: the list's size is the one it goes by.
TEST(Xrdp09, FilesCrossTheClipboardBothWays) {
  const passwd* user = getpwnam("korvane-xrdp");
  if (geteuid() != 0 || access("/usr/sbin/xrdp", X_OK) != 0 || access("/usr/bin/xclip", X_OK) != 0)
    GTEST_SKIP() << "xrdp 0.9 and xclip (scripts/setup.sh installs them) run as root only";
  const std::string port = std::to_string(test::free_tcp_port());
  const Xrdp09Stop stop{port};
  const auto started = run_xrdp09({"start", port}, {"KORVANE_XRDP_CLIPBOARD=1"});
  ASSERT_TRUE(started.status && started.status->code == 0) << started.out;
  Rig rig;
  rig.scratch = test::make_temp_dir("korvane-xrdp09");
  ASSERT_TRUE(start_korvane(rig, {.username = "korvane-xrdp", .password = "korvane-xrdp-pw"},
                            encode_extensions(EXT_FILES, {}),
                            static_cast<uint16_t>(std::stoi(port))));
  const auto display = run_xrdp09({"display", port});
  ASSERT_TRUE(display.status && display.status->code == 0) << display.out;
  const std::string d = display.out.substr(0, display.out.find('\n'));
  user = user ? user : getpwnam("korvane-xrdp");  // made by start
  ASSERT_TRUE(user);
  auto bytes = [](size_t n, unsigned seed) {
    std::vector<uint8_t> out(n);
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>((i * seed) ^ (i >> 9));
    return out;
  };
  const auto down = bytes(300007, 7), up = bytes(500009, 13);
  const std::string home = user->pw_dir, copied = home + "/korvane-down.bin";
  {
    std::ofstream f(copied, std::ios::binary);
    f.write(reinterpret_cast<const char*>(down.data()), static_cast<std::streamsize>(down.size()));
  }
  struct Remove {
    std::string path;
    ~Remove() { std::remove(path.c_str()); }
  } remove_copied{copied};
  ASSERT_EQ(chown(copied.c_str(), user->pw_uid, user->pw_gid), 0);
  const auto copy = run_xrdp09({"as-user", port, d, "sh", "-c",
                                "printf 'file://" + copied +
                                    "' | xclip -selection clipboard -t text/uri-list -i "
                                    ">/dev/null 2>&1"});
  ASSERT_TRUE(copy.status && copy.status->code == 0) << copy.out;

  host::FileFetch fetch;
  fetch.send = [&](uint8_t type, std::span<const uint8_t> p) {
    return host::send_command(*rig.korvane, type, p);
  };
  std::vector<uint8_t> fetched;
  std::string error;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!fetch.done() && error.empty() && std::chrono::steady_clock::now() < deadline) {
    host::Frame f;
    if (host::next_event(*rig.korvane, 200, f) != host::ReadStatus::frame) continue;
    if (const auto piece = fetch.on_event(f, error)) {
      fetched.resize(std::max<size_t>(fetched.size(), piece->position + piece->bytes.size()));
      std::copy(piece->bytes.begin(), piece->bytes.end(), fetched.begin() + piece->position);
    }
  }
  ASSERT_TRUE(fetch.done()) << error << korvane_stderr(rig);
  ASSERT_EQ(fetch.files.size(), 1u);
  EXPECT_EQ(fetch.files[0].name, "korvane-down.bin");
  EXPECT_TRUE(fetched == down) << fetched.size() << " bytes, not the file copied";

  host::FileOffer offer;
  offer.files = {{"korvane up.bin", up.size()}};  // xrdp's folder keeps the blank as it is
  offer.read = [&](size_t, uint64_t pos, uint32_t len) {
    const size_t from = std::min<size_t>(pos, up.size());
    return std::optional(std::vector<uint8_t>(
        up.begin() + static_cast<long>(from),
        up.begin() + static_cast<long>(std::min<size_t>(from + len, up.size()))));
  };
  ASSERT_TRUE(host::send_command(*rig.korvane, CMD_CLIP_DATA, offer.data_payload()));
  ASSERT_TRUE(host::send_command(*rig.korvane, CMD_CLIP_FORMATS, offer.formats_payload()));
  const std::string pasted = "/tmp/korvane-xrdp09-pasted-" + port;
  std::string spawn_error;
  auto paste = host::spawn(
      {.argv = {"bash", KORVANE_XRDP09_PEER, "as-user", port, d, "sh", "-c",
                "p=$(xclip -selection clipboard -t text/uri-list -o) && cp \"${p#file://}\" " +
                    pasted},
       .stderr_path = rig.scratch.path + "/paste.err"},
      &spawn_error);
  ASSERT_TRUE(paste) << spawn_error;
  std::optional<host::ExitStatus> pasted_status;
  while (!pasted_status && std::chrono::steady_clock::now() < deadline + std::chrono::seconds(60)) {
    host::Frame f;
    if (host::next_event(*rig.korvane, 100, f) == host::ReadStatus::frame &&
        f.type == EVT_CLIP_FILE_REQUEST) {
      ASSERT_TRUE(host::send_command(*rig.korvane, CMD_CLIP_FILE_DATA, *offer.answer(f.payload)));
    }
    pasted_status = host::wait_exit(*paste, 0);
  }
  ASSERT_TRUE(pasted_status && pasted_status->code == 0)
      << test::read_file(rig.scratch.path + "/paste.err");
  const std::string got = test::read_file(pasted);
  std::remove(pasted.c_str());
  // A failed read still ends cp well with nothing: the bytes are what tell.
  EXPECT_TRUE(std::vector<uint8_t>(got.begin(), got.end()) == up) << got.size() << " bytes pasted";
  host::finish_session(*rig.korvane, 15000, {});
}

// xrdp 0.10 takes the monitors at connect and a change through the display control channel,
// over the graphics pipeline: its RandR monitors follow, and so does the host's picture.
TEST(Xrdp010, MonitorsAtConnectAndAChangeAreTheSessionsRandRMonitors) {
  if (peer_tool().empty() || access(peer_tool().c_str(), X_OK) != 0 || geteuid() != 0)
    GTEST_SKIP() << "no xrdp 0.10 peer tool (set KORVANE_XRDP010_PEER), or not root";
  Peer peer;
  ASSERT_EQ(start_peer(peer), "");
  Rig rig;
  rig.scratch = test::make_temp_dir("korvane-xrdp");
  const std::string two = "1280x1024+0+0*,1024x768+1280+0",
                    three = "1280x1024+0+0*,1024x768+1280+0,800x600+2304+0";
  // No H.264 codec of the host's: korvane offers none, decodes what comes, sends rectangles.
  const ExtensionField fields[] = {{FIELD_MONITORS, encode_layout(*host::parse_layout_text(two))},
                                   {FIELD_H264_CODECS, {0}}};
  ASSERT_TRUE(start_korvane(rig, {.username = "rdptest", .password = "rdptest"},
                            encode_extensions(EXT_MONITORS | EXT_H264, fields), peer.port));
  Watched w;
  const auto hear = std::ref(w);
  // The session's X server takes its layout a moment after the connection (bounded).
  const auto randr_becomes = [&](const std::string& want) {
    std::string now;
    for (int i = 0; i < 40 && (now = randr_monitors(xrandr_in_peer("--listmonitors"))) != want; ++i)
      host::pump_events(*rig.korvane, 500, hear);
    return now;
  };
  ASSERT_TRUE(host::wait_for_event(*rig.korvane, EVT_MONITORS, 60000, hear)) << korvane_stderr(rig);
  EXPECT_EQ(randr_becomes(two), two);
  ASSERT_TRUE(host::send_command(*rig.korvane, CMD_MONITORS,
                                 encode_layout(*host::parse_layout_text(three))));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (w.layouts.back() != three && std::chrono::steady_clock::now() < deadline)
    host::pump_events(*rig.korvane, 100, hear);
  host::pump_events(*rig.korvane, 2000, hear);
  EXPECT_EQ(w.layouts, (std::vector<std::string>{two, three}));
  EXPECT_EQ(randr_becomes(three), three);
  // Decoded on korvane's side from what the pipeline sent.
  const std::string xwd = in_peer_session({"xwd", "-root", "-silent"});
  expect_each_monitor_shows_its_region(
      w, test::parse_xwd(std::span(reinterpret_cast<const uint8_t*>(xwd.data()), xwd.size())));
  host::finish_session(*rig.korvane, 15000, {});
}

// xrdp 0.10 with sound in its sessions, and a rig for korvane.
class Xrdp010Sound : public ::testing::Test {
 protected:
  void SetUp() override {
    if (peer_tool().empty() || access(peer_tool().c_str(), X_OK) != 0 || geteuid() != 0)
      GTEST_SKIP() << "no xrdp 0.10 peer tool (set KORVANE_XRDP010_PEER), or not root";
    ASSERT_EQ(start_peer(peer, {"XRDP_AUDIO=1"}), "");
    rig.scratch = test::make_temp_dir("korvane-xrdp");
  }
  Peer peer;
  Rig rig;
};

// xrdp 0.10 with sound names Opus 0x0069: a host that decodes Opus gets it under korvane's one
// Opus tag, and it decodes to the tone played in the session.
TEST_F(Xrdp010Sound, OpusFromTheSessionReachesTheHostAsOpusAndIsTheTonePlayed) {
  const ExtensionField fields[] = {{FIELD_AUDIO_CODECS, {AUDIO_CODEC_OPUS}}};
  ASSERT_TRUE(start_korvane(rig, {.username = "rdptest", .password = "rdptest"},
                            encode_extensions(EXT_AUDIO, fields), peer.port));
  std::vector<AudioFormat> formats;
  std::vector<std::vector<uint8_t>> blocks;  // those after the last format
  const auto hear = [&](const host::Frame& f) {
    if (f.type == EVT_AUDIO_FORMAT) {
      if (auto format = parse_audio_format(f.payload)) formats.push_back(*format);
      blocks.clear();
    } else if (auto d = f.type == EVT_AUDIO_DATA ? parse_audio_data(f.payload) : std::nullopt) {
      blocks.emplace_back(d->bytes.begin(), d->bytes.end());
    }
  };
  ASSERT_TRUE(host::wait_for_event(*rig.korvane, EVT_CONNECTED, 60000, hear))
      << korvane_stderr(rig);
  host::RunResult tone;
  std::atomic<bool> played{false};
  std::thread player([&] {
    tone = run_peer({"tone", "2", "440"});
    played = true;
  });
  while (!played) host::pump_events(*rig.korvane, 100, hear);  // bounded by the tool's wait
  player.join();
  host::pump_events(*rig.korvane, 2000, hear);
  ASSERT_TRUE(tone.status->code == 0) << tone.out;
  ASSERT_FALSE(formats.empty()) << korvane_stderr(rig);
  EXPECT_EQ(formats.back().tag, AUDIO_TAG_OPUS);
  std::vector<float> pcm;
  ASSERT_EQ(host::decode_opus(formats.back(), blocks, pcm), "");
  // xrdp feeds its 44.1 kHz sound to an encoder at Opus's 48 kHz, so the decoded samples play at
  // the format's rate, not at 48 kHz (the tone would be 9% high).
  const Tone heard =
      tone_in(pcm.size(), formats.back().samples_per_sec, 0.2, [&](size_t i) { return pcm[i]; });
  // The session's first moments of sound may go before its channel is up: half a second is enough.
  ASSERT_GE(heard.seconds, 0.5) << "of the tone in " << pcm.size() << " samples";
  EXPECT_NEAR(heard.hz, 440, 5) << blocks.size() << " Opus blocks at "
                                << formats.back().samples_per_sec;
  host::finish_session(*rig.korvane, 15000, {});
}

// xrdp 0.10 with sound: a 440 Hz tone the host sends as its microphone is what an application
// recording in the session hears.
TEST_F(Xrdp010Sound, TheHostsMicrophoneIsRecordedInTheSession) {
  // xrdp offers 44.1 kHz stereo: 10 s of the tone in it.
  host::MicSender mic;
  mic.source = {2, 44100, {}};
  for (int i = 0; i < 44100 * 10; ++i) {
    const auto v = static_cast<int16_t>(std::lround(12000 * std::sin(2 * M_PI * 440 * i / 44100)));
    for (int c = 0; c < 4; ++c) mic.source.bytes.push_back(static_cast<uint8_t>(v >> (c % 2 * 8)));
  }
  const ExtensionField fields[] = {{FIELD_MIC_FORMATS, {MIC_PCM_44100_STEREO}}};
  ASSERT_TRUE(start_korvane(rig, {.username = "rdptest", .password = "rdptest"},
                            encode_extensions(EXT_MICROPHONE, fields), peer.port));
  std::string problem;
  const auto hear = [&](const host::Frame& f) {
    problem += mic.on_event(f, std::chrono::steady_clock::now());
  };
  ASSERT_TRUE(host::wait_for_event(*rig.korvane, EVT_CONNECTED, 60000, hear))
      << korvane_stderr(rig);
  // The session's sound comes up a moment after the session (bounded).
  for (int i = 0;
       i < 50 && in_peer_session({"pactl", "list", "short", "sources"}).find("xrdp-source") ==
                     std::string::npos;
       ++i)
    host::pump_events(*rig.korvane, 200, hear);
  // xrdp opens the microphone when an application records: 8 s of it.
  const char* recording = "/tmp/korvane-mic.wav";
  std::atomic<bool> recorded{false};
  std::thread recorder([&] {
    in_peer_session(
        {"timeout", "8", "parecord", "--device=xrdp-source", "--file-format=wav", recording});
    recorded = true;
  });
  while (!recorded) {  // bounded by the recorder's time-outs
    for (const auto& block : mic.due(std::chrono::steady_clock::now()))
      ASSERT_TRUE(host::send_command(*rig.korvane, CMD_AUDIO_IN, block));
    host::pump_events(*rig.korvane, 10, hear);
  }
  recorder.join();
  EXPECT_EQ(problem, "");
  EXPECT_GT(mic.sent, 0u) << "the microphone never opened\n" << korvane_stderr(rig);
  std::string error;
  const std::string file = test::read_file(std::string("/opt/peer-trixie") + recording);
  const auto wav =
      host::parse_wav(std::span(reinterpret_cast<const uint8_t*>(file.data()), file.size()), error);
  ASSERT_TRUE(wav) << error;
  const size_t frame = size_t{wav->channels} * 2;
  const Tone tone = tone_in(wav->bytes.size() / frame, wav->rate, 6000, [&](size_t i) {
    return static_cast<int16_t>(wav->bytes[i * frame] | wav->bytes[i * frame + 1] << 8);
  });
  ASSERT_GE(tone.seconds, 2) << "of the tone recorded\n" << korvane_stderr(rig);
  EXPECT_NEAR(tone.hz, 440, 3);
  host::finish_session(*rig.korvane, 15000, {});
}

#ifdef KORVANE_WEB_PATH
// The web gateway's page in Chromium, against xrdp 0.10 with sound: a browser that decodes Opus
// gets xrdp's Opus and plays it through WebCodecs' AudioDecoder without an error.
TEST_F(Xrdp010Sound, ThePagePlaysXrdpsOpusThroughAudioDecoder) {
  if (access("/usr/bin/chromium", X_OK) != 0) GTEST_SKIP() << "chromium is not installed";
  std::string error;
  auto gateway =
      test::start_gateway(KORVANE_WEB_PATH, KORVANE_PATH, rig.scratch.path,
                          "[target xrdp]\nhost = 127.0.0.1\nport = " + std::to_string(peer.port) +
                              "\nuser = rdptest\npassword = rdptest\nflags = 1\n",
                          &error);
  ASSERT_TRUE(gateway) << error;
  auto browser = test::start_browser(rig.scratch.path + "/chromium.log", 1024, 768);
  ASSERT_TRUE(browser);
  const auto tab = test::open_tab(*browser, "http://127.0.0.1:" + std::to_string(gateway->port) +
                                                "/?target=xrdp&connect=1&codec=raw");
  ASSERT_TRUE(tab);
  ASSERT_TRUE(test::wait_page(*browser, *tab, "window.korvane.phase === 'connected'", 60000))
      << test::page_state(*browser, *tab);
  const auto tone = run_peer({"tone", "2", "440"});
  EXPECT_TRUE(tone.status->code == 0) << tone.out;
  EXPECT_TRUE(test::wait_page(*browser, *tab,
                              "window.korvane.sound.format === '0x704f 2 ch 44100 Hz' && "
                              "window.korvane.sound.decoded >= 10 && "
                              "window.korvane.sound.errors === 0 && "
                              "window.korvane.sound.played > 0.5",
                              10000))
      << test::page_state(*browser, *tab);
}
#endif

}  // namespace
