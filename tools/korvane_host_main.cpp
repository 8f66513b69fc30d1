// korvane-host: the reference host. Starts korvane, opens one session, prints every event with
// running totals, optionally sends a few inputs, ends the session and saves what it saw.

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "host/audio.hpp"
#include "host/cursor.hpp"
#include "host/desktop.hpp"
#include "host/png.hpp"
#include "host/session.hpp"
#include "host_link/extensions.hpp"
#include "host_link/session_extensions.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using namespace korvane;
using namespace korvane::host;

std::atomic<bool> g_stop{false};

void on_stop_signal(int) { g_stop = true; }

struct Input {
  enum Kind { move, click, key, text } kind = move;
  uint32_t x = 0, y = 0;
  uint32_t code_point = 0;  // text: one character, typed as itself
  uint8_t scancode = 0;
  bool extended = false;
};

struct Options {
  std::string korvane;
  SessionOptions session;
  double seconds = 5;
  double connect_timeout = 30;
  std::string png;
  std::vector<Input> inputs;
  bool quiet = false;
  // Extensions asked for; nothing of the block is sent when all are off.
  bool cursor = false;
  bool changed_only = false;
  bool deflate = false;
  std::optional<uint32_t> cursor_state_ms;  // send CMD_CURSOR_STATE this long after connecting
  std::optional<std::pair<uint32_t, uint32_t>> resize;
  uint32_t resize_ms = 0;
  std::optional<uint8_t> h264_codecs;  // 0: rectangles only
  // The server's certificate: pinned fingerprints (text as given), or the answer to the question.
  std::string cert_pins;
  std::optional<bool> cert_accept;
  std::optional<uint32_t> keyboard_layout;
  std::optional<uint16_t> reconnect_attempts;
  bool audio = false;
  std::string audio_wav;  // where the PCM goes; empty: nowhere
};

void usage(FILE* out) {
  std::fprintf(out,
               "usage: korvane-host [--korvane PATH] --host H --port P [--user U] [--domain D]\n"
               "                    [--password W] [--width N --height N] [--flags N]\n"
               "                    [--drive DIR] [--seconds S] [--png OUT] [--move X,Y ...]\n"
               "                    [--click X,Y ...] [--key SCANCODE[,e] ...]\n"
               "                    [--connect-timeout S] [--korvane-log FILE] [--quiet]\n"
               "                    [--cursor] [--cursor-state MS] [--resize WxH[@MS]]\n"
               "                    [--h264 none|avc420,avc444,avc444v2] [--changed-only] [--deflate]\n"
               "                    [--cert-pin FP[,FP...] | --cert-ask accept|reject]\n"
               "                    [--type TEXT ...] [--layout 0xID] [--reconnect N]\n"
               "                    [--audio] [--audio-wav FILE]\n"
               "Starts korvane, connects, prints each event with running totals, sends the\n"
               "scripted inputs once connected, disconnects after S seconds (default 5) and\n"
               "writes the desktop as a PNG. Exit code 0 for a clean session, 1 otherwise.\n"
               "Extensions (asked for in the connect request; korvane's grant is printed):\n"
               "  --cursor          pointer shapes and position; the pointer is drawn into the\n"
               "                    PNG where it was last known to be\n"
               "  --cursor-state MS ask for the current pointer again MS ms after connecting\n"
               "                    (implies --cursor)\n"
               "  --resize WxH[@MS] ask the server for a new desktop size MS ms (default 0)\n"
               "                    after connecting\n"
               "  --h264 CODECS     receive these H.264 codecs undecoded and decode them here;\n"
               "                    none: every codec decoded by korvane, rectangles only\n"
               "  --changed-only    receive only the pixels that differ from what was sent\n"
               "  --deflate         receive rectangles deflated where that makes them smaller\n"
               "  --cert-pin FPS    connect only to a server whose certificate has one of these\n"
               "                    SHA-256 fingerprints (hex, as openssl prints them)\n"
               "  --cert-ask V      have korvane ask about the certificate; answer V (accept\n"
               "                    or reject) and print the question\n"
               "  --type TEXT       type TEXT (UTF-8) character by character as Unicode input,\n"
               "                    in order with the other scripted inputs\n"
               "  --layout 0xID     the keyboard layout the server is told (e.g. 0x40C French)\n"
               "  --reconnect N     have korvane reconnect up to N times (1..100) when the\n"
               "                    connection drops, first after 1 s, then waiting twice as long\n"
               "  --audio           receive the remote desktop's sound (16-bit PCM); a line per\n"
               "                    format, a line per block (not with --quiet), and an AUDIO\n"
               "                    summary line before SUMMARY\n"
               "  --audio-wav FILE  write the PCM received to FILE as WAV (implies --audio); one\n"
               "                    format per file: when the format changes, the next file is\n"
               "                    FILE with -2, -3, ... before its extension\n");
}

std::optional<unsigned long> parse_number(const std::string& text) {
  if (text.empty()) return std::nullopt;
  char* end = nullptr;
  errno = 0;
  const unsigned long v = std::strtoul(text.c_str(), &end, 0);
  if (errno != 0 || *end != '\0' || text[0] == '-') return std::nullopt;
  return v;
}

bool parse_codecs(const std::string& text, std::optional<uint8_t>& wanted) {
  uint8_t codecs = 0;
  if (text == "none") {  // the host decodes none: rectangles only
    wanted = 0;
    return true;
  }
  size_t start = 0;
  for (;;) {
    const size_t comma = text.find(',', start);
    const std::string name = text.substr(start, comma == std::string::npos ? comma : comma - start);
    if (name == "avc420") {
      codecs |= H264_AVC420;
    } else if (name == "avc444") {
      codecs |= H264_AVC444;
    } else if (name == "avc444v2") {
      codecs |= H264_AVC444V2;
    } else {
      return false;
    }
    if (comma == std::string::npos) {
      wanted = codecs;
      return true;
    }
    start = comma + 1;
  }
}

// The code points of UTF-8 text; nullopt when it is not well-formed UTF-8. Surrogates and values
// past U+10FFFF are kept: korvane is the one to refuse them.
std::optional<std::vector<uint32_t>> utf8_code_points(const std::string& text) {
  std::vector<uint32_t> out;
  for (size_t i = 0; i < text.size();) {
    const auto b = static_cast<unsigned char>(text[i]);
    const size_t n = b < 0x80 ? 1 : (b >> 5) == 0x6 ? 2 : (b >> 4) == 0xE ? 3 : (b >> 3) == 0x1E ? 4 : 0;
    if (n == 0 || i + n > text.size()) return std::nullopt;
    uint32_t cp = n == 1 ? b : b & (0x7F >> n);
    for (size_t k = 1; k < n; ++k) {
      const auto c = static_cast<unsigned char>(text[i + k]);
      if ((c & 0xC0) != 0x80) return std::nullopt;
      cp = cp << 6 | (c & 0x3F);
    }
    out.push_back(cp);
    i += n;
  }
  return out;
}

// "WxH" or "WxH@MS".
bool parse_resize(const std::string& text, uint32_t& w, uint32_t& h, uint32_t& ms) {
  std::string size = text;
  ms = 0;
  const size_t at = text.find('@');
  if (at != std::string::npos) {
    auto n = parse_number(text.substr(at + 1));
    if (!n || *n > 3600000) return false;
    ms = static_cast<uint32_t>(*n);
    size = text.substr(0, at);
  }
  const size_t x = size.find('x');
  if (x == std::string::npos) return false;
  auto pw = parse_number(size.substr(0, x));
  auto ph = parse_number(size.substr(x + 1));
  if (!pw || !ph || *pw > 0xFFFFFFFFul || *ph > 0xFFFFFFFFul) return false;
  w = static_cast<uint32_t>(*pw);
  h = static_cast<uint32_t>(*ph);
  return true;
}

bool parse_point(const std::string& text, uint32_t& x, uint32_t& y) {
  const size_t comma = text.find(',');
  if (comma == std::string::npos) return false;
  auto px = parse_number(text.substr(0, comma));
  auto py = parse_number(text.substr(comma + 1));
  if (!px || !py || *px > 0xFFFFFFFFul || *py > 0xFFFFFFFFul) return false;
  x = static_cast<uint32_t>(*px);
  y = static_cast<uint32_t>(*py);
  return true;
}

std::string default_korvane_path() {
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n > 0) {
    std::string path(self, static_cast<size_t>(n));
    const size_t slash = path.rfind('/');
    if (slash != std::string::npos) {
      std::string candidate = path.substr(0, slash + 1) + "korvane";
      if (access(candidate.c_str(), X_OK) == 0) return candidate;
    }
  }
  return "korvane";
}

// Returns nullopt after printing why the command line is not usable.
std::optional<Options> parse_args(int argc, char** argv) {
  Options o;
  bool have_host = false, have_port = false;
  std::optional<uint8_t> flags;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> std::optional<std::string> {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "korvane-host: %s needs a value\n", arg.c_str());
        return std::nullopt;
      }
      return std::string(argv[++i]);
    };
    auto number = [&](unsigned long max) -> std::optional<unsigned long> {
      auto v = value();
      if (!v) return std::nullopt;
      auto n = parse_number(*v);
      if (!n || *n > max) {
        std::fprintf(stderr, "korvane-host: bad value for %s: %s\n", arg.c_str(), v->c_str());
        return std::nullopt;
      }
      return n;
    };
    auto seconds = [&]() -> std::optional<double> {
      auto v = value();
      if (!v) return std::nullopt;
      char* end = nullptr;
      const double d = std::strtod(v->c_str(), &end);
      if (*end != '\0' || !(d >= 0) || d > 86400) {
        std::fprintf(stderr, "korvane-host: bad value for %s: %s\n", arg.c_str(), v->c_str());
        return std::nullopt;
      }
      return d;
    };
    if (arg == "-h" || arg == "--help") {
      usage(stdout);
      std::exit(0);
    } else if (arg == "--korvane") {
      auto v = value();
      if (!v) return std::nullopt;
      o.korvane = *v;
    } else if (arg == "--host") {
      auto v = value();
      if (!v) return std::nullopt;
      o.session.request.host = *v;
      have_host = true;
    } else if (arg == "--port") {
      auto n = number(65535);
      if (!n) return std::nullopt;
      o.session.request.port = static_cast<uint32_t>(*n);
      have_port = true;
    } else if (arg == "--user") {
      auto v = value();
      if (!v) return std::nullopt;
      o.session.request.username = *v;
    } else if (arg == "--domain") {
      auto v = value();
      if (!v) return std::nullopt;
      o.session.request.domain = *v;
    } else if (arg == "--password") {
      auto v = value();
      if (!v) return std::nullopt;
      o.session.request.password = *v;
    } else if (arg == "--width") {
      auto n = number(8192);
      if (!n) return std::nullopt;
      o.session.request.width = static_cast<uint32_t>(*n);
    } else if (arg == "--height") {
      auto n = number(8192);
      if (!n) return std::nullopt;
      o.session.request.height = static_cast<uint32_t>(*n);
    } else if (arg == "--flags") {
      auto n = number(255);
      if (!n) return std::nullopt;
      flags = static_cast<uint8_t>(*n);
    } else if (arg == "--drive") {
      auto v = value();
      if (!v) return std::nullopt;
      o.session.request.drive = *v;
    } else if (arg == "--seconds") {
      auto d = seconds();
      if (!d) return std::nullopt;
      o.seconds = *d;
    } else if (arg == "--connect-timeout") {
      auto d = seconds();
      if (!d) return std::nullopt;
      o.connect_timeout = *d;
    } else if (arg == "--png") {
      auto v = value();
      if (!v) return std::nullopt;
      o.png = *v;
    } else if (arg == "--korvane-log") {
      auto v = value();
      if (!v) return std::nullopt;
      o.session.stderr_path = *v;
    } else if (arg == "--move" || arg == "--click") {
      auto v = value();
      if (!v) return std::nullopt;
      Input in;
      in.kind = arg == "--move" ? Input::move : Input::click;
      if (!parse_point(*v, in.x, in.y)) {
        std::fprintf(stderr, "korvane-host: %s wants X,Y, not %s\n", arg.c_str(), v->c_str());
        return std::nullopt;
      }
      o.inputs.push_back(in);
    } else if (arg == "--key") {
      auto v = value();
      if (!v) return std::nullopt;
      Input in;
      in.kind = Input::key;
      std::string text = *v;
      if (text.size() > 2 && text.compare(text.size() - 2, 2, ",e") == 0) {
        in.extended = true;
        text.resize(text.size() - 2);
      }
      auto n = parse_number(text);
      if (!n || *n > 255) {
        std::fprintf(stderr, "korvane-host: --key wants a scancode 0..255, with \",e\" for "
                             "an extended key, not %s\n", v->c_str());
        return std::nullopt;
      }
      in.scancode = static_cast<uint8_t>(*n);
      o.inputs.push_back(in);
    } else if (arg == "--type") {
      auto v = value();
      if (!v) return std::nullopt;
      const auto code_points = utf8_code_points(*v);
      if (!code_points) {
        std::fprintf(stderr, "korvane-host: --type wants UTF-8 text\n");
        return std::nullopt;
      }
      for (const uint32_t cp : *code_points) {
        Input in;
        in.kind = Input::text;
        in.code_point = cp;
        o.inputs.push_back(in);
      }
    } else if (arg == "--reconnect") {
      auto n = number(kMaxReconnectAttempts);
      if (!n) return std::nullopt;
      if (*n < kMinReconnectAttempts) {
        std::fprintf(stderr, "korvane-host: --reconnect wants 1..%u attempts\n",
                     static_cast<unsigned>(kMaxReconnectAttempts));
        return std::nullopt;
      }
      o.reconnect_attempts = static_cast<uint16_t>(*n);
    } else if (arg == "--layout") {
      auto v = value();
      if (!v) return std::nullopt;
      const auto n = parse_number(*v);
      if (!n || *n > 0xFFFFFFFFul) {
        std::fprintf(stderr, "korvane-host: --layout wants a layout id, not %s\n", v->c_str());
        return std::nullopt;
      }
      o.keyboard_layout = static_cast<uint32_t>(*n);
    } else if (arg == "--audio") {
      o.audio = true;
    } else if (arg == "--audio-wav") {
      auto v = value();
      if (!v) return std::nullopt;
      if (v->empty()) {
        std::fprintf(stderr, "korvane-host: --audio-wav wants a file name\n");
        return std::nullopt;
      }
      o.audio = true;
      o.audio_wav = *v;
    } else if (arg == "--quiet") {
      o.quiet = true;
    } else if (arg == "--changed-only") {
      o.changed_only = true;
    } else if (arg == "--deflate") {
      o.deflate = true;
    } else if (arg == "--cursor") {
      o.cursor = true;
    } else if (arg == "--cursor-state") {
      auto n = number(3600000);
      if (!n) return std::nullopt;
      o.cursor = true;
      o.cursor_state_ms = static_cast<uint32_t>(*n);
    } else if (arg == "--resize") {
      auto v = value();
      if (!v) return std::nullopt;
      uint32_t w = 0, h = 0;
      if (!parse_resize(*v, w, h, o.resize_ms)) {
        std::fprintf(stderr, "korvane-host: --resize wants WxH or WxH@MS, not %s\n", v->c_str());
        return std::nullopt;
      }
      o.resize = std::make_pair(w, h);
    } else if (arg == "--h264") {
      auto v = value();
      if (!v) return std::nullopt;
      if (!parse_codecs(*v, o.h264_codecs)) {
        std::fprintf(stderr, "korvane-host: --h264 wants none or a list of avc420, avc444, "
                             "avc444v2, not %s\n", v->c_str());
        return std::nullopt;
      }
    } else if (arg == "--cert-pin") {
      auto v = value();
      if (!v) return std::nullopt;
      if (!parse_fingerprints(*v)) {
        std::fprintf(stderr, "korvane-host: --cert-pin wants SHA-256 fingerprints, not %s\n",
                     v->c_str());
        return std::nullopt;
      }
      o.cert_pins = *v;
    } else if (arg == "--cert-ask") {
      auto v = value();
      if (!v) return std::nullopt;
      if (*v != "accept" && *v != "reject") {
        std::fprintf(stderr, "korvane-host: --cert-ask wants accept or reject, not %s\n",
                     v->c_str());
        return std::nullopt;
      }
      o.cert_accept = *v == "accept";
    } else {
      std::fprintf(stderr, "korvane-host: unknown argument %s\n", arg.c_str());
      usage(stderr);
      return std::nullopt;
    }
  }
  if (!have_host || !have_port) {
    std::fprintf(stderr, "korvane-host: --host and --port are required\n");
    usage(stderr);
    return std::nullopt;
  }
  // The drive path sits after the flags byte on the wire.
  if (o.session.request.drive && !flags) flags = 0;
  o.session.request.flags = flags;
  uint32_t mask = 0;
  std::vector<ExtensionField> fields;
  if (o.cursor) mask |= EXT_CURSOR;
  if (o.changed_only) mask |= EXT_CHANGED_ONLY;
  if (o.deflate) mask |= EXT_DEFLATE;
  if (o.resize) mask |= EXT_RESIZE;
  if (o.h264_codecs) {
    mask |= EXT_H264;
    fields.push_back({FIELD_H264_CODECS, {*o.h264_codecs}});
  }
  if (!o.cert_pins.empty() && o.cert_accept) {
    std::fprintf(stderr, "korvane-host: --cert-pin and --cert-ask exclude each other\n");
    return std::nullopt;
  }
  if (!o.cert_pins.empty()) {
    mask |= EXT_CERTIFICATE;
    fields.push_back({FIELD_CERT_MODE, {CERT_MODE_PINNED}});
    fields.push_back({FIELD_CERT_FINGERPRINTS, {o.cert_pins.begin(), o.cert_pins.end()}});
  } else if (o.cert_accept) {
    mask |= EXT_CERTIFICATE;
    fields.push_back({FIELD_CERT_MODE, {CERT_MODE_ASK}});
  }
  const bool types = std::any_of(o.inputs.begin(), o.inputs.end(),
                                 [](const Input& in) { return in.kind == Input::text; });
  if (types || o.keyboard_layout) mask |= EXT_TEXT;
  if (o.keyboard_layout) {
    std::vector<uint8_t> v;
    append_u32(v, *o.keyboard_layout);
    fields.push_back({FIELD_KEYBOARD_LAYOUT, v});
  }
  if (o.audio) mask |= EXT_AUDIO;
  if (o.reconnect_attempts) {
    mask |= EXT_RECONNECT;
    std::vector<uint8_t> v;
    append_u16(v, *o.reconnect_attempts);
    append_u16(v, ReconnectPolicy{}.first_backoff_ms);
    fields.push_back({FIELD_RECONNECT, v});
  }
  if (mask) o.session.extension_block = encode_extensions(mask, fields);
  o.session.korvane_path = o.korvane.empty() ? default_korvane_path() : o.korvane;
  return o;
}

bool send_input(Session& session, Desktop& desktop, const Input& in) {
  if (in.kind == Input::move || in.kind == Input::click) note_pointer(desktop.cursor, in.x, in.y);
  switch (in.kind) {
    case Input::move:
      std::printf("SEND MOVE x=%u y=%u\n", in.x, in.y);
      return send_command(session, CMD_MOUSE_MOVE, mouse_move_payload(in.x, in.y));
    case Input::click:
      std::printf("SEND CLICK x=%u y=%u\n", in.x, in.y);
      return send_command(session, CMD_MOUSE_BUTTON, mouse_button_payload(in.x, in.y, 1, true)) &&
             send_command(session, CMD_MOUSE_BUTTON, mouse_button_payload(in.x, in.y, 1, false));
    case Input::key:
      std::printf("SEND KEY scancode=0x%02x%s\n", in.scancode, in.extended ? " extended" : "");
      return send_command(session, CMD_KEY, key_payload(in.scancode, true, in.extended)) &&
             send_command(session, CMD_KEY, key_payload(in.scancode, false, in.extended));
    case Input::text:
      std::printf("SEND UNICODE U+%04X\n", in.code_point);
      return send_command(session, CMD_UNICODE, unicode_payload(in.code_point, true)) &&
             send_command(session, CMD_UNICODE, unicode_payload(in.code_point, false));
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  auto options = parse_args(argc, argv);
  if (!options) return 2;
  // Line by line even into a pipe, so whoever reads the event stream sees it as it happens.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);

  struct sigaction sa {};
  sa.sa_handler = on_stop_signal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);

  std::string error;
  auto session = start_session(options->session, &error);
  if (!session) {
    std::fprintf(stderr, "korvane-host: %s\n", error.c_str());
    return 1;
  }

  Desktop desktop;
  std::optional<WavSeries> wav;
  if (!options->audio_wav.empty()) wav.emplace(options->audio_wav);
  std::string wav_problem;  // the first file that could not be written
  auto wav_lines = [&](const std::vector<std::string>& lines, const std::string& problem) {
    for (const auto& line : lines) std::printf("%s\n", line.c_str());
    if (!problem.empty()) {
      std::printf("PROBLEM %s\n", problem.c_str());
      if (wav_problem.empty()) wav_problem = problem;
    }
  };
  auto on_event = [&](const Frame& frame) {
    const std::string problem = apply_event(desktop, frame);
    // Sound comes 50 blocks a second: --quiet leaves its blocks out like the rectangles.
    if (!options->quiet || (frame.type != EVT_RECT && frame.type != EVT_AUDIO_DATA)) {
      std::printf("%s | %s\n", describe_event(frame).c_str(), totals_text(desktop).c_str());
    }
    if (!problem.empty()) std::printf("PROBLEM %s\n", problem.c_str());
    if (wav) {
      std::string wav_error;
      const auto lines = wav->on_event(frame, &wav_error);
      wav_lines(lines, wav_error);
    }
  };

  const auto started = Clock::now();
  std::optional<Clock::time_point> connected_at;
  Clock::time_point next_input = started;
  size_t inputs_sent = 0;
  // max(): not due (not asked for, or already sent).
  Clock::time_point resize_at = Clock::time_point::max();
  Clock::time_point cursor_state_at = Clock::time_point::max();
  bool failed = false;
  bool ended_by_bridge = false;
  std::string failure;

  // Bounded by --connect-timeout before the connection and --seconds after it.
  while (!g_stop) {
    const auto now = Clock::now();
    if (!connected_at &&
        now - started > std::chrono::duration<double>(options->connect_timeout)) {
      failure = "no EVT_CONNECTED within the connect timeout";
      failed = true;
      break;
    }
    if (connected_at && now - *connected_at >= std::chrono::duration<double>(options->seconds)) {
      break;
    }
    if (connected_at && inputs_sent < options->inputs.size() && now >= next_input) {
      if (!send_input(*session, desktop, options->inputs[inputs_sent])) {
        std::printf("PROBLEM cannot send the input to korvane\n");
      }
      inputs_sent++;
      next_input = now + std::chrono::milliseconds(100);
    }
    if (now >= resize_at) {
      resize_at = Clock::time_point::max();
      const auto [w, h] = *options->resize;
      std::printf("SEND RESIZE width=%u height=%u\n", w, h);
      if (!send_command(*session, CMD_RESIZE, mouse_move_payload(w, h))) {
        std::printf("PROBLEM cannot send the resize to korvane\n");
      }
    }
    if (now >= cursor_state_at) {
      cursor_state_at = Clock::time_point::max();
      std::printf("SEND CURSOR_STATE\n");
      if (!send_command(*session, CMD_CURSOR_STATE)) {
        std::printf("PROBLEM cannot send the cursor request to korvane\n");
      }
    }
    Frame frame;
    const ReadStatus st = next_event(*session, 50, frame);
    if (st == ReadStatus::timeout) continue;
    if (st != ReadStatus::frame) {
      failure = std::string("korvane's output ended (") + to_string(st) + ") before EVT_DISCONNECTED";
      failed = true;
      ended_by_bridge = true;
      break;
    }
    on_event(frame);
    if (frame.type == EVT_CERTIFICATE && options->cert_accept) {
      const uint8_t verdict = *options->cert_accept ? 1 : 0;
      std::printf("SEND CERT_VERDICT %s\n", verdict ? "accept" : "reject");
      if (!send_command(*session, CMD_CERT_VERDICT, std::span(&verdict, 1))) {
        std::printf("PROBLEM cannot send the certificate verdict to korvane\n");
      }
    }
    if (frame.type == EVT_CONNECTED && !connected_at) {
      connected_at = Clock::now();
      next_input = *connected_at + std::chrono::milliseconds(200);
      if (options->resize) {
        resize_at = *connected_at + std::chrono::milliseconds(options->resize_ms);
      }
      if (options->cursor_state_ms) {
        cursor_state_at = *connected_at + std::chrono::milliseconds(*options->cursor_state_ms);
      }
    }
    if (frame.type == EVT_ERROR || frame.type == EVT_DISCONNECTED) {
      ended_by_bridge = true;
      break;
    }
  }

  Ending ending;
  if (ended_by_bridge) {
    ending.disconnected = desktop.disconnected;
    ending.exit = wait_exit(session->child, 5000);
    if (!ending.exit) terminate(session->child, 0);
  } else if (!failed) {
    ending = finish_session(*session, 5000, on_event);
  } else {
    terminate(session->child, 0);
  }

  if (desktop.error) {
    std::printf("KORVANE ERROR: %s\n", desktop.error->c_str());
    failed = true;
  } else if (!failed && !ending.disconnected) {
    failure = "no EVT_DISCONNECTED at the end of the session";
    failed = true;
  }
  if (ending.exit && !(ending.exit->exited() && ending.exit->code == 0) && !desktop.error) {
    failure = "korvane ended with " + describe(*ending.exit);
    failed = true;
  }
  if (!ending.exit && !failed) {
    failure = "korvane did not exit after the session; killed";
    failed = true;
  }

  if (!options->png.empty()) {
    // The pointer goes into the saved picture only, never into the canvas later events paint.
    Canvas picture = desktop.canvas;
    if (options->cursor) {
      const Cursor& c = desktop.cursor;
      if (draw_cursor(c, picture)) {
        std::printf("CURSOR DRAWN id=%u x=%u y=%u\n", c.current, *c.x, *c.y);
      } else {
        const char* why = c.mode == Cursor::Mode::hidden           ? "hidden"
                          : c.mode == Cursor::Mode::system_default ? "system default"
                          : c.mode == Cursor::Mode::unknown        ? "no shape in use"
                          : !c.x                                   ? "position unknown"
                                                                   : "off the desktop";
        std::printf("CURSOR NOT DRAWN (%s)\n", why);
      }
    }
    const std::string problem = write_png(options->png, picture);
    if (problem.empty()) {
      std::printf("PNG %s %ux%u\n", options->png.c_str(), desktop.canvas.width,
                  desktop.canvas.height);
    } else {
      std::printf("PNG not written: %s\n", problem.c_str());
    }
  }
  if (wav) {
    std::string wav_error;
    const auto lines = wav->finish(&wav_error);
    wav_lines(lines, wav_error);
    if (!wav_problem.empty() && failure.empty()) {
      failure = "the WAV file was not written whole: " + wav_problem;
      failed = true;
    }
  }
  if (options->audio) std::printf("%s\n", audio_summary(desktop.audio).c_str());
  const H264Stats& h = desktop.h264.stats;
  std::printf("SUMMARY %s rects=%llu h264=%llu avc420=%llu avc444=%llu decoded=%llu "
              "undecoded=%llu problems=%llu exit=%s codec_avc420=%llu codec_avc444=%llu "
              "codec_avc444v2=%llu\n",
              totals_text(desktop).c_str(), static_cast<unsigned long long>(desktop.rects),
              static_cast<unsigned long long>(h.payloads),
              static_cast<unsigned long long>(h.avc420),
              static_cast<unsigned long long>(h.avc444),
              static_cast<unsigned long long>(h.pictures),
              static_cast<unsigned long long>(h.undecoded),
              static_cast<unsigned long long>(desktop.problems),
              ending.exit ? describe(*ending.exit).c_str() : "none",
              static_cast<unsigned long long>(h.codec_avc420),
              static_cast<unsigned long long>(h.codec_avc444),
              static_cast<unsigned long long>(h.codec_avc444v2));
  if (!failure.empty()) std::printf("FAILED: %s\n", failure.c_str());
  return failed ? 1 : 0;
}
