#include "gateway/gateway.hpp"

#include <atomic>
#include <cstdlib>
#include <memory>
#include <string>

#include <winpr/string.h>

#include "certificate/certificate.hpp"
#include "host_link/gateway.hpp"
#include "host_link/session_extensions.hpp"
#include "host_link/transport.hpp"
#include "platform/diag.hpp"
#include "state/record.hpp"

namespace korvane {

namespace {

// A message is shown to a person: more than this is no message.
constexpr size_t kMaxMessageBytes = 65535;

// The host's answer to the message the main thread waits on; the box has its own lock.
VerdictBox verdicts;
// Set by the main thread when the host refused a message; read by it when the session ends.
std::atomic<bool> refused{false};

struct FreeDeleter {
  void operator()(char* p) const { std::free(p); }
};

// The message as the host reads it: UTF-8, without the terminator the gateway counts.
std::string utf8_of(const WCHAR* message, size_t length_bytes) {
  if (!message || length_bytes < sizeof(WCHAR)) return {};
  size_t units = length_bytes / sizeof(WCHAR);
  while (units > 0 && message[units - 1] == 0) --units;  // the gateway counts its terminator
  size_t size = 0;
  std::unique_ptr<char, FreeDeleter> text(ConvertWCharNToUtf8Alloc(message, units, &size));
  if (!text) return {};
  std::string out(text.get(), size);
  if (out.size() > kMaxMessageBytes) out.resize(kMaxMessageBytes);
  return out;
}

}  // namespace

BOOL gateway_present_message(freerdp* instance, UINT32 type, BOOL, BOOL, size_t length,
                             const WCHAR* message) {
  if (!(session.grant.mask & EXT_GATEWAY)) return TRUE;
  GatewayMessage m;
  m.kind = type == GATEWAY_MESSAGE_CONSENT ? GATEWAY_MSG_CONSENT : GATEWAY_MSG_SERVICE;
  m.text = utf8_of(message, length);
  const auto v = ask_host_and_wait(verdicts, EVT_GATEWAY_MESSAGE, encode_gateway_message(m),
                                   instance->context);
  if (v.value_or(false)) return TRUE;
  diag(v ? "The host refused the gateway's message" : "The gateway's message went unanswered");
  refused.store(true);
  return FALSE;
}

void gateway_verdict(std::span<const uint8_t> payload) {
  if (!payload.empty() && verdicts.deliver(payload[0] == 1)) return;
  send_frame(EVT_REFUSED, encode_refused(CMD_GATEWAY_VERDICT, REFUSED_NO_QUESTION, 0));
}

bool gateway_message_refused() { return refused.load(); }

void gateway_host_gone() { verdicts.wake(); }

}  // namespace korvane
