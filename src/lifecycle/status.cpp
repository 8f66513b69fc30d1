#include "lifecycle/status.hpp"

#include <freerdp/event.h>

#include "certificate/certificate.hpp"
#include "gateway/gateway.hpp"
#include "host_link/extensions.hpp"
#include "host_link/transport.hpp"
#include "lifecycle/connect_steps.hpp"
#include "platform/diag.hpp"
#include "state/record.hpp"

namespace korvane {

namespace {

bool wanted() { return (session.grant.mask & EXT_STATUS) != 0; }

// The connection steps sent. Guarded by step_lock: written by the watchdog thread while
// connecting and by the main thread (post_connect). Held while the step goes out, so steps
// cannot pass each other on the wire; the write lock is taken under it, never the reverse.
std::mutex step_lock;
ConnectSteps steps;

}  // namespace

void status_progress(uint8_t step, uint32_t a, uint32_t b) {
  if (!wanted()) return;
  if (step > PROGRESS_LOGON_COMPLETE) {
    send_frame(EVT_PROGRESS, encode_progress(step, a, b));
    return;
  }
  std::lock_guard<std::mutex> guard(step_lock);
  for (const uint8_t s : steps.reach(step)) send_frame(EVT_PROGRESS, encode_progress(s));
}

void status_poll_connection(rdpContext* context) {
  const CONNECTION_STATE state = freerdp_get_state(context);
  // Transport and security are up once the library starts the MCS exchange, which runs inside
  // TLS (or NLA, or RDP security) on an open connection; the server has taken the logon
  // information and licensing is over once it sends its capabilities.
  if (state >= CONNECTION_STATE_CAPABILITIES_EXCHANGE_DEMAND_ACTIVE)
    status_progress(PROGRESS_AUTHENTICATED);
  else if (state >= CONNECTION_STATE_MCS_CREATE_REQUEST)
    status_progress(PROGRESS_SECURITY_UP);
}

EndFacts end_facts(rdpContext* context) {
  EndFacts f;
  f.last_error = freerdp_get_last_error(context);
  f.error_info = context->instance ? freerdp_error_info(context->instance) : 0;
  f.certificate_rejected = certificate_rejected();
  // The gateway's categories are for a host that asked for gateways: to any other (whose .rdp
  // text may name one) a gateway's refusals look as they always did.
  if (session.grant.mask & EXT_GATEWAY) {
    f.gateway = freerdp_settings_get_bool(context->settings, FreeRDP_GatewayEnabled);
    f.gateway_certificate_rejected = certificate_gateway_rejected();
    f.gateway_message_refused = gateway_message_refused();
  } else {
    f.certificate_rejected = f.certificate_rejected || certificate_gateway_rejected();
  }
  return f;
}

void status_end(rdpContext* context, bool host_requested, bool timed_out) {
  if (!wanted()) return;
  EndFacts f = end_facts(context);
  f.host_requested = host_requested;
  f.timed_out = timed_out;
  {
    std::lock_guard<std::mutex> guard(step_lock);
    f.security_up = steps.last() >= PROGRESS_SECURITY_UP;
  }
  EndReason r;
  r.category = classify_end(f);
  r.last_error = f.last_error;
  r.error_info = f.error_info;
  if (const char* n = freerdp_get_last_error_name(f.last_error)) r.last_error_name = n;
  if (const char* n = freerdp_get_error_info_name(f.error_info)) r.error_info_name = n;
  diag("session end: %s (last error 0x%08X, error info 0x%08X)",
       std::string(end_category_name(r.category)).c_str(), f.last_error, f.error_info);
  send_frame(EVT_END_REASON, encode_end_reason(r));
}

void status_bad_request() {
  if (!wanted()) return;
  EndReason r;
  r.category = EndCategory::bad_request;
  send_frame(EVT_END_REASON, encode_end_reason(r));
}

ConnectWatchdog::ConnectWatchdog(rdpContext* context, std::chrono::milliseconds limit) {
  if (limit.count() <= 0) return;
  try {
    thread_ = std::thread([this, context, limit] {
      std::unique_lock<std::mutex> guard(lock_);
      const auto deadline = std::chrono::steady_clock::now() + limit;
      // The library announces no steps of its own: its state is looked at a few times a
      // second, cheap against a connection that takes tens of milliseconds at the least.
      while (!done_ && std::chrono::steady_clock::now() < deadline) {
        wake_.wait_for(guard, std::chrono::milliseconds(20));
        if (done_) return;
        guard.unlock();
        status_poll_connection(context);
        guard.lock();
      }
      if (done_) return;
      fired_ = true;
      diag("the connection took longer than %lld ms: giving up",
           static_cast<long long>(limit.count()));
      freerdp_abort_connect_context(context);
    });
  } catch (const std::system_error&) {
    diag("Warning: could not start the connect watchdog");
  }
}

ConnectWatchdog::~ConnectWatchdog() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    done_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

bool ConnectWatchdog::timed_out() {
  std::lock_guard<std::mutex> guard(lock_);
  return fired_;
}

}  // namespace korvane
