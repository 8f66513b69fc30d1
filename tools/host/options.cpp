#include "host/options.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <initializer_list>
#include <optional>
#include <string_view>
#include <utility>

#include "host_link/audio_wire.hpp"
#include "host_link/extensions.hpp"
#include "host_link/recording.hpp"
#include "host_link/profile.hpp"
#include "host_link/profile_keys.hpp"
#include "host_link/registry.hpp"
#include "host_link/session_extensions.hpp"

namespace korvane::host {

namespace {

constexpr size_t kMaxMicWavBytes = 64u << 20;

std::optional<unsigned long> parse_number(const std::string& text) {
  if (text.empty()) return std::nullopt;
  char* end = nullptr;
  errno = 0;
  const unsigned long v = std::strtoul(text.c_str(), &end, 0);
  if (errno != 0 || *end != '\0' || text[0] == '-') return std::nullopt;
  return v;
}

// A comma-separated list of names from `names` as the OR of their bits; nullopt if a name is not
// there.
std::optional<uint8_t> parse_name_list(
    const std::string& text, std::initializer_list<std::pair<std::string_view, uint8_t>> names) {
  uint8_t bits = 0;
  size_t start = 0;
  for (;;) {
    const size_t comma = text.find(',', start);
    const std::string name = text.substr(start, comma == std::string::npos ? comma : comma - start);
    const auto it = std::find_if(names.begin(), names.end(),
                                 [&](const auto& entry) { return entry.first == name; });
    if (it == names.end()) return std::nullopt;
    bits |= it->second;
    if (comma == std::string::npos) return bits;
    start = comma + 1;
  }
}

bool parse_codecs(const std::string& text, std::optional<uint8_t>& wanted) {
  if (text == "none") {  // the host decodes none: rectangles only
    wanted = 0;
    return true;
  }
  const auto codecs = parse_name_list(
      text, {{"avc420", H264_AVC420}, {"avc444", H264_AVC444}, {"avc444v2", H264_AVC444V2}});
  if (codecs) wanted = codecs;
  return codecs.has_value();
}

// The code points of UTF-8 text; nullopt when it is not well-formed UTF-8. Surrogates and values
// past U+10FFFF are kept: korvane is the one to refuse them.
std::optional<std::vector<uint32_t>> utf8_code_points(const std::string& text) {
  std::vector<uint32_t> out;
  for (size_t i = 0; i < text.size();) {
    const auto b = static_cast<unsigned char>(text[i]);
    const size_t n = b < 0x80           ? 1
                     : (b >> 5) == 0x6  ? 2
                     : (b >> 4) == 0xE  ? 3
                     : (b >> 3) == 0x1E ? 4
                                        : 0;
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

// "--client-name" to "client_name" when that names a profile key; empty otherwise. --console is
// a switch of its own.
std::string profile_key_of(const std::string& arg) {
  if (arg.rfind("--", 0) != 0 || arg.find('_') != std::string::npos) return {};
  std::string key = arg.substr(2);
  std::replace(key.begin(), key.end(), '-', '_');
  return key != "console" && is_profile_key(key) ? key : std::string();
}

// What the options ask of korvane, as the extension block; empty when nothing is.
std::vector<uint8_t> extension_block(const HostOptions& o, bool changed_only, bool deflate,
                                     std::optional<uint8_t> h264_codecs,
                                     const std::string& cert_pins,
                                     std::optional<uint32_t> keyboard_layout,
                                     std::optional<uint16_t> reconnect_attempts,
                                     const ProfileFields& profile) {
  uint32_t mask = 0;
  std::vector<ExtensionField> fields;
  if (o.cursor) mask |= EXT_CURSOR;
  if (changed_only) mask |= EXT_CHANGED_ONLY;
  if (deflate) mask |= EXT_DEFLATE;
  if (o.resize) mask |= EXT_RESIZE;
  if (o.monitors || o.monitors_change) mask |= EXT_MONITORS;
  if (o.monitors) fields.push_back({FIELD_MONITORS, encode_layout(*o.monitors)});
  if (h264_codecs) {
    mask |= EXT_H264;
    fields.push_back({FIELD_H264_CODECS, {*h264_codecs}});
  }
  if (!cert_pins.empty()) {
    mask |= EXT_CERTIFICATE;
    fields.push_back({FIELD_CERT_MODE, {CERT_MODE_PINNED}});
    fields.push_back({FIELD_CERT_FINGERPRINTS, {cert_pins.begin(), cert_pins.end()}});
  } else if (o.cert_accept) {
    mask |= EXT_CERTIFICATE;
    fields.push_back({FIELD_CERT_MODE, {CERT_MODE_ASK}});
  }
  const bool types = std::any_of(o.inputs.begin(), o.inputs.end(),
                                 [](const Input& in) { return in.kind == Input::text; });
  if (types || keyboard_layout) mask |= EXT_TEXT;
  if (keyboard_layout) {
    std::vector<uint8_t> v;
    append_u32(v, *keyboard_layout);
    fields.push_back({FIELD_KEYBOARD_LAYOUT, v});
  }
  if (o.audio) mask |= EXT_AUDIO;
  if (o.audio_codecs) fields.push_back({FIELD_AUDIO_CODECS, {o.audio_codecs}});
  if (o.mic) {
    mask |= EXT_MICROPHONE;
    fields.push_back({FIELD_MIC_FORMATS, {mic_format_bit(*o.mic)}});
  }
  if (o.gateway_accept) mask |= EXT_GATEWAY;
  if (!o.clip_offer.empty() || !o.clip_fetch.empty()) mask |= EXT_FILES;
  if (reconnect_attempts) {
    mask |= EXT_RECONNECT;
    std::vector<uint8_t> v;
    append_u16(v, *reconnect_attempts);
    append_u16(v, ReconnectPolicy{}.first_backoff_ms);
    fields.push_back({FIELD_RECONNECT, v});
  }
  if (!profile.empty()) {
    mask |= fields_extensions(profile);
    for (auto& f : profile_extension_fields(profile)) fields.push_back(std::move(f));
  }
  if (!mask) return {};
  return encode_extensions(mask, fields);
}

}  // namespace

std::optional<MonitorLayout> parse_layout_text(const std::string& text) {
  MonitorLayout layout;
  size_t pos = 0;
  while (pos <= text.size()) {
    const size_t end = std::min(text.find(',', pos), text.size());
    const std::string one = text.substr(pos, end - pos);
    Monitor m;
    unsigned long long w = 0, h = 0;
    long long x = 0, y = 0;
    int used = 0;
    if (std::sscanf(one.c_str(), "%llux%llu%lld%lld%n", &w, &h, &x, &y, &used) != 4 ||
        (one[static_cast<size_t>(used)] != 0 && one.substr(static_cast<size_t>(used)) != "*") ||
        one.find('-') < one.find('x') || w == 0 || h == 0 || w > UINT32_MAX || h > UINT32_MAX ||
        x < INT32_MIN || x > INT32_MAX || y < INT32_MIN || y > INT32_MAX || layout.size() == 255)
      return std::nullopt;
    m.width = static_cast<uint32_t>(w);
    m.height = static_cast<uint32_t>(h);
    m.left = static_cast<int32_t>(x);
    m.top = static_cast<int32_t>(y);
    m.primary = one.back() == '*';
    layout.push_back(m);
    pos = end + 1;
  }
  if (std::ranges::none_of(layout, &Monitor::primary)) layout[0].primary = true;
  return layout;
}

std::string layout_text(const MonitorLayout& layout) {
  std::string out;
  char one[96];
  for (const Monitor& m : layout) {
    std::snprintf(one, sizeof one, "%s%ux%u%+d%+d%s", out.empty() ? "" : ",", m.width, m.height,
                  m.left, m.top, m.primary ? "*" : "");
    out += one;
  }
  return out;
}

void print_usage(FILE* out) {
  std::fprintf(
      out,
      "usage: korvane-host [--korvane PATH] --host H --port P [--user U] [--domain D]\n"
      "                    [--password W] [--width N --height N] [--flags N]\n"
      "                    [--drive DIR] [--seconds S] [--png OUT] [--move X,Y ...]\n"
      "                    [--click X,Y ...] [--key SCANCODE[,e] ...]\n"
      "                    [--connect-timeout S] [--korvane-log FILE] [--quiet]\n"
      "                    [--cursor] [--cursor-state MS] [--resize WxH[@MS]]\n"
      "                    [--h264 none|avc420,avc444,avc444v2] [--changed-only] [--deflate]\n"
      "                    [--cert-pin FP[,FP...] | --cert-ask accept|reject]\n"
      "                    [--type TEXT ...] [--layout 0xID] [--reconnect N]\n"
      "                    [--audio] [--audio-wav FILE] [--mic-wav FILE]\n"
      "                    [--clip-offer FILE ...] [--clip-fetch DIR]\n"
      "                    [--record FILE [--record-what LIST]]\n"
      "       korvane-host --replay FILE [--at S] [--png FILE] [--quiet]\n"
      "                    [--video FILE.mp4|FILE.mkv [--video-mode M]]\n"
      "                    [--rdp-file FILE] [--console]\n"
      "                    [--client-name NAME] [--security S] [--PROFILE-KEY VALUE ...]\n"
      "                    [--gateway ADDR] [--gateway-KEY VALUE ...]\n"
      "                    [--gateway-message accept|reject]\n"
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
      "  --monitors L      connect with these monitors: WxH+X+Y[*],... (* the primary)\n"
      "  --monitors-change L[@MS]  ask for another layout MS ms after connecting\n"
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
      "  --audio-codecs L  also take these compressed formats undecoded (implies\n"
      "                    --audio): a list of aac, opus, mp3\n"
      "  --audio-wav FILE  write the PCM received to FILE as WAV (implies --audio); one\n"
      "                    format per file: when the format changes, the next file is\n"
      "                    FILE with -2, -3, ... before its extension\n"
      "  --mic-wav FILE    be the session's microphone: each time the server opens it,\n"
      "                    send FILE (16-bit PCM at 44100 or 48000 Hz, mono or stereo)\n"
      "                    at real time, 20 ms a block\n"
      "  --clip-offer FILE put FILE (several: each) on the session's clipboard once it\n"
      "                    is up, to be pasted there; a FILE line per file the server\n"
      "                    reads whole\n"
      "  --clip-fetch DIR  when the session's clipboard holds files, copy them into\n"
      "                    DIR (made if missing), 1 MiB ranges, 4 at a time; a FETCHED\n"
      "                    line per file and one in all\n"
      "  --record FILE     record the session into FILE (see the README's \"Recordings\"):\n"
      "                    korvane's events and the commands sent, with their times\n"
      "  --record-what L   what the recording holds: a list of picture, cursor, sound,\n"
      "                    clipboard, input (default all)\n"
      "  --replay FILE     play a recording instead of connecting: its events are\n"
      "                    printed and painted as a session's, up to --at S seconds (its\n"
      "                    end by default), and --png writes the picture there\n"
      "  --video FILE      with --replay: write the recording as a video, MP4 or\n"
      "                    Matroska by FILE's extension; the server's AVC420 stream\n"
      "                    is remuxed as it is, anything else painted and encoded\n"
      "                    once (H.264); its 16-bit PCM sound becomes a track\n"
      "  --video-mode M    auto (the default), remux (or fail), encode\n"
      "  --rdp-file FILE   send FILE (a saved .rdp file, UTF-8 or UTF-16LE, at most\n"
      "                    32768 bytes) as the connection profile; the options below\n"
      "                    take precedence over what it says\n"
      "  --console         the console session instead of a normal one\n"
      "  --client-name N   the client name the server shows (at most 15 characters)\n"
      "  --security S      rdp, tls, nla, ext or negotiate\n"
      "  --PROFILE-KEY V   any other profile setting: --load-balance-info TEXT,\n"
      "                    --preconnection-id N, --preconnection-blob TEXT, --shell CMD,\n"
      "                    --shell-dir DIR, --time-zone NAME, --color-depth 15|16|24|32,\n"
      "                    --performance-flags 0xN, --network-type 1..7\n"
      "  --gateway ADDR    connect through this Remote Desktop Gateway: host[:port],\n"
      "                    [v6][:port] or https://host[:port]/ (port 443 by default)\n"
      "  --gateway-KEY V   the gateway's other settings: --gateway-transport\n"
      "                    auto|http|http-legacy|rpc, --gateway-user U, --gateway-domain D,\n"
      "                    --gateway-password W (without them: the session's own),\n"
      "                    --gateway-token TOKEN (a bearer token), --gateway-paa COOKIE,\n"
      "                    --gateway-bypass-local yes|no, --gateway-fingerprints FPS (the\n"
      "                    gateway's own pins, with --cert-pin; without them --cert-pin's\n"
      "                    pins name both)\n"
      "  --gateway-message V  answer V (accept or reject) to each of the gateway's\n"
      "                    messages and print them; without it korvane-host accepts\n"
      "                    them when it asked for the gateway extension\n"
      "Exit code 2, before korvane starts, for arguments it cannot use.\n");
}

ParsedArgs parse_host_args(std::span<const std::string> args, const ReadFile& read_file) {
  ParsedArgs result;
  auto fail = [&result](std::string why, bool show_usage = false) {
    result.options.reset();
    result.error = std::move(why);
    result.show_usage = show_usage;
    return result;
  };
  HostOptions o;
  ConnectRequest& request = o.session.request;
  bool have_host = false, have_port = false;
  std::optional<uint8_t> flags;
  bool changed_only = false, deflate = false;
  std::optional<uint8_t> h264_codecs;  // 0: rectangles only
  std::string cert_pins;               // pinned fingerprints, as given
  std::optional<uint32_t> keyboard_layout;
  std::optional<uint16_t> reconnect_attempts;
  ProfileFields profile;
  std::string error;  // set by the readers below when they give nothing
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    auto value = [&]() -> std::optional<std::string> {
      if (i + 1 >= args.size()) {
        error = arg + " needs a value";
        return std::nullopt;
      }
      return args[++i];
    };
    auto number = [&](unsigned long max) -> std::optional<unsigned long> {
      auto v = value();
      if (!v) return std::nullopt;
      auto n = parse_number(*v);
      if (!n || *n > max) {
        error = "bad value for " + arg + ": " + *v;
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
        error = "bad value for " + arg + ": " + *v;
        return std::nullopt;
      }
      return d;
    };
    // A text option: stores its value, or fails with the reader's error.
    auto text = [&](std::string& into) {
      auto v = value();
      if (v) into = *v;
      return v.has_value();
    };
    if (arg == "-h" || arg == "--help") {
      result.help = true;
      return result;
    } else if (arg == "--korvane") {
      if (!text(o.korvane)) return fail(error);
    } else if (arg == "--host") {
      if (!text(request.host)) return fail(error);
      have_host = true;
    } else if (arg == "--port") {
      auto n = number(65535);
      if (!n) return fail(error);
      request.port = static_cast<uint32_t>(*n);
      have_port = true;
    } else if (arg == "--user") {
      if (!text(request.username)) return fail(error);
    } else if (arg == "--domain") {
      if (!text(request.domain)) return fail(error);
    } else if (arg == "--password") {
      if (!text(request.password)) return fail(error);
    } else if (arg == "--width" || arg == "--height") {
      auto n = number(8192);
      if (!n) return fail(error);
      (arg == "--width" ? request.width : request.height) = static_cast<uint32_t>(*n);
    } else if (arg == "--flags") {
      auto n = number(255);
      if (!n) return fail(error);
      flags = static_cast<uint8_t>(*n);
    } else if (arg == "--drive") {
      std::string drive;
      if (!text(drive)) return fail(error);
      request.drive = drive;
    } else if (arg == "--seconds" || arg == "--connect-timeout") {
      auto d = seconds();
      if (!d) return fail(error);
      (arg == "--seconds" ? o.seconds : o.connect_timeout) = *d;
    } else if (arg == "--png") {
      if (!text(o.png)) return fail(error);
    } else if (arg == "--korvane-log") {
      if (!text(o.session.stderr_path)) return fail(error);
    } else if (arg == "--move" || arg == "--click") {
      auto v = value();
      if (!v) return fail(error);
      Input in;
      in.kind = arg == "--move" ? Input::move : Input::click;
      if (!parse_point(*v, in.x, in.y)) return fail(arg + " wants X,Y, not " + *v);
      o.inputs.push_back(in);
    } else if (arg == "--key") {
      auto v = value();
      if (!v) return fail(error);
      Input in;
      in.kind = Input::key;
      std::string code = *v;
      if (code.size() > 2 && code.compare(code.size() - 2, 2, ",e") == 0) {
        in.extended = true;
        code.resize(code.size() - 2);
      }
      auto n = parse_number(code);
      if (!n || *n > 255) {
        return fail("--key wants a scancode 0..255, with \",e\" for an extended key, not " + *v);
      }
      in.scancode = static_cast<uint8_t>(*n);
      o.inputs.push_back(in);
    } else if (arg == "--type") {
      auto v = value();
      if (!v) return fail(error);
      const auto code_points = utf8_code_points(*v);
      if (!code_points) return fail("--type wants UTF-8 text");
      for (const uint32_t cp : *code_points) {
        Input in;
        in.kind = Input::text;
        in.code_point = cp;
        o.inputs.push_back(in);
      }
    } else if (arg == "--reconnect") {
      auto n = number(kMaxReconnectAttempts);
      if (!n) return fail(error);
      if (*n < kMinReconnectAttempts) {
        return fail("--reconnect wants 1.." + std::to_string(kMaxReconnectAttempts) + " attempts");
      }
      reconnect_attempts = static_cast<uint16_t>(*n);
    } else if (arg == "--layout") {
      auto v = value();
      if (!v) return fail(error);
      const auto n = parse_number(*v);
      if (!n || *n > 0xFFFFFFFFul) return fail("--layout wants a layout id, not " + *v);
      keyboard_layout = static_cast<uint32_t>(*n);
    } else if (arg == "--audio") {
      o.audio = true;
    } else if (arg == "--audio-codecs") {
      auto v = value();
      if (!v) return fail(error);
      const auto codecs = parse_name_list(
          *v, {{"aac", AUDIO_CODEC_AAC}, {"opus", AUDIO_CODEC_OPUS}, {"mp3", AUDIO_CODEC_MP3}});
      if (!codecs) return fail("--audio-codecs wants a list of aac, opus, mp3, not " + *v);
      o.audio_codecs = *codecs;
      o.audio = true;
    } else if (arg == "--audio-wav") {
      if (!text(o.audio_wav)) return fail(error);
      if (o.audio_wav.empty()) return fail("--audio-wav wants a file name");
      o.audio = true;
    } else if (arg == "--quiet") {
      o.quiet = true;
    } else if (arg == "--changed-only") {
      changed_only = true;
    } else if (arg == "--deflate") {
      deflate = true;
    } else if (arg == "--cursor") {
      o.cursor = true;
    } else if (arg == "--cursor-state") {
      auto n = number(3600000);
      if (!n) return fail(error);
      o.cursor = true;
      o.cursor_state_ms = static_cast<uint32_t>(*n);
    } else if (arg == "--resize") {
      auto v = value();
      if (!v) return fail(error);
      uint32_t w = 0, h = 0;
      if (!parse_resize(*v, w, h, o.resize_ms)) {
        return fail("--resize wants WxH or WxH@MS, not " + *v);
      }
      o.resize = std::make_pair(w, h);
    } else if (arg == "--monitors" || arg == "--monitors-change") {
      auto v = value();
      if (!v) return fail(error);
      std::string spec = *v;
      uint32_t ms = 0;
      if (const size_t at = spec.find('@'); at != std::string::npos) {
        const auto n = parse_number(spec.substr(at + 1));
        if (!n || *n > 3600000 || arg == "--monitors")
          return fail(arg + " wants a layout, not " + *v);
        ms = static_cast<uint32_t>(*n);
        spec.resize(at);
      }
      auto layout = parse_layout_text(spec);
      if (!layout) return fail(arg + " wants WxH+X+Y[*],..., not " + *v);
      if (arg == "--monitors") {
        o.monitors = std::move(layout);
      } else {
        o.monitors_change = std::move(layout);
        o.monitors_change_ms = ms;
      }
    } else if (arg == "--h264") {
      auto v = value();
      if (!v) return fail(error);
      if (!parse_codecs(*v, h264_codecs)) {
        return fail("--h264 wants none or a list of avc420, avc444, avc444v2, not " + *v);
      }
    } else if (arg == "--cert-pin") {
      auto v = value();
      if (!v) return fail(error);
      if (!parse_fingerprints(*v)) return fail("--cert-pin wants SHA-256 fingerprints, not " + *v);
      cert_pins = *v;
    } else if (arg == "--cert-ask") {
      auto v = value();
      if (!v) return fail(error);
      if (*v != "accept" && *v != "reject") {
        return fail("--cert-ask wants accept or reject, not " + *v);
      }
      o.cert_accept = *v == "accept";
    } else if (arg == "--gateway-message") {
      auto v = value();
      if (!v) return fail(error);
      if (*v != "accept" && *v != "reject") {
        return fail("--gateway-message wants accept or reject, not " + *v);
      }
      o.gateway_accept = *v == "accept";
    } else if (arg == "--mic-wav") {
      auto v = value();
      if (!v) return fail(error);
      auto bytes = read_file ? read_file(*v, kMaxMicWavBytes, error) : std::nullopt;
      if (!bytes) return fail("cannot read " + *v + (error.empty() ? "" : ": " + error));
      if (bytes->size() > kMaxMicWavBytes) return fail(*v + " is over 64 MiB");
      o.mic = parse_wav(*bytes, error);
      if (!o.mic) return fail(*v + ": " + error);
      if (!mic_format_bit(*o.mic))
        return fail(*v + ": korvane takes 44100 or 48000 Hz, mono or stereo");
    } else if (arg == "--clip-offer") {
      auto v = value();
      if (!v || v->empty()) return fail("--clip-offer wants a file name");
      o.clip_offer.push_back(*v);
    } else if (arg == "--record") {
      if (!text(o.record)) return fail(error);
      if (o.record.empty()) return fail("--record wants a file name");
    } else if (arg == "--record-what") {
      auto v = value();
      if (!v) return fail(error);
      const auto what = parse_record_what(*v);
      if (!what) return fail("--record-what wants picture, cursor, sound, clipboard, input");
      o.record_what = *what;
    } else if (arg == "--replay") {
      if (!text(o.replay)) return fail(error);
      if (o.replay.empty()) return fail("--replay wants a file name");
    } else if (arg == "--at") {
      auto v = value();
      if (!v) return fail(error);
      char* end = nullptr;
      const double at = std::strtod(v->c_str(), &end);
      if (*end || !(at >= 0)) return fail("--at wants seconds, not " + *v);
      o.replay_at = at;
    } else if (arg == "--video") {
      if (!text(o.video)) return fail(error);
      if (o.video.empty()) return fail("--video wants a file name");
    } else if (arg == "--video-mode") {
      if (!text(o.video_mode)) return fail(error);
      if (o.video_mode != "auto" && o.video_mode != "remux" && o.video_mode != "encode")
        return fail("--video-mode wants auto, remux or encode");
    } else if (arg == "--clip-fetch") {
      if (!text(o.clip_fetch)) return fail(error);
      if (o.clip_fetch.empty()) return fail("--clip-fetch wants a folder");
    } else if (arg == "--rdp-file") {
      auto v = value();
      if (!v) return fail(error);
      // The file's bytes go as they are: korvane checks the text (and its UTF-16 BOM) itself.
      auto bytes = read_file ? read_file(*v, kMaxRdpFileBytes, error) : std::nullopt;
      if (!bytes) return fail("cannot read " + *v + (error.empty() ? "" : ": " + error));
      if (bytes->size() > kMaxRdpFileBytes) {
        return fail(*v + " is over " + std::to_string(kMaxRdpFileBytes) + " bytes");
      }
      profile[FIELD_RDP_FILE] = std::move(*bytes);
    } else if (arg == "--console") {
      set_profile_key(profile, "console", "yes");
    } else if (const std::string key = profile_key_of(arg); !key.empty()) {
      auto v = value();
      if (!v) return fail(error);
      const auto problem = set_profile_key(profile, key, *v);
      if (problem && !problem->empty()) return fail(arg + ": " + *problem);
    } else {
      return fail("unknown argument " + arg, true);
    }
  }
  if ((!have_host || !have_port) && o.replay.empty())
    return fail("--host and --port are required", true);
  if (!cert_pins.empty() && o.cert_accept) {
    return fail("--cert-pin and --cert-ask exclude each other");
  }
  // The drive path sits after the flags byte on the wire.
  if (request.drive && !flags) flags = 0;
  request.flags = flags;
  o.session.extension_block = extension_block(o, changed_only, deflate, h264_codecs, cert_pins,
                                              keyboard_layout, reconnect_attempts, profile);
  result.options = std::move(o);
  return result;
}

}  // namespace korvane::host
