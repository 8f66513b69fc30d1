#include "lifecycle/reconnect.hpp"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "lifecycle/status.hpp"
#include "host_link/session_extensions.hpp"
#include "host_link/transport.hpp"
#include "lifecycle/reconnect_policy.hpp"
#include "platform/diag.hpp"
#include "state/control.hpp"
#include "state/record.hpp"

namespace korvane {

namespace {

EndFacts facts_now(rdpContext* context) {
  EndFacts f = end_facts(context);
  f.host_requested = stop_requested();
  f.security_up = true;  // it was, before the drop
  return f;
}

void send_reconnect(uint8_t state, uint32_t attempt, uint16_t max_attempts) {
  send_frame(EVT_RECONNECT, encode_reconnect(state, static_cast<uint16_t>(attempt), max_attempts));
}

// Aborts an attempt that outlives its limit (a server that accepts and says nothing) or that the
// host no longer wants. The abort is repeated while it is due: the library clears it when it
// starts an attempt, and one that lands just before would be lost.
struct AttemptWatch {
  std::mutex lock;
  std::condition_variable wake;
  bool done = false;       // guarded by lock: set by the main thread, read by the watch thread
  bool timed_out = false;  // guarded by lock: set by the watch thread, read by the main thread
  std::thread thread;

  AttemptWatch(rdpContext* context, std::chrono::milliseconds limit) {
    try {
      thread = std::thread([this, context, limit] {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        std::unique_lock<std::mutex> guard(lock);
        while (!done) {
          wake.wait_for(guard, std::chrono::milliseconds(50));
          if (done) return;
          const bool late = std::chrono::steady_clock::now() >= deadline;
          if (late) timed_out = true;
          if (late || stop_requested()) freerdp_abort_connect_context(context);
        }
      });
    } catch (const std::system_error&) {
      diag("Warning: could not start the reconnection watch");
    }
  }
  ~AttemptWatch() {
    {
      std::lock_guard<std::mutex> guard(lock);
      done = true;
    }
    wake.notify_all();
    if (thread.joinable()) thread.join();
  }
  AttemptWatch(const AttemptWatch&) = delete;
  AttemptWatch& operator=(const AttemptWatch&) = delete;
};

}  // namespace

ReconnectOutcome reconnect_session(rdpContext* context, const ReconnectHooks& hooks,
                                   bool& timed_out) {
  timed_out = false;
  if (!(session.grant.mask & EXT_RECONNECT) || stop_requested())
    return ReconnectOutcome::not_wanted;
  EndFacts facts = facts_now(context);
  if (!connection_dropped(facts)) return ReconnectOutcome::not_wanted;
  diag("the connection dropped (last error 0x%08X): reconnecting", facts.last_error);

  const ReconnectPolicy policy = session.ext.reconnect.value_or(ReconnectPolicy{});
  const std::chrono::milliseconds limit(session.ext.connect_timeout_ms.value_or(30000));
  hooks.connection_down();
  ReconnectAttempts attempts(policy);
  while (const std::optional<ReconnectAttempt> next = attempts.next()) {
    const uint32_t attempt = next->number;
    send_reconnect(RECONNECT_TRYING, attempt, policy.max_attempts);
    if (!wait_unless_stopped(next->delay_ms)) return ReconnectOutcome::stopped;
    bool ok = false;
    // The library refuses to reconnect after a cancelled attempt; a time-out's cancel is ours.
    if (freerdp_get_last_error(context) == FREERDP_ERROR_CONNECT_CANCELLED)
      freerdp_set_last_error(context, FREERDP_ERROR_SUCCESS);
    {
      AttemptWatch watch(context, limit);
      ok = freerdp_reconnect(context->instance);
      std::lock_guard<std::mutex> guard(watch.lock);
      timed_out = watch.timed_out;
    }
    if (stop_requested()) return ReconnectOutcome::stopped;
    if (ok) {
      diag("reconnected at attempt %u", attempt);
      send_reconnect(RECONNECT_DONE, attempt, policy.max_attempts);
      hooks.session_back(context);
      return ReconnectOutcome::reconnected;
    }
    facts = facts_now(context);
    facts.timed_out = timed_out;
    diag("reconnection attempt %u failed (last error 0x%08X)", attempt, facts.last_error);
    attempts.failed(facts);
  }
  send_reconnect(RECONNECT_GAVE_UP, attempts.made(), policy.max_attempts);
  return ReconnectOutcome::gave_up;
}

}  // namespace korvane
