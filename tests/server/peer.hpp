// Shared by every file of korvane-test-server: the session state of the one
// connected peer, the event log, the table of scenario steps and the hooks a
// channel file (drive.cpp, and later gfx.cpp / clip.cpp) registers into.
//
// A channel file adds itself without touching the other files: it defines
// namespace-scope `const bool` initialisers that call register_step() and
// register_hook(), and is listed in CMakeLists.txt.
#pragma once

#include <freerdp/freerdp.h>
#include <freerdp/peer.h>
#include <winpr/wtsapi.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace kts {

// ---------------------------------------------------------------- log

// Writes one line to the event log (stdout or --log FILE) and flushes it.
void log_line(std::string_view line);
// Writes "ERROR text".
void log_error(std::string_view text);
bool log_open(const std::string& path);
void log_close();
std::uint64_t monotonic_ns();
std::string to_hex(const std::uint8_t* data, std::size_t size);

// ---------------------------------------------------------------- options

enum class Security { tls, nla, rdp };

// What the server does with the display control channel (disp.cpp).
enum class DispMode { none, resize, reactivate };

struct Options {
  std::uint16_t port = 0;  // 0 lets the kernel choose; LISTENING reports the real one
  Security sec = Security::tls;
  std::string sam_file;
  std::string user;
  std::string password;
  std::string log_file;
  std::string dump_dir;
  std::string script_file;
  std::vector<std::string> step_lines;
  DispMode disp = DispMode::none;
  std::uint32_t disp_max_width = 8192;  // the largest monitor the server advertises
  std::uint32_t disp_max_height = 8192;
  std::uint32_t disp_monitors = 1;  // how many monitors the server advertises it takes
  bool unicode_input = true;        // whether the input capability offers Unicode keyboard events
  // Activated peers served, one after another, each from the script's first step: a client
  // that reconnects finds the server again.
  unsigned sessions = 1;
  std::string cert_pem;  // generated at start
  std::string key_pem;
};

// ---------------------------------------------------------------- scenario

struct Step {
  std::size_t index = 0;  // 1-based, as logged in STEP n=
  std::string text;       // the whole trimmed line
  std::string name;
  std::vector<std::string> args;
};

struct Session;

struct StepHandler {
  std::string name;
  std::size_t min_args = 0;
  std::size_t max_args = 0;
  // Validates the arguments before the server starts listening; returns an
  // error text, empty when the step is fine. May be empty (no extra check).
  std::function<std::string(const Step&)> check;
  // Runs the step on the scenario thread; returns an error text, empty on success.
  std::function<std::string(Session&, const Step&)> run;
};

bool register_step(StepHandler handler);
const StepHandler* find_step(std::string_view name);

// A step whose arguments are taken apart once, by `parse`, into a record of its own (whose
// member initialisers are the defaults of optional arguments): the check before the server
// listens is that parse, and the run gets the record it filled. parse returns an error text,
// empty when the arguments are good.
template <class Args>
StepHandler parsed_step(std::string name, std::size_t min_args, std::size_t max_args,
                        std::string (*parse)(const Step&, Args&),
                        std::string (*run)(Session&, const Args&)) {
  return {std::move(name), min_args, max_args,
          [parse](const Step& step) {
            Args args;
            return parse(step, args);
          },
          [parse, run](Session& s, const Step& step) {
            Args args;
            if (std::string error = parse(step, args); !error.empty()) return error;
            return run(s, args);
          }};
}

// Optional argument i as a number (parse_seed's forms): absent leaves `out` as it is.
bool optional_u32(const Step& step, std::size_t i, std::uint32_t& out);

// COUNT [TIMEOUT_MS], shared by the steps that wait for something to happen COUNT times.
struct CountTimeout {
  std::uint32_t count = 0;
  std::uint32_t timeout_ms = 10000;
};
std::string parse_count_timeout(const Step& step, CountTimeout& out);

// Hooks run on the peer thread while it holds Session::io.
struct ChannelHook {
  std::string name;
  // After the connection is up, static channels are joined by then.
  std::function<std::string(Session&)> on_connect;
  // Once, when the dynamic channel manager (drdynvc) is ready.
  std::function<std::string(Session&)> on_dynamic_ready;
  // Every turn of the peer loop.
  std::function<void(Session&)> on_poll;
  // Before the peer is freed; must stop any thread that uses the peer.
  std::function<void(Session&)> on_close;
  // After the scenario thread ended and before on_close, without Session::io: joins threads
  // that take io themselves or call into other channel files, which on_close could not do.
  std::function<void(Session&)> on_stop = {};
};

bool register_hook(ChannelHook hook);
const std::vector<ChannelHook>& hooks();

// True when some step of the script has a name starting with `prefix`; lets
// a channel file stay closed unless its steps are used.
bool script_uses(const Session& session, std::string_view prefix);
// A dump step's path, under --dump-dir when relative.
std::string dump_target(const Session& session, const std::string& path);

// Step arguments: decimal (or, with base 16, hexadecimal) without a sign, at most 32 bits;
// a seed may also be written 0x...
bool parse_u32(const std::string& text, std::uint32_t& out, int base = 10);
bool parse_seed(const std::string& text, std::uint32_t& out);

// Parses the script lines; on failure logs ERROR and returns false.
bool parse_script(const std::vector<std::string>& lines, std::vector<Step>& out);
bool read_script_file(const std::string& path, std::vector<std::string>& lines);
// Runs the steps in order, logging STEP and DONE; false when a step failed.
bool run_scenario(Session& session);

// ---------------------------------------------------------------- picture

struct Rect {
  std::uint32_t x = 0;
  std::uint32_t y = 0;
  std::uint32_t w = 0;
  std::uint32_t h = 0;
};

// RGBA, 4 bytes a pixel, rows top to bottom, no padding.
struct Picture {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::vector<std::uint8_t> rgba;
};

void picture_reset(Picture& picture, std::uint32_t width, std::uint32_t height);
void picture_fill(Picture& picture, const Rect& r, std::uint8_t red, std::uint8_t green,
                  std::uint8_t blue);
// xorshift32 over the pixels of r in row order: state starts at
// seed ^ 0x9E3779B9 (1 if that is 0); for each pixel the state advances
// (x ^= x << 13; x ^= x >> 17; x ^= x << 5) and the pixel is
// R = x & 0xFF, G = (x >> 8) & 0xFF, B = (x >> 16) & 0xFF, A = 255.
void picture_pattern(Picture& picture, const Rect& r, std::uint32_t seed);
bool rect_inside(const Picture& picture, const Rect& r);

// ---------------------------------------------------------------- session

struct Session {
  const Options* options = nullptr;
  std::vector<Step> script;
  freerdp_peer* peer = nullptr;
  HANDLE vcm = nullptr;

  // Serialises all use of the peer connection: the peer thread holds it while
  // FreeRDP reads and dispatches, any other thread while it sends.
  std::mutex io;
  std::atomic<int> io_waiters{0};

  // Set by SIGTERM, by the end of the peer, or by `end`.
  std::atomic<bool> stop{false};

  std::mutex state_mutex;
  std::condition_variable state_cv;
  // Guarded by state_mutex.
  bool active = false;
  std::uint64_t activations = 0;
  bool gone = false;
  bool end_requested = false;
  std::uint64_t input_lines = 0;  // every INPUT line, sync included
  std::uint64_t user_inputs = 0;  // mouse, extmouse, key, unicode
  std::unordered_map<std::string, std::shared_ptr<void>> slots;

  std::mutex picture_mutex;
  Picture picture;  // guarded by picture_mutex
  std::atomic<std::uint32_t> color_depth{32};
};

// Per-session storage for channel files, created on first use.
template <typename T>
std::shared_ptr<T> session_slot(Session& session, const std::string& key) {
  std::scoped_lock lock(session.state_mutex);
  auto& slot = session.slots[key];
  if (!slot) slot = std::make_shared<T>();
  return std::static_pointer_cast<T>(slot);
}

// FreeRDP allocates ContextSize bytes and hands this back as rdpContext*.
struct PeerContext {
  rdpContext base;
  Session* session;
};

Session& session_of(rdpContext* context);

// For threads other than the peer thread.
std::unique_lock<std::mutex> lock_io(Session& session);
// Releases the connection briefly when the peer thread waits for it, so that
// long sends do not delay the receipt of input.
void let_peer_in(Session& session, std::unique_lock<std::mutex>& io);

// Waits until the peer is active (bounded), false on timeout, stop or loss.
bool wait_active(Session& session, std::chrono::milliseconds timeout);
// Interruptible sleep; false when the session is stopping.
bool session_sleep(Session& session, std::chrono::milliseconds duration);
bool session_stopping(Session& session);

// ---------------------------------------------------------------- classic drawing

// Sends the area of the server's picture through bitmap updates in the
// client's colour depth. The caller holds io; `io` may be null on the peer
// thread, which never lets go of the lock. Returns an error text.
std::string send_picture_area(Session& session, std::unique_lock<std::mutex>* io, const Rect& r);
// One planar-compressed bitmap of the whole area (no tiling): up to 64 KiB of planar data.
std::string send_planar_area(Session& session, const Rect& r);
// The same for any RGBA pixels, wherever r lies (a faulty server's bitmaps too).
std::string send_planar_bitmap(Session& session, const Rect& r,
                               const std::vector<std::uint8_t>& pixels);
// Reduces the colours of an area of the picture to what the client can show
// at its depth, so that the picture stays equal to the client's frame buffer.
void fit_picture_to_depth(Picture& picture, std::uint32_t depth, const Rect& r);
// BeginPaint/EndPaint on the server's update interface.
bool begin_paint(Session& session);
bool end_paint(Session& session);

// Logs one "CHANNEL join name=NAME" line.
void log_channel_join(std::string_view name);

}  // namespace kts
