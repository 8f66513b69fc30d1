#include "session/session.hpp"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <freerdp/client.h>
#include <freerdp/client/cmdline.h>
#include <freerdp/gdi/gdi.h>
#include <freerdp/settings.h>
#include <winpr/ssl.h>
#include <winpr/synch.h>
#include <winpr/wlog.h>

#include "audio/audio.hpp"
#include "clipboard/clipboard.hpp"
#include "cursor/cursor.hpp"
#include "display/paint.hpp"
#include "display/resize.hpp"
#include "host_link/session_extensions.hpp"
#include "host_link/transport.hpp"
#include "input/dispatcher.hpp"
#include "lifecycle/reconnect.hpp"
#include "lifecycle/status.hpp"
#include "lifecycle/write_guard.hpp"
#include "platform/diag.hpp"
#include "platform/keyboard.hpp"
#include "platform/process.hpp"
#include "platform/stdio_link.hpp"
#include "session/callbacks.hpp"
#include "session/connect_args.hpp"
#include "state/control.hpp"
#include "state/record.hpp"

namespace korvane {

namespace {

void send_error(const std::string& text) {
  send_frame(EVT_ERROR, std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

void client_free(freerdp*, rdpContext*) {}
int client_start(rdpContext*) { return 0; }
int client_stop(rdpContext*) { return 0; }

struct ContextDeleter {
  void operator()(rdpContext* c) const { freerdp_client_context_free(c); }
};
using ContextPtr = std::unique_ptr<rdpContext, ContextDeleter>;

// The library logs through WinPR's console appender, which sends its quieter levels to
// standard output. Standard output belongs to the frames, so all of it goes to standard error.
void route_library_log_to_stderr() {
  wLog* root = WLog_GetRoot();
  if (!root) return;
  if (!WLog_SetLogAppenderType(root, WLOG_APPENDER_CONSOLE)) return;
  wLogAppender* appender = WLog_GetLogAppender(root);
  if (appender) WLog_ConfigureAppender(appender, "outputstream", const_cast<char*>("stderr"));
}

// The input thread with a bounded join: std::thread cannot be joined with a time-out.
struct InputThread {
  std::thread thread;
  std::mutex mutex;
  std::condition_variable cv;
  bool done = false;  // guarded by mutex
};

void run_input_thread(InputThread& t) {
  dispatcher_main();
  std::lock_guard<std::mutex> lock(t.mutex);
  t.done = true;
  t.cv.notify_all();
}

// Returns false when the thread is still running after the limit.
bool join_for(InputThread& t, std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(t.mutex);
  if (!t.cv.wait_for(lock, limit, [&] { return t.done; })) return false;
  lock.unlock();
  t.thread.join();
  return true;
}

// The context while freerdp_connect runs (else null), so that a host gone meanwhile can cut it
// short. Guarded by connect_lock: set and cleared by the main thread, read by whichever thread
// finds the host gone, which aborts the connection under the same lock so the context cannot go
// meanwhile.
std::mutex connect_lock;
rdpContext* connecting = nullptr;

// A host that can no longer read holds a server session (a logon, a licence) that nobody
// sees: the session ends as if the host had sent CMD_DISCONNECT, with a line on stderr.
void host_output_broken() {
  const int error = transport_output_errno();
  diag("the host's output is closed (%s): disconnecting", std::strerror(error ? error : EPIPE));
  note_host_gone();
  request_stop();
  std::lock_guard<std::mutex> lock(connect_lock);
  if (connecting) freerdp_abort_connect_context(connecting);
}

constexpr DWORD kEventLoopTickMs = 250;

void run_event_loop(rdpContext* context, HANDLE stop_event) {
  for (;;) {
    if (freerdp_shall_disconnect_context(context)) break;
    HANDLE handles[MAXIMUM_WAIT_OBJECTS] = {};
    const DWORD n = freerdp_get_event_handles(context, handles, 64);
    if (n == 0) break;
    DWORD count = n;
    if (stop_event && n < 64) handles[count++] = stop_event;
    // Bounded, so that a host clipboard list held behind one the server never answers still
    // goes out when its time-out passes, even on an idle connection.
    const DWORD status = WaitForMultipleObjects(count, handles, FALSE, kEventLoopTickMs);
    if (status == WAIT_FAILED) break;
    // The stop request is honoured after every wake, whichever handle the wait reported: a
    // server that streams without pause keeps a library handle ready at every wait, and the
    // wait reports the lowest-numbered ready handle, so the stop event alone would never be.
    if (stop_requested()) break;
    if (stop_event && n < 64 && status == WAIT_OBJECT_0 + n) break;
    clipboard_tick();
    if (status == WAIT_TIMEOUT) continue;
    if (!freerdp_check_event_handles(context)) break;
  }
}

// The host's picture of the session starts again after a reconnection: the size, the whole frame
// buffer (a host may start a new canvas on EVT_RESIZE), and the cursor; then input flows again.
void session_back(rdpContext* context) {
  desktop_resize(context);
  if (context->update && context->update->RefreshRect && context->gdi) {
    // Servers repaint on activation as a rule; asking costs one PDU and covers those that do not.
    RECTANGLE_16 all{0, 0, static_cast<UINT16>(context->gdi->width - 1),
                     static_cast<UINT16>(context->gdi->height - 1)};
    context->update->RefreshRect(context, 1, &all);
  }
  if (session.grant.mask & EXT_CURSOR) cursor_resend();
  input_connection_up(context);
}

constexpr ReconnectHooks kReconnectHooks{input_connection_down, session_back};

}  // namespace

int session_main() {
  clipboard_reset();
  transport_init();
  transport_on_output_broken(host_output_broken);
  route_library_log_to_stderr();
  if (!network_init()) {
    send_error("WSAStartup failed");
    return 1;
  }

  std::optional<Frame> first = read_frame();
  if (!first || first->type != CMD_CONNECT) {
    send_error("Expected CONNECT frame first");
    return 1;
  }
  if (!parse_connect(first->payload, session.params)) {
    send_error("Malformed CONNECT frame");
    return 1;
  }
  {
    Extensions wanted;
    if (parse_extensions(connect_trailer(first->payload), wanted) == ExtensionParse::malformed) {
      send_error("Malformed extension block");
      return 1;
    }
    session.grant = grant_extensions(wanted);
    session.ext = wanted;
    // Refused here, not by the server: it would take any id and type with a layout nobody chose.
    if ((session.grant.mask & EXT_TEXT) && wanted.keyboard_layout &&
        !keyboard_layout_known(*wanted.keyboard_layout)) {
      send_error("Unknown keyboard layout");
      return 1;
    }
    // The host learns what it has before anything else, so it can fall back at once.
    if (wanted.present) send_frame(EVT_EXTENSIONS, encode_grant(session.grant));
  }
  first.reset();

  RDP_CLIENT_ENTRY_POINTS entry{};
  entry.Size = sizeof(RDP_CLIENT_ENTRY_POINTS);
  entry.Version = RDP_CLIENT_INTERFACE_VERSION;
  entry.ContextSize = sizeof(rdpClientContext);
  entry.ClientNew = client_new;
  entry.ClientFree = client_free;
  entry.ClientStart = client_start;
  entry.ClientStop = client_stop;

  // WinPR would load OpenSSL 3's legacy provider (MD4 for NTLM) only as the connection starts,
  // after the library has already tried MD4 while making the context and logged
  // "Failed to initialize digest md4" on every session: loaded first, there is nothing to log.
  winpr_InitializeSSL(WINPR_SSL_INIT_DEFAULT);
  ContextPtr context(freerdp_client_context_new(&entry));
  if (!context) {
    send_error("freerdp_client_context_new failed");
    return 1;
  }
  if (!write_guard_install(context.get()))
    diag("Warning: the library's transport could not be wrapped; a server's last words may be "
         "lost behind a failed write");

  PubSub_Subscribe(context->pubSub, "ChannelConnected", on_channel_connected);
  PubSub_Subscribe(context->pubSub, "ChannelDisconnected", on_channel_disconnected);

  rdpSettings* settings = context->settings;
  {
    std::vector<std::string> args = build_connect_args(session.params);
    // Only a host that asked hears anything; to every other nothing changes.
    if (session.grant.mask & EXT_AUDIO) {
      audio_install_device();
      args.push_back(audio_sound_argument());
    }
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const int rc = freerdp_client_settings_parse_command_line(
        settings, static_cast<int>(args.size()), argv.data(), FALSE);
    if (rc != 0) {
      send_error("freerdp_client_settings_parse_command_line failed");
      return 1;
    }
  }

  if (session.params.password[0])
    freerdp_settings_set_string(settings, FreeRDP_Password, session.params.password);
  freerdp_settings_set_uint32(settings, FreeRDP_TcpAckTimeout, 30000);
  freerdp_settings_set_bool(settings, FreeRDP_SoftwareGdi, TRUE);
  freerdp_settings_set_bool(settings, FreeRDP_GfxH264, TRUE);
  freerdp_settings_set_bool(settings, FreeRDP_GfxAVC444, TRUE);
  freerdp_settings_set_bool(settings, FreeRDP_GfxAVC444v2, TRUE);
  if (session.grant.mask & EXT_H264) {
    // A server picks AVC444 (either version) only when the client offers it; a host that
    // decodes AVC420 alone is better served by a server that never sends the other.
    const bool avc444 = session.grant.h264_codecs & (H264_AVC444 | H264_AVC444V2);
    // A host that decodes none gets rectangles: korvane decodes whatever comes, and a server
    // that is not offered H.264 picks a codec cheaper to decode (one that sends H.264 anyway
    // is still decoded).
    if (!session.grant.h264_codecs) freerdp_settings_set_bool(settings, FreeRDP_GfxH264, FALSE);
    freerdp_settings_set_bool(settings, FreeRDP_GfxAVC444, avc444);
    freerdp_settings_set_bool(settings, FreeRDP_GfxAVC444v2, avc444);
  }
  if (session.grant.mask & EXT_RESIZE)
    freerdp_settings_set_bool(settings, FreeRDP_SupportDisplayControl, TRUE);
  if (session.grant.mask & EXT_CURSOR) {
    // 96x96 and 384x384 pointers, as the server may have them.
    freerdp_settings_set_uint32(settings, FreeRDP_LargePointerFlag, 0x0003);
    // The library passes the server's pointer moves on only to a client that grabs the mouse.
    freerdp_settings_set_bool(settings, FreeRDP_GrabMouse, TRUE);
  }
  diag("FreeRDP_GfxH264=%d AVC444=%d before connect",
       freerdp_settings_get_bool(settings, FreeRDP_GfxH264) ? 1 : 0,
       freerdp_settings_get_bool(settings, FreeRDP_GfxAVC444) ? 1 : 0);

  dispatcher_attach_input(context->input);
  std::optional<StopEvent> stop_event;
  stop_event.emplace();

  if (session.grant.mask & EXT_RESIZE) resize_start();

  InputThread input_thread;
  bool thread_started = false;
  try {
    input_thread.thread = std::thread(run_input_thread, std::ref(input_thread));
    thread_started = true;
  } catch (const std::system_error&) {
    diag("Warning: could not start the host input thread; the session runs without input");
  }

  int exit_code = 0;
  status_progress(PROGRESS_CONNECTING);
  bool connected = false;
  bool timed_out = false;
  {
    // A host that asked for typed endings learns of a server that never answers; without it,
    // the connection waits as long as the library does.
    std::chrono::milliseconds limit{0};
    if (session.grant.mask & EXT_STATUS)
      limit = std::chrono::milliseconds(session.ext.connect_timeout_ms.value_or(120000));
    ConnectWatchdog watchdog(context.get(), limit);
    {
      std::lock_guard<std::mutex> lock(connect_lock);
      connecting = host_gone() ? nullptr : context.get();
    }
    if (connecting) connected = freerdp_connect(context->instance);
    {
      std::lock_guard<std::mutex> lock(connect_lock);
      connecting = nullptr;
    }
    timed_out = !connected && watchdog.timed_out();
  }
  if (!connected) {
    const UINT32 code = freerdp_get_last_error(context.get());
    char text[256];
    std::snprintf(text, sizeof text, "Connect failed: 0x%08lX (%s)",
                  static_cast<unsigned long>(code), freerdp_get_last_error_string(code));
    status_end(context.get(), stop_requested(), timed_out);
    send_error(text);
    exit_code = 1;
  } else {
    input_connection_up(context.get());
    resize_connection_up();
    bool reconnect_timed_out = false;
    for (;;) {
      run_event_loop(context.get(), stop_event->handle());
      const ReconnectOutcome r =
          reconnect_session(context.get(), kReconnectHooks, reconnect_timed_out);
      if (r == ReconnectOutcome::reconnected) continue;
      if (r == ReconnectOutcome::gave_up) exit_code = 1;
      break;
    }
    status_end(context.get(), stop_requested(), reconnect_timed_out);
    freerdp_disconnect(context->instance);
    write_guard_reset();
    send_frame(EVT_DISCONNECTED);
  }

  // Teardown.
  request_stop();
  stdio_link_cancel_input();
  if (thread_started) {
    if (!join_for(input_thread, std::chrono::milliseconds(2000))) {
      // Blocked inside the library (a send to a server that stopped reading, say). It may
      // still touch the context, so nothing it can reach is released: the process ends here.
      diag("Warning: the host input thread did not end; exiting without teardown");
      input_thread.thread.detach();
      std::fflush(stderr);
      _exit(exit_code);
    }
  }
  stop_event.reset();
  dispatcher_attach_input(nullptr);
  resize_stop();
  // The renderer is ours to release: the library frees the context but not what gdi_init
  // allocated. Only now, after the channels (which may still use it) are closed.
  gdi_free(context->instance);
  context.reset();
  audio_remove_device();
  clipboard_reset();
  cursor_reset();
  return host_gone() ? 1 : exit_code;
}

}  // namespace korvane
