// korvane-test-server: a scripted RDP server for korvane's end-to-end tests.
// It accepts connections on 127.0.0.1 one at a time until one peer gets
// activated, runs the scenario against that peer and exits when it leaves.
#include "peer.hpp"
#include "security.hpp"

#include <freerdp/channels/channels.h>
#include <freerdp/channels/drdynvc.h>
#include <freerdp/channels/wtsvc.h>
#include <freerdp/crypto/certificate.h>
#include <freerdp/crypto/privatekey.h>
#include <freerdp/settings.h>
#include <winpr/ssl.h>
#include <winpr/synch.h>
#include <winpr/wlog.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <optional>
#include <thread>

namespace kts {
namespace {

volatile std::sig_atomic_t g_terminate = 0;

void on_signal(int) { g_terminate = 1; }

bool terminating() { return g_terminate != 0; }

constexpr int exit_ok = 0;
constexpr int exit_setup = 1;
constexpr int exit_script = 2;
constexpr int exit_step_failed = 3;

void usage() {
  std::fprintf(stderr,
               "usage: korvane-test-server --port P [--sec tls|nla|rdp]\n"
               "         [--sam FILE | --user U --password W]\n"
               "         [--script FILE] [--step \"STEP\" ...] [--log FILE] [--dump-dir DIR]\n"
               "         [--disp none|resize|reactivate] [--disp-max WxH]\n"
               "         [--unicode on|off] [--sessions N]\n");
}

// `v`, one of the named choices, into `out`; anything else is logged and refused.
template <typename T>
bool choose(const std::string& arg, const std::string& v,
            std::initializer_list<std::pair<const char*, T>> choices, T& out) {
  for (const auto& [name, value] : choices)
    if (v == name) {
      out = value;
      return true;
    }
  log_error("bad " + arg + " " + v);
  return false;
}

bool parse_args(int argc, char** argv, Options& o) {
  bool have_port = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    std::string value;
    bool inline_value = false;
    if (const auto eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = arg.substr(eq + 1);
      arg = arg.substr(0, eq);
      inline_value = true;
    }
    auto next = [&](std::string& out) {
      if (inline_value) {
        out = value;
        return true;
      }
      if (i + 1 >= argc) return false;
      out = argv[++i];
      return true;
    };
    std::string v;
    if (!next(v)) {
      log_error("missing value for " + arg);
      return false;
    }
    if (arg == "--port") {
      char* end = nullptr;
      const long p = std::strtol(v.c_str(), &end, 10);
      if (v.empty() || *end != '\0' || p < 0 || p > 65535) {
        log_error("bad port " + v);
        return false;
      }
      o.port = static_cast<std::uint16_t>(p);
      have_port = true;
    } else if (arg == "--sec") {
      if (!choose(arg, v, {{"tls", Security::tls}, {"nla", Security::nla}, {"rdp", Security::rdp}},
                  o.sec))
        return false;
    } else if (arg == "--sam") {
      o.sam_file = v;
    } else if (arg == "--user") {
      o.user = v;
    } else if (arg == "--password") {
      o.password = v;
    } else if (arg == "--script") {
      o.script_file = v;
    } else if (arg == "--step") {
      o.step_lines.push_back(v);
    } else if (arg == "--log") {
      o.log_file = v;
    } else if (arg == "--dump-dir") {
      o.dump_dir = v;
    } else if (arg == "--disp") {
      if (!choose(arg, v,
                  {{"none", DispMode::none},
                   {"resize", DispMode::resize},
                   {"reactivate", DispMode::reactivate}},
                  o.disp))
        return false;
    } else if (arg == "--unicode") {
      if (!choose(arg, v, {{"on", true}, {"off", false}}, o.unicode_input)) return false;
    } else if (arg == "--sessions") {
      std::uint32_t n = 0;
      if (!parse_u32(v, n) || n < 1 || n > 1000) {
        log_error("bad --sessions " + v + ", want 1..1000");
        return false;
      }
      o.sessions = n;
    } else if (arg == "--disp-max") {
      // 200..8192 is what the display control channel allows a monitor.
      const auto x = v.find('x');
      std::uint32_t w = 0, h = 0;
      if (x == std::string::npos || !parse_u32(v.substr(0, x), w) ||
          !parse_u32(v.substr(x + 1), h) || w < 200 || h < 200 || w > 8192 || h > 8192) {
        log_error("bad --disp-max " + v + ", want WxH within 200..8192");
        return false;
      }
      o.disp_max_width = w;
      o.disp_max_height = h;
    } else {
      log_error("unknown option " + arg);
      return false;
    }
  }
  if (!have_port) {
    log_error("--port is required");
    return false;
  }
  if (o.sec == Security::nla && o.sam_file.empty() && o.user.empty()) {
    log_error("--sec nla needs --sam FILE or --user/--password");
    return false;
  }
  return true;
}

// FreeRDP logs to stdout by default, which is where the event log goes.
void quiet_freerdp_log() {
  wLog* root = WLog_GetRoot();
  WLog_SetLogAppenderType(root, WLOG_APPENDER_CONSOLE);
  wLogAppender* appender = WLog_GetLogAppender(root);
  WLog_ConfigureAppender(appender, "outputstream", const_cast<char*>("stderr"));
  if (!std::getenv("WLOG_LEVEL")) WLog_SetLogLevel(root, WLOG_ERROR);
}

struct Fd {
  int fd = -1;
  Fd() = default;
  explicit Fd(int f) : fd(f) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
  int release() {
    const int f = fd;
    fd = -1;
    return f;
  }
};

bool open_listener(std::uint16_t port, Fd& out, std::uint16_t& bound) {
  Fd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (s.fd < 0) return false;
  const int one = 1;
  ::setsockopt(s.fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(s.fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return false;
  if (::listen(s.fd, 4) != 0) return false;
  socklen_t len = sizeof addr;
  if (::getsockname(s.fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return false;
  bound = ntohs(addr.sin_port);
  out.fd = s.release();
  return true;
}

// ------------------------------------------------------------ peer callbacks

void note_input(Session& s, const std::string& line, bool user_input) {
  log_line(line);
  std::scoped_lock lock(s.state_mutex);
  ++s.input_lines;
  if (user_input) ++s.user_inputs;
  s.state_cv.notify_all();
}

std::string fmt(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string fmt(const char* format, ...) {
  char buf[256];
  va_list ap;
  va_start(ap, format);
  std::vsnprintf(buf, sizeof buf, format, ap);
  va_end(ap);
  return buf;
}

BOOL on_sync(rdpInput* input, UINT32 flags) {
  note_input(session_of(input->context), fmt("INPUT sync flags=0x%08X", flags), false);
  return TRUE;
}

// A user's input, with the time it came.
BOOL note_user_input(rdpInput* input, const std::string& line) {
  const auto t = static_cast<unsigned long long>(monotonic_ns());
  note_input(session_of(input->context), line + fmt(" t_ns=%llu", t), true);
  return TRUE;
}

BOOL on_key(rdpInput* input, UINT16 flags, UINT8 code) {
  return note_user_input(input, fmt("INPUT key flags=0x%04X code=0x%02X", flags, code));
}

BOOL on_unicode(rdpInput* input, UINT16 flags, UINT16 code) {
  return note_user_input(input, fmt("INPUT unicode flags=0x%04X code=0x%04X", flags, code));
}

BOOL on_mouse(rdpInput* input, UINT16 flags, UINT16 x, UINT16 y) {
  return note_user_input(input, fmt("INPUT mouse flags=0x%04X x=%u y=%u", flags, x, y));
}

BOOL on_extmouse(rdpInput* input, UINT16 flags, UINT16 x, UINT16 y) {
  return note_user_input(input, fmt("INPUT extmouse flags=0x%04X x=%u y=%u", flags, x, y));
}

BOOL on_refresh_rect(rdpContext* context, BYTE count, const RECTANGLE_16* areas) {
  Session& s = session_of(context);
  {
    std::scoped_lock lock(s.state_mutex);
    if (!s.active) return TRUE;
  }
  for (BYTE i = 0; i < count; ++i) {
    Rect r;
    {
      std::scoped_lock lock(s.picture_mutex);
      const std::uint32_t right = std::min<std::uint32_t>(areas[i].right, s.picture.width - 1);
      const std::uint32_t bottom = std::min<std::uint32_t>(areas[i].bottom, s.picture.height - 1);
      if (areas[i].left > right || areas[i].top > bottom) continue;
      r = {areas[i].left, areas[i].top, right - areas[i].left + 1, bottom - areas[i].top + 1};
    }
    // Runs on the peer thread, which already holds io.
    const std::string error = send_picture_area(s, nullptr, r);
    if (!error.empty()) log_error("refresh: " + error);
  }
  return TRUE;
}

BOOL on_suppress_output(rdpContext*, BYTE, const RECTANGLE_16*) { return TRUE; }

BOOL on_post_connect(freerdp_peer* peer) {
  Session& s = session_of(peer->context);
  rdpSettings* settings = peer->context->settings;
  const UINT32 count = freerdp_settings_get_uint32(settings, FreeRDP_ChannelCount);
  for (UINT32 i = 0; i < count; ++i) {
    const auto* def = static_cast<const CHANNEL_DEF*>(
        freerdp_settings_get_pointer_array(settings, FreeRDP_ChannelDefArray, i));
    if (def && WTSVirtualChannelManagerIsChannelJoined(s.vcm, def->name))
      log_channel_join(def->name);
  }
  s.color_depth = freerdp_settings_get_uint32(settings, FreeRDP_ColorDepth);
  for (const ChannelHook& hook : hooks()) {
    if (!hook.on_connect) continue;
    const std::string error = hook.on_connect(s);
    if (!error.empty()) log_error(hook.name + ": " + error);
  }
  return TRUE;
}

// What the client's logon and core data said of its profile, one line each, the text to the end.
void log_profile(rdpContext* context) {
  const rdpSettings* st = context->settings;
  const auto text = [&](FreeRDP_Settings_Keys_String key) {
    const char* v = freerdp_settings_get_string(st, key);
    return std::string(v ? v : "");
  };
  const auto* tz = static_cast<const TIME_ZONE_INFORMATION*>(
      freerdp_settings_get_pointer(st, FreeRDP_ClientTimeZone));
  DWORD token_length = 0;
  const char* token = freerdp_nego_get_routing_token(context, &token_length);
  log_line("PROFILE client_name=" + text(FreeRDP_ClientHostname));
  log_line(fmt("PROFILE time_zone_bias=%d", tz ? static_cast<int>(tz->Bias) : 0));
  log_line("PROFILE time_zone=" + text(FreeRDP_DynamicDSTTimeZoneKeyName));
  log_line(
      fmt("PROFILE performance=0x%08X", freerdp_settings_get_uint32(st, FreeRDP_PerformanceFlags)));
  log_line(fmt("PROFILE color_depth=%u", freerdp_settings_get_uint32(st, FreeRDP_ColorDepth)));
  log_line(fmt("PROFILE network_type=%u", freerdp_settings_get_uint32(st, FreeRDP_ConnectionType)));
  log_line(
      fmt("PROFILE console=%d", freerdp_settings_get_bool(st, FreeRDP_ConsoleSession) ? 1 : 0));
  log_line("PROFILE shell=" + text(FreeRDP_AlternateShell));
  log_line("PROFILE shell_dir=" + text(FreeRDP_ShellWorkingDirectory));
  log_line("PROFILE routing_token=" +
           to_hex(reinterpret_cast<const std::uint8_t*>(token), token ? token_length : 0));
}

BOOL on_activate(freerdp_peer* peer) {
  Session& s = session_of(peer->context);
  rdpSettings* settings = peer->context->settings;
  const std::uint32_t w = freerdp_settings_get_uint32(settings, FreeRDP_DesktopWidth);
  const std::uint32_t h = freerdp_settings_get_uint32(settings, FreeRDP_DesktopHeight);
  const std::uint32_t depth = freerdp_settings_get_uint32(settings, FreeRDP_ColorDepth);
  s.color_depth = depth;
  {
    std::scoped_lock lock(s.picture_mutex);
    picture_reset(s.picture, w, h);
  }
  bool first = false;
  {
    std::scoped_lock lock(s.state_mutex);
    first = s.activations == 0;
  }
  if (first && depth != 32 && depth != 24 && depth != 16 && depth != 15)
    log_error("unsupported client colour depth " + std::to_string(depth));

  // The client's frame buffer starts undefined; one full paint makes it
  // equal to the picture from the first moment on.
  if (begin_paint(s)) {
    const std::string error = send_picture_area(s, nullptr, {0, 0, w, h});
    end_paint(s);
    if (!error.empty()) log_error("initial paint: " + error);
  }

  if (first) log_profile(peer->context);
  if (first)
    log_line(fmt("KEYBOARD layout=0x%08X",
                 freerdp_settings_get_uint32(settings, FreeRDP_KeyboardLayout)));
  if (first) {
    const auto u = [&](FreeRDP_Settings_Keys_UInt32 key) {
      return freerdp_settings_get_uint32(settings, key);
    };
    log_line(fmt("CLIENT desktop=%ux%u scale=%u/%u physical=%ux%u orientation=%u monitors=%u", w, h,
                 u(FreeRDP_DesktopScaleFactor), u(FreeRDP_DeviceScaleFactor),
                 u(FreeRDP_DesktopPhysicalWidth), u(FreeRDP_DesktopPhysicalHeight),
                 unsigned{freerdp_settings_get_uint16(settings, FreeRDP_DesktopOrientation)},
                 u(FreeRDP_MonitorCount)));
  }
  log_line(fmt("%s width=%u height=%u", first ? "CONNECTED" : "RESIZED", w, h));
  std::scoped_lock lock(s.state_mutex);
  ++s.activations;
  s.active = true;
  s.state_cv.notify_all();
  return TRUE;
}

BOOL on_context_new(freerdp_peer* peer, rdpContext* context) {
  auto* pc = reinterpret_cast<PeerContext*>(context);
  pc->session = static_cast<Session*>(peer->ContextExtra);
  pc->session->vcm = WTSOpenServerA(reinterpret_cast<LPSTR>(context));
  return pc->session->vcm && pc->session->vcm != INVALID_HANDLE_VALUE;
}

void on_context_free(freerdp_peer*, rdpContext* context) {
  auto* pc = reinterpret_cast<PeerContext*>(context);
  if (pc && pc->session && pc->session->vcm && pc->session->vcm != INVALID_HANDLE_VALUE) {
    WTSCloseServer(pc->session->vcm);
    pc->session->vcm = nullptr;
  }
}

bool configure_security(freerdp_peer* peer, const Options& o, const std::string& sam_path) {
  rdpSettings* settings = peer->context->settings;
  rdpPrivateKey* key = freerdp_key_new_from_pem(o.key_pem.c_str());
  if (!key || !freerdp_settings_set_pointer_len(settings, FreeRDP_RdpServerRsaKey, key, 1))
    return false;
  rdpCertificate* cert = freerdp_certificate_new_from_pem(o.cert_pem.c_str());
  if (!cert || !freerdp_settings_set_pointer_len(settings, FreeRDP_RdpServerCertificate, cert, 1))
    return false;
  const bool rdp = o.sec == Security::rdp;
  const bool tls = o.sec == Security::tls;
  const bool nla = o.sec == Security::nla;
  if (!freerdp_settings_set_bool(settings, FreeRDP_RdpSecurity, rdp) ||
      !freerdp_settings_set_bool(settings, FreeRDP_TlsSecurity, tls) ||
      !freerdp_settings_set_bool(settings, FreeRDP_NlaSecurity, nla))
    return false;
  if (rdp && !freerdp_settings_set_uint32(settings, FreeRDP_EncryptionLevel,
                                          ENCRYPTION_LEVEL_CLIENT_COMPATIBLE))
    return false;
  if (nla && !freerdp_settings_set_string(settings, FreeRDP_NtlmSamFile, sam_path.c_str()))
    return false;
  return true;
}

struct PeerFree {
  void operator()(freerdp_peer* p) const {
    if (p->context) freerdp_peer_context_free(p);
    freerdp_peer_free(p);
  }
};

struct PeerResult {
  bool activated = false;
  bool scenario_failed = false;
  bool ended = false;  // `end` or `end-reason`: the run is over, whatever --sessions says
};

PeerResult run_peer(int fd, const Options& o, const std::vector<Step>& script,
                    const std::string& sam_path) {
  PeerResult result;
  Session s;
  s.options = &o;
  s.script = script;

  std::unique_ptr<freerdp_peer, PeerFree> peer(freerdp_peer_new(fd));
  if (!peer) {
    ::close(fd);
    log_error("freerdp_peer_new failed");
    return result;
  }
  peer->ContextSize = sizeof(PeerContext);
  peer->ContextNew = on_context_new;
  peer->ContextFree = on_context_free;
  peer->ContextExtra = &s;
  if (!freerdp_peer_context_new(peer.get())) {
    log_error("peer context creation failed");
    return result;
  }
  s.peer = peer.get();
  rdpSettings* settings = peer->context->settings;
  if (!configure_security(peer.get(), o, sam_path) ||
      !freerdp_settings_set_uint32(settings, FreeRDP_ColorDepth, 32) ||
      !freerdp_settings_set_bool(settings, FreeRDP_RemoteFxCodec, FALSE) ||
      !freerdp_settings_set_bool(settings, FreeRDP_NSCodec, FALSE) ||
      !freerdp_settings_set_bool(settings, FreeRDP_SuppressOutput, TRUE) ||
      !freerdp_settings_set_bool(settings, FreeRDP_RefreshRect, TRUE) ||
      !freerdp_settings_set_bool(settings, FreeRDP_UnicodeInput, o.unicode_input)) {
    log_error("peer settings failed");
    return result;
  }
  peer->PostConnect = on_post_connect;
  peer->Activate = on_activate;
  rdpInput* input = peer->context->input;
  input->SynchronizeEvent = on_sync;
  input->KeyboardEvent = on_key;
  input->UnicodeKeyboardEvent = on_unicode;
  input->MouseEvent = on_mouse;
  input->ExtendedMouseEvent = on_extmouse;
  peer->context->update->RefreshRect = on_refresh_rect;
  peer->context->update->SuppressOutput = on_suppress_output;
  if (!peer->Initialize(peer.get())) {
    log_error("peer initialisation failed");
    return result;
  }

  std::thread scenario;
  bool scenario_ok = true;
  bool dynamic_ready = false;
  while (!terminating()) {
    HANDLE handles[MAXIMUM_WAIT_OBJECTS] = {};
    DWORD count = peer->GetEventHandles(peer.get(), handles, 32);
    if (count == 0) break;
    handles[count++] = WTSVirtualChannelManagerGetEventHandle(s.vcm);
    // Bounded so that SIGTERM and `end` are noticed without traffic.
    const DWORD status = WaitForMultipleObjects(count, handles, FALSE, 100);
    if (status == WAIT_FAILED) break;
    {
      ++s.io_waiters;
      std::unique_lock io(s.io);
      --s.io_waiters;
      if (status != WAIT_TIMEOUT && !peer->CheckFileDescriptor(peer.get())) break;
      // The dynamic channel manager may only start once the static
      // channels are joined; opened earlier it fails for good.
      const BOOL open_dynamic = peer->connected && WTSVirtualChannelManagerIsChannelJoined(
                                                       s.vcm, DRDYNVC_SVC_CHANNEL_NAME);
      if (!WTSVirtualChannelManagerCheckFileDescriptorEx(s.vcm, open_dynamic)) break;
      if (!dynamic_ready &&
          WTSVirtualChannelManagerIsChannelJoined(s.vcm, DRDYNVC_SVC_CHANNEL_NAME) &&
          WTSVirtualChannelManagerGetDrdynvcState(s.vcm) == DRDYNVC_STATE_READY) {
        dynamic_ready = true;
        for (const ChannelHook& hook : hooks()) {
          if (!hook.on_dynamic_ready) continue;
          const std::string error = hook.on_dynamic_ready(s);
          if (!error.empty()) log_error(hook.name + ": " + error);
        }
      }
      for (const ChannelHook& hook : hooks())
        if (hook.on_poll) hook.on_poll(s);
    }
    bool start = false;
    {
      std::scoped_lock lock(s.state_mutex);
      if (s.end_requested) break;
      start = s.active && !result.activated;
      if (s.active) result.activated = true;
    }
    if (start) scenario = std::thread([&s, &scenario_ok] { scenario_ok = run_scenario(s); });
  }

  s.stop = true;
  {
    std::scoped_lock lock(s.state_mutex);
    result.ended = s.end_requested;
    s.gone = true;
    s.state_cv.notify_all();
  }
  // A send blocked on a peer that stopped reading must fail now, not later.
  if (!terminating()) {
    std::scoped_lock lock(s.state_mutex);
    if (!s.end_requested) ::shutdown(peer->sockfd, SHUT_RDWR);
  } else {
    ::shutdown(peer->sockfd, SHUT_RDWR);
  }
  if (scenario.joinable()) scenario.join();
  for (const ChannelHook& hook : hooks())
    if (hook.on_stop) hook.on_stop(s);
  {
    std::unique_lock io(s.io);
    for (const ChannelHook& hook : hooks())
      if (hook.on_close) hook.on_close(s);
    peer->Disconnect(peer.get());
  }
  if (result.activated) log_line("DISCONNECTED");
  result.scenario_failed = !scenario_ok;
  return result;
}

int run(int argc, char** argv) {
  Options o;
  if (!parse_args(argc, argv, o)) {
    usage();
    return exit_setup;
  }
  if (!log_open(o.log_file)) {
    std::fprintf(stderr, "cannot open log %s\n", o.log_file.c_str());
    return exit_setup;
  }

  std::vector<std::string> lines;
  if (!o.script_file.empty() && !read_script_file(o.script_file, lines)) {
    log_error("cannot read script " + o.script_file);
    return exit_script;
  }
  lines.insert(lines.end(), o.step_lines.begin(), o.step_lines.end());
  std::vector<Step> script;
  if (!parse_script(lines, script)) return exit_script;

  quiet_freerdp_log();
  std::signal(SIGPIPE, SIG_IGN);
  struct sigaction sa {};
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);

  winpr_InitializeSSL(WINPR_SSL_INIT_DEFAULT);
  WTSRegisterWtsApiFunctionTable(FreeRDP_InitWtsApi());

  if (const std::string error = make_certificate(o.cert_pem, o.key_pem); !error.empty()) {
    log_error(error);
    return exit_setup;
  }
  // Only when needed: a server ended by SIGKILL (as some tests do) leaves its folder behind.
  std::optional<TempDir> temp;
  std::string sam_path = o.sam_file;
  if (o.sec == Security::nla && sam_path.empty()) {
    if (const std::string error = write_sam_file(temp.emplace(), o.user, o.password, sam_path);
        !error.empty()) {
      log_error(error);
      return exit_setup;
    }
  }

  Fd listener;
  std::uint16_t bound = 0;
  if (!open_listener(o.port, listener, bound)) {
    log_error("cannot listen on 127.0.0.1:" + std::to_string(o.port) + ": " + std::strerror(errno));
    return exit_setup;
  }
  log_line("LISTENING port=" + std::to_string(bound));

  // Connections that end before activation (a client retrying with another
  // security protocol, a failed logon) do not end the run.
  unsigned served = 0;
  bool failed = false;
  while (!terminating()) {
    pollfd p{listener.fd, POLLIN, 0};
    const int ready = ::poll(&p, 1, 100);
    if (ready < 0 && errno != EINTR) {
      log_error(std::string("poll failed: ") + std::strerror(errno));
      return exit_setup;
    }
    if (ready <= 0) continue;
    const int fd = ::accept4(listener.fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    const PeerResult r = run_peer(fd, o, script, sam_path);
    if (!r.activated) continue;
    failed = failed || r.scenario_failed;
    if (r.ended || ++served >= o.sessions) break;
  }
  return failed ? exit_step_failed : exit_ok;
}

}  // namespace

Session& session_of(rdpContext* context) {
  return *reinterpret_cast<PeerContext*>(context)->session;
}

}  // namespace kts

int main(int argc, char** argv) {
  const int rc = kts::run(argc, argv);
  kts::log_close();
  return rc;
}
