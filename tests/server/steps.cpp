#include "peer.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace kts {

bool parse_u32(const std::string& text, std::uint32_t& out, int base) {
  if (text.empty() || text[0] == '-' || text[0] == '+') return false;
  errno = 0;
  char* end = nullptr;
  const unsigned long long v = std::strtoull(text.c_str(), &end, base);
  if (errno != 0 || end == text.c_str() || *end != '\0' || v > 0xFFFFFFFFULL) return false;
  out = static_cast<std::uint32_t>(v);
  return true;
}

bool parse_seed(const std::string& text, std::uint32_t& out) {
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
    return parse_u32(text.substr(2), out, 16);
  return parse_u32(text, out);
}

bool optional_u32(const Step& step, std::size_t i, std::uint32_t& out) {
  return step.args.size() <= i || parse_seed(step.args[i], out);
}

std::string parse_count_timeout(const Step& step, CountTimeout& out) {
  if (!parse_u32(step.args[0], out.count)) return "bad count";
  if (step.args.size() > 1 && !parse_u32(step.args[1], out.timeout_ms)) return "bad timeout";
  return {};
}

namespace {

std::vector<StepHandler>& step_table() {
  static std::vector<StepHandler> table;
  return table;
}

std::vector<ChannelHook>& hook_table() {
  static std::vector<ChannelHook> table;
  return table;
}

std::string trim(const std::string& s) {
  const auto begin = s.find_first_not_of(" \t\r\n");
  if (begin == std::string::npos) return {};
  const auto end = s.find_last_not_of(" \t\r\n");
  return s.substr(begin, end - begin + 1);
}

bool parse_rect(const Step& step, std::size_t first, Rect& r) {
  return parse_u32(step.args[first], r.x) && parse_u32(step.args[first + 1], r.y) &&
         parse_u32(step.args[first + 2], r.w) && parse_u32(step.args[first + 3], r.h) && r.w > 0 &&
         r.h > 0;
}

bool parse_color(const std::string& text, std::uint8_t& red, std::uint8_t& green,
                 std::uint8_t& blue) {
  std::uint32_t v = 0;
  if (text.size() != 6 || text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos ||
      !parse_u32(text, v, 16))
    return false;
  red = static_cast<std::uint8_t>(v >> 16);
  green = static_cast<std::uint8_t>(v >> 8);
  blue = static_cast<std::uint8_t>(v);
  return true;
}

constexpr std::chrono::milliseconds activation_timeout{10000};

// One paint: `send` runs between BeginPaint and EndPaint, with the peer's input held.
std::string paint_once(Session& s,
                       const std::function<std::string(std::unique_lock<std::mutex>&)>& send) {
  auto io = lock_io(s);
  if (!begin_paint(s)) return "BeginPaint failed";
  std::string error = send(io);
  if (!end_paint(s) && error.empty()) error = "EndPaint failed";
  return error;
}

// Changes the picture with `draw` and sends the changed area as one paint.
std::string draw_and_send(Session& s, const Rect& r, const std::function<void(Picture&)>& draw) {
  if (!wait_active(s, activation_timeout)) return "peer not active";
  {
    std::scoped_lock lock(s.picture_mutex);
    if (!rect_inside(s.picture, r))
      return "area " + std::to_string(r.x) + "," + std::to_string(r.y) + " " + std::to_string(r.w) +
             "x" + std::to_string(r.h) + " outside the desktop " + std::to_string(s.picture.width) +
             "x" + std::to_string(s.picture.height);
    draw(s.picture);
    fit_picture_to_depth(s.picture, s.color_depth.load(), r);
  }
  return paint_once(s,
                    [&](std::unique_lock<std::mutex>& io) { return send_picture_area(s, &io, r); });
}

Rect whole_desktop(Session& s) {
  std::scoped_lock lock(s.picture_mutex);
  return {0, 0, s.picture.width, s.picture.height};
}

std::string run_wait_input(Session& s, const CountTimeout& args) {
  const std::uint32_t n = args.count, timeout_ms = args.timeout_ms;
  std::unique_lock lock(s.state_mutex);
  const bool reached = s.state_cv.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
    return s.input_lines >= n || s.gone || s.stop.load();
  });
  if (s.input_lines >= n) return {};
  if (!reached)
    return "wait-input timed out after " + std::to_string(timeout_ms) + " ms with " +
           std::to_string(s.input_lines) + " of " + std::to_string(n) + " INPUT lines";
  return "session ended while waiting for input";
}

// One number: a duration in ms, or a count of frames.
std::string parse_number_arg(const Step& step, std::uint32_t& out) {
  return parse_u32(step.args[0], out) ? std::string{} : "bad duration";
}

std::string run_sleep(Session& s, const std::uint32_t& ms) {
  if (!session_sleep(s, std::chrono::milliseconds(ms))) return "session ended while sleeping";
  return {};
}

struct FillArgs {
  Rect r;
  std::uint8_t red = 0, green = 0, blue = 0;
};

std::string parse_fill(const Step& step, FillArgs& a) {
  if (!parse_rect(step, 0, a.r)) return "bad rectangle";
  if (!parse_color(step.args[4], a.red, a.green, a.blue)) return "bad colour, want RRGGBB";
  return {};
}

std::string run_fill(Session& s, const FillArgs& a) {
  const Rect& r = a.r;
  return draw_and_send(s, r, [&](Picture& p) { picture_fill(p, r, a.red, a.green, a.blue); });
}

// X Y W H SEED
struct AreaSeed {
  Rect r;
  std::uint32_t seed = 0;
};

std::string parse_area_seed(const Step& step, AreaSeed& a) {
  if (!parse_rect(step, 0, a.r)) return "bad rectangle";
  if (!parse_seed(step.args[4], a.seed)) return "bad seed";
  return {};
}

std::string run_pattern(Session& s, const AreaSeed& a) {
  const Rect& r = a.r;
  const std::uint32_t seed = a.seed;
  return draw_and_send(s, r, [&](Picture& p) { picture_pattern(p, r, seed); });
}

std::string run_planar_bitmap(Session& s, const AreaSeed& a) {
  const Rect& r = a.r;
  const std::uint32_t seed = a.seed;
  if (!wait_active(s, activation_timeout)) return "peer not active";
  {
    std::scoped_lock lock(s.picture_mutex);
    if (!rect_inside(s.picture, r)) return "area outside the desktop";
    picture_pattern(s.picture, r, seed);
  }
  return paint_once(s, [&](std::unique_lock<std::mutex>&) { return send_planar_area(s, r); });
}

// A faulty server: one grey planar bitmap at 0,0 of W x H, larger than the desktop if asked.
struct Size {
  std::uint32_t w = 0, h = 0;
};

std::string parse_oversize(const Step& step, Size& a) {
  if (!parse_u32(step.args[0], a.w) || !parse_u32(step.args[1], a.h) || a.w == 0 || a.h == 0 ||
      a.w > 0xFFFF || a.h > 0xFFFF)
    return "want W H (1 to 65535)";
  return {};
}

std::string run_planar_oversize(Session& s, const Size& a) {
  const std::uint32_t w = a.w, h = a.h;
  if (!wait_active(s, activation_timeout)) return "peer not active";
  const std::vector<std::uint8_t> grey(static_cast<std::size_t>(w) * h * 4, 0x80);
  return paint_once(s, [&](std::unique_lock<std::mutex>&) {
    return send_planar_bitmap(s, Rect{0, 0, w, h}, grey);
  });
}

std::string parse_seed_arg(const Step& step, std::uint32_t& seed) {
  return parse_seed(step.args[0], seed) ? std::string{} : "bad seed";
}

std::string run_full(Session& s, const std::uint32_t& seed) {
  if (!wait_active(s, activation_timeout)) return "peer not active";
  const Rect r = whole_desktop(s);
  return draw_and_send(s, r, [&](Picture& p) { picture_pattern(p, r, seed); });
}

void log_stream(std::uint64_t frames, std::chrono::steady_clock::time_point start) {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - start)
                      .count();
  log_line("STREAM frames=" + std::to_string(frames) + " ms=" + std::to_string(ms));
}

std::string run_stream(Session& s, const std::uint32_t& n) {
  if (!wait_active(s, activation_timeout)) return "peer not active";
  const Rect r = whole_desktop(s);
  const auto start = std::chrono::steady_clock::now();
  for (std::uint32_t i = 0; i < n; ++i) {
    if (session_stopping(s)) return "session ended while streaming";
    // Seeds differ from frame to frame so that no frame repeats the last.
    const std::uint32_t seed = i + 1;
    std::string error = draw_and_send(s, r, [&](Picture& p) { picture_pattern(p, r, seed); });
    if (!error.empty()) return error;
  }
  log_stream(n, start);
  return {};
}

// Tiny updates back to back: the client's socket never drains, so every wait of its event loop
// finds the connection ready.
std::string run_flood(Session& s, const std::uint32_t& n) {
  if (!wait_active(s, activation_timeout)) return "peer not active";
  const Rect whole = whole_desktop(s);
  const auto start = std::chrono::steady_clock::now();
  for (std::uint32_t i = 0; i < n; ++i) {
    if (session_stopping(s)) return {};  // the client leaving ends a flood normally
    const Rect r{i % whole.w, (i / whole.w) % whole.h, 1, 1};
    const auto shade = static_cast<std::uint8_t>(i);
    std::string error = draw_and_send(s, r, [&](Picture& p) { picture_fill(p, r, shade, 0, 255); });
    if (!error.empty()) return error;
  }
  log_stream(n, start);
  return {};
}

std::string run_stream_until_input(Session& s, const Step&) {
  if (!wait_active(s, activation_timeout)) return "peer not active";
  std::uint64_t seen = 0;
  {
    std::scoped_lock lock(s.state_mutex);
    seen = s.user_inputs;
  }
  const Rect r = whole_desktop(s);
  const auto start = std::chrono::steady_clock::now();
  const auto deadline = start + std::chrono::seconds(30);
  std::uint64_t frames = 0;
  while (true) {
    {
      std::scoped_lock lock(s.state_mutex);
      if (s.user_inputs != seen) break;
    }
    if (session_stopping(s)) return "session ended while streaming";
    if (std::chrono::steady_clock::now() >= deadline) {
      log_stream(frames, start);
      return "no input within 30 s";
    }
    const std::uint32_t seed = static_cast<std::uint32_t>(frames + 1);
    std::string error = draw_and_send(s, r, [&](Picture& p) { picture_pattern(p, r, seed); });
    if (!error.empty()) return error;
    ++frames;
  }
  log_stream(frames, start);
  return {};
}

std::string parse_resize(const Step& step, Size& a) {
  if (!parse_u32(step.args[0], a.w) || !parse_u32(step.args[1], a.h)) return "bad size";
  if (a.w < 64 || a.h < 64 || a.w > 8192 || a.h > 8192) return "size out of range 64..8192";
  return {};
}

std::string run_resize(Session& s, const Size& a) {
  const std::uint32_t w = a.w, h = a.h;
  if (!wait_active(s, activation_timeout)) return "peer not active";
  std::uint64_t before = 0;
  {
    auto io = lock_io(s);
    rdpContext* context = s.peer->context;
    rdpSettings* settings = context->settings;
    if (!freerdp_settings_get_bool(settings, FreeRDP_DesktopResize))
      return "client does not support desktop resize";
    {
      std::scoped_lock lock(s.state_mutex);
      before = s.activations;
      s.active = false;
    }
    if (!freerdp_settings_set_uint32(settings, FreeRDP_DesktopWidth, w) ||
        !freerdp_settings_set_uint32(settings, FreeRDP_DesktopHeight, h))
      return "cannot set the desktop size";
    if (!context->update->DesktopResize(context)) return "deactivate-reactivate failed";
  }
  std::unique_lock lock(s.state_mutex);
  const bool done = s.state_cv.wait_for(
      lock, activation_timeout, [&] { return s.activations > before || s.gone || s.stop.load(); });
  if (!done) return "client was not reactivated within 10 s";
  if (s.activations == before) return "session ended during resize";
  return {};
}

}  // namespace

std::string dump_target(const Session& s, const std::string& path) {
  const std::string& dir = s.options->dump_dir;
  return !dir.empty() && !path.empty() && path[0] != '/' ? dir + "/" + path : path;
}

namespace {

std::string run_dump(Session& s, const Step& step) {
  const std::string path = dump_target(s, step.args[0]);
  std::vector<std::uint8_t> copy;
  {
    std::scoped_lock lock(s.picture_mutex);
    copy = s.picture.rgba;
  }
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) return "cannot open " + path;
  out.write(reinterpret_cast<const char*>(copy.data()), static_cast<std::streamsize>(copy.size()));
  out.close();
  if (!out) return "cannot write " + path;
  log_line("DUMPED path=" + path);
  return {};
}

std::string end_session(Session& s) {
  {
    auto io = lock_io(s);
    {
      std::scoped_lock lock(s.state_mutex);
      if (s.gone) return {};
    }
    // Deactivate All plus Disconnect Provider Ultimatum: the client sees
    // a clean end of session, not a broken connection.
    s.peer->Close(s.peer);
  }
  std::scoped_lock lock(s.state_mutex);
  s.end_requested = true;
  s.state_cv.notify_all();
  return {};
}

// The server's reason for ending the session (an error info code, decimal or 0x hex), sent in
// a Set Error Info PDU before the end: a client can tell a logoff from a takeover.
std::string run_end_reason(Session& s, const std::uint32_t& code) {
  {
    auto io = lock_io(s);
    {
      std::scoped_lock lock(s.state_mutex);
      if (s.gone) return {};
    }
    freerdp_set_error_info(s.peer->context->rdp, code);
    if (!freerdp_send_error_info(s.peer->context->rdp)) return "the error info could not be sent";
  }
  return end_session(s);
}

[[maybe_unused]] const bool core_steps_registered = [] {
  register_step(parsed_step("wait-input", 1, 2, parse_count_timeout, run_wait_input));
  register_step(parsed_step("sleep", 1, 1, parse_number_arg, run_sleep));
  register_step(parsed_step("fill", 5, 5, parse_fill, run_fill));
  register_step(parsed_step("pattern", 5, 5, parse_area_seed, run_pattern));
  register_step(parsed_step("planar", 5, 5, parse_area_seed, run_planar_bitmap));
  register_step(parsed_step("planar-oversize", 2, 2, parse_oversize, run_planar_oversize));
  register_step(parsed_step("full", 1, 1, parse_seed_arg, run_full));
  register_step(parsed_step("stream", 1, 1, parse_number_arg, run_stream));
  register_step({"stream-until-input", 0, 0, {}, run_stream_until_input});
  register_step(parsed_step("flood", 1, 1, parse_number_arg, run_flood));
  register_step(parsed_step("resize", 2, 2, parse_resize, run_resize));
  register_step({"dump", 1, 1, {}, run_dump});
  register_step({"end", 0, 0, {}, [](Session& s, const Step&) { return end_session(s); }});
  register_step(parsed_step("end-reason", 1, 1, parse_seed_arg, run_end_reason));
  return true;
}();

}  // namespace

bool register_step(StepHandler handler) {
  step_table().push_back(std::move(handler));
  return true;
}

const StepHandler* find_step(std::string_view name) {
  for (const StepHandler& h : step_table())
    if (h.name == name) return &h;
  return nullptr;
}

bool register_hook(ChannelHook hook) {
  hook_table().push_back(std::move(hook));
  return true;
}

const std::vector<ChannelHook>& hooks() { return hook_table(); }

bool script_uses(const Session& session, std::string_view prefix) {
  for (const Step& step : session.script)
    if (step.name.compare(0, prefix.size(), prefix) == 0) return true;
  return false;
}

bool parse_script(const std::vector<std::string>& lines, std::vector<Step>& out) {
  out.clear();
  for (const std::string& raw : lines) {
    const std::string text = trim(raw);
    if (text.empty() || text[0] == '#') continue;
    Step step;
    step.index = out.size() + 1;
    step.text = text;
    std::istringstream words(text);
    words >> step.name;
    for (std::string word; words >> word;) step.args.push_back(word);
    const StepHandler* handler = find_step(step.name);
    if (!handler) {
      log_error("unknown step: " + text);
      return false;
    }
    if (step.args.size() < handler->min_args || step.args.size() > handler->max_args) {
      log_error("wrong number of arguments: " + text);
      return false;
    }
    if (handler->check) {
      const std::string problem = handler->check(step);
      if (!problem.empty()) {
        log_error(problem + ": " + text);
        return false;
      }
    }
    out.push_back(std::move(step));
  }
  return true;
}

bool read_script_file(const std::string& path, std::vector<std::string>& lines) {
  std::ifstream in(path);
  if (!in) return false;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return true;
}

bool run_scenario(Session& s) {
  for (const Step& step : s.script) {
    if (session_stopping(s)) return true;
    log_line("STEP n=" + std::to_string(step.index) + " text=" + step.text);
    const StepHandler* handler = find_step(step.name);
    const std::string error = handler ? handler->run(s, step) : "unknown step";
    if (!error.empty()) {
      // A step cut short by the peer leaving is not a fault of the step.
      bool gone = false;
      {
        std::scoped_lock lock(s.state_mutex);
        gone = s.gone;
      }
      if (gone || s.stop.load()) return true;
      log_error("step " + std::to_string(step.index) + " (" + step.text + "): " + error);
      return false;
    }
    std::scoped_lock lock(s.state_mutex);
    if (s.end_requested) break;
  }
  log_line("DONE");
  return true;
}

bool wait_active(Session& s, std::chrono::milliseconds timeout) {
  std::unique_lock lock(s.state_mutex);
  s.state_cv.wait_for(lock, timeout, [&] { return s.active || s.gone || s.stop.load(); });
  return s.active && !s.gone && !s.stop.load();
}

bool session_sleep(Session& s, std::chrono::milliseconds duration) {
  std::unique_lock lock(s.state_mutex);
  return !s.state_cv.wait_for(lock, duration, [&] { return s.gone || s.stop.load(); });
}

bool session_stopping(Session& s) {
  if (s.stop.load()) return true;
  std::scoped_lock lock(s.state_mutex);
  return s.gone;
}

}  // namespace kts
