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
#include <utility>

#include <freerdp/primitives.h>
#include <freerdp/client.h>
#include <freerdp/gdi/gdi.h>
#include <winpr/ssl.h>
#include <winpr/synch.h>
#include <winpr/wlog.h>

#include "audio/audio.hpp"
#include "clipboard/clipboard.hpp"
#include "cursor/cursor.hpp"
#include "display/paint.hpp"
#include "resize/resize.hpp"
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
#include "session/deadlines.hpp"
#include "session/settings.hpp"
#include "session/settings_plan.hpp"
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

// The library reads one PDU a call and then sets its reread event (the first of its handles),
// so a server that streams small updates would cost a whole wait per PDU: a dozen system calls
// over every handle. The transport alone is read again while that event says it may hold more,
// a bounded number of times, so that channels, deadlines and a stop still get their turn soon.
// False when the connection failed.
bool drain_transport(rdpContext* context, HANDLE reread) {
  constexpr int kMostPdus = 32;
  for (int i = 0; i < kMostPdus && !stop_requested(); ++i) {
    if (WaitForSingleObject(reread, 0) != WAIT_OBJECT_0) return true;
    if (!freerdp_check_fds(context->instance)) return false;
  }
  return true;
}

void run_event_loop(rdpContext* context, HANDLE stop_event) {
  for (;;) {
    if (freerdp_shall_disconnect_context(context)) break;
    HANDLE handles[MAXIMUM_WAIT_OBJECTS] = {};
    const DWORD n = freerdp_get_event_handles(context, handles, 64);
    if (n == 0) break;
    DWORD count = n;
    if (stop_event && n < 64) handles[count++] = stop_event;
    DWORD deadlines_at = MAXIMUM_WAIT_OBJECTS;
    if (count < 64 && deadlines_event()) {
      deadlines_at = count;
      handles[count++] = deadlines_event();
    }
    // Bounded by the earliest deadline (a held clipboard list, a resize), even when idle.
    const DWORD status = WaitForMultipleObjects(count, handles, FALSE, deadlines_wait_ms());
    if (status == WAIT_FAILED) break;
    // The stop request is honoured after every wake, whichever handle the wait reported: a
    // server that streams without pause keeps a library handle ready at every wait, and the
    // wait reports the lowest-numbered ready handle, so the stop event alone would never be.
    if (stop_requested()) break;
    if (stop_event && n < 64 && status == WAIT_OBJECT_0 + n) break;
    // Reset before what is due runs, so that a deadline set meanwhile wakes the next wait.
    if (status == WAIT_OBJECT_0 + deadlines_at) ResetEvent(deadlines_event());
    deadlines_run();
    if (status == WAIT_TIMEOUT) continue;
    if (!freerdp_check_event_handles(context)) break;
    if (!drain_transport(context, handles[0])) break;
  }
}

// The host's picture of the session starts again after a reconnection: the size, the whole frame
// buffer (a host may start a new canvas on EVT_RESIZE), and the cursor; then input flows again.
void session_back(rdpContext* context) {
  desktop_resize_to_host(context, true);
  // Servers repaint on activation as a rule; asking costs one PDU and covers those that do not.
  display_refresh(context);
  if (session.grant.mask & EXT_CURSOR) cursor_resend();
  input_connection_up(context);
}

constexpr ReconnectHooks kReconnectHooks{input_connection_down, session_back};

// Sets up the process's side of the link before the host is read.
bool prepare_process() {
  clipboard_reset();
  transport_init();
  transport_on_output_broken(host_output_broken);
  route_library_log_to_stderr();
  if (!network_init()) {
    send_error("WSAStartup failed");
    return false;
  }
  return true;
}

// Step 1: the connect request fills the session record, and the host learns what it was granted.
// False after telling the host why not.
bool read_connect_request() {
  std::optional<Frame> first = read_frame();
  if (!first || first->type != CMD_CONNECT) {
    send_error("Expected CONNECT frame first");
    return false;
  }
  if (!parse_connect(first->payload, session.params)) {
    send_error("Malformed CONNECT frame");
    return false;
  }
  Extensions wanted;
  if (parse_extensions(connect_trailer(first->payload), wanted) == ExtensionParse::malformed) {
    send_error(wanted.problem.empty()
                   ? std::string("Malformed extension block")
                   : "Bad " + std::string(wanted.problem_of) + ": " + std::string(wanted.problem));
    return false;
  }
  session.grant = grant_extensions(wanted);
  session.ext = wanted;
  // Refused here, not by the server: it would take any id and type with a layout nobody chose.
  if ((session.grant.mask & EXT_TEXT) && wanted.keyboard_layout &&
      !keyboard_layout_known(*wanted.keyboard_layout)) {
    send_error("Unknown keyboard layout");
    return false;
  }
  // The host learns what it has before anything else, so it can fall back at once.
  if (wanted.present) send_frame(EVT_EXTENSIONS, encode_grant(session.grant));
  return true;
}

// Step 3: the library's client, with korvane's hooks in it. Null after telling the host why.
ContextPtr make_client(const SettingsPlan& plan) {
  RDP_CLIENT_ENTRY_POINTS entry{};
  entry.Size = sizeof(RDP_CLIENT_ENTRY_POINTS);
  entry.Version = RDP_CLIENT_INTERFACE_VERSION;
  entry.ContextSize = sizeof(ClientContext);
  entry.ClientNew = client_new;
  entry.ClientFree = client_free;
  entry.ClientStart = client_start;
  entry.ClientStop = client_stop;

  // WinPR would load OpenSSL 3's legacy provider (MD4 for NTLM) only as the connection starts,
  // after the library has already tried MD4 while making the context and logged
  // "Failed to initialize digest md4" on every session: loaded first, there is nothing to log.
  winpr_InitializeSSL(WINPR_SSL_INIT_DEFAULT);
  // Left to choose, the library times its plain, its SIMD and its OpenCL pixel routines against
  // each other, 150 ms each, in every process: a third of a second of CPU per session started,
  // to pick the SIMD ones on a machine without a GPU. They are the ones korvane wants.
  primitives_set_hints(PRIMITIVES_ONLY_CPU);
  ContextPtr context(freerdp_client_context_new(&entry));
  if (!context) {
    send_error("freerdp_client_context_new failed");
    return nullptr;
  }
  reinterpret_cast<ClientContext*>(context.get())->plan = &plan;
  if (!write_guard_install(context.get()))
    diag(
        "Warning: the library's transport could not be wrapped; a server's last words may be "
        "lost behind a failed write");

  PubSub_Subscribe(context->pubSub, "ChannelConnected", on_channel_connected);
  PubSub_Subscribe(context->pubSub, "ChannelDisconnected", on_channel_disconnected);
  if (session.grant.mask & (EXT_AUDIO | EXT_MICROPHONE)) audio_install_devices();
  return context;
}

// Step 4: the plan into the library's settings (the rest of it in pre_connect). False after
// telling the host why.
bool apply_plan(rdpContext* context, const SettingsPlan& plan) {
  if (!apply_command_line(context->settings, plan)) {
    send_error("freerdp_client_settings_parse_command_line failed");
    return false;
  }
  std::string problem;
  if (!apply_settings_before_connect(context->settings, plan, problem)) {
    if (!problem.empty()) status_bad_request();
    send_error(problem.empty() ? "The connection settings could not be applied"
                               : "Bad profile: " + problem);
    return false;
  }
  return true;
}

// What runs beside the main thread while the session lives.
struct SessionThreads {
  std::optional<StopEvent> stop_event;
  InputThread input;
  bool input_started = false;
};

void start_threads(rdpContext* context, SessionThreads& threads) {
  dispatcher_attach_input(context->input);
  threads.stop_event.emplace();
  const uint32_t mask = session.grant.mask;
  if (mask & (EXT_RESIZE | EXT_MONITORS)) {
    const Extensions& e = session.ext;
    resize_start((mask & EXT_MONITORS) != 0, (mask & EXT_RESIZE) && e.scale ? *e.scale : Scale{},
                 (mask & EXT_MONITORS) && e.monitors ? *e.monitors : MonitorLayout{});
  }
  try {
    threads.input.thread = std::thread(run_input_thread, std::ref(threads.input));
    threads.input_started = true;
  } catch (const std::system_error&) {
    diag("Warning: could not start the host input thread; the session runs without input");
  }
}

// Step 5: connects. False after telling the host why (EVT_END_REASON when it asked, EVT_ERROR).
bool connect_session(rdpContext* context) {
  status_progress(PROGRESS_CONNECTING);
  bool connected = false;
  bool timed_out = false;
  {
    // A host that asked for typed endings learns of a server that never answers; without it,
    // the connection waits as long as the library does.
    std::chrono::milliseconds limit{0};
    if (session.grant.mask & EXT_STATUS)
      limit = std::chrono::milliseconds(session.ext.connect_timeout_ms.value_or(120000));
    ConnectWatchdog watchdog(context, limit);
    {
      std::lock_guard<std::mutex> lock(connect_lock);
      connecting = host_gone() ? nullptr : context;
    }
    if (connecting) connected = freerdp_connect(context->instance);
    {
      std::lock_guard<std::mutex> lock(connect_lock);
      connecting = nullptr;
    }
    timed_out = !connected && watchdog.timed_out();
  }
  if (connected) return true;
  const UINT32 code = freerdp_get_last_error(context);
  char text[256];
  std::snprintf(text, sizeof text, "Connect failed: 0x%08lX (%s)", static_cast<unsigned long>(code),
                freerdp_get_last_error_string(code));
  status_end(context, stop_requested(), timed_out);
  send_error(text);
  return false;
}

// Step 6: runs the connected session to its end, reconnecting when the host asked for it, and
// disconnects. Returns the exit code.
int run_session(rdpContext* context, HANDLE stop_event) {
  int exit_code = 0;
  input_connection_up(context);
  resize_connection_up();
  bool reconnect_timed_out = false;
  for (;;) {
    run_event_loop(context, stop_event);
    const ReconnectOutcome r = reconnect_session(context, kReconnectHooks, reconnect_timed_out);
    if (r == ReconnectOutcome::reconnected) continue;
    if (r == ReconnectOutcome::gave_up) exit_code = 1;
    break;
  }
  status_end(context, stop_requested(), reconnect_timed_out);
  freerdp_disconnect(context->instance);
  write_guard_reset();
  send_frame(EVT_DISCONNECTED);
  return exit_code;
}

// Step 7: ends the threads, then releases what they and the library's channels could reach, in
// that order. Returns the exit code; ends the process at once when the input thread is stuck.
int tear_down(ContextPtr context, SessionThreads& threads, int exit_code) {
  request_stop();
  stdio_link_cancel_input();
  if (threads.input_started) {
    if (!join_for(threads.input, std::chrono::milliseconds(2000))) {
      // Blocked inside the library (a send to a server that stopped reading, say). It may
      // still touch the context, so nothing it can reach is released: the process ends here.
      diag("Warning: the host input thread did not end; exiting without teardown");
      threads.input.thread.detach();
      std::fflush(stderr);
      _exit(exit_code);
    }
  }
  threads.stop_event.reset();
  dispatcher_attach_input(nullptr);
  resize_stop();
  // The renderer is ours to release: the library frees the context but not what gdi_init
  // allocated. Only now, after the channels (which may still use it) are closed.
  gdi_free(context->instance);
  context.reset();
  audio_remove_devices();
  clipboard_reset();
  cursor_reset();
  return host_gone() ? 1 : exit_code;
}

}  // namespace

int session_main() {
  if (!prepare_process()) return 1;
  if (!read_connect_request()) return 1;
  // Step 2.
  const SettingsPlan plan = plan_settings(session.params, session.grant, session.ext,
                                          audio_sound_argument(), audio_microphone_argument());
  ContextPtr context = make_client(plan);
  if (!context) return 1;
  if (!apply_plan(context.get(), plan)) return 1;
  SessionThreads threads;
  start_threads(context.get(), threads);
  const int exit_code =
      connect_session(context.get()) ? run_session(context.get(), threads.stop_event->handle()) : 1;
  return tear_down(std::move(context), threads, exit_code);
}

}  // namespace korvane
