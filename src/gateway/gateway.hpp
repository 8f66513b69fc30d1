// The Remote Desktop Gateway's messages: a consent text before the tunnel opens, an
// administrator's notice while the session runs. A host granted EXT_GATEWAY decides on each;
// for every other host korvane accepts them, as it always did.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include <freerdp/freerdp.h>

namespace korvane {

// The library's PresentGatewayMessage callback; main thread (while connecting, or from the
// session loop's transport reads).
BOOL gateway_present_message(freerdp* instance, UINT32 type, BOOL display_mandatory,
                             BOOL consent_mandatory, size_t length, const WCHAR* message);

// CMD_GATEWAY_VERDICT, from the input thread.
void gateway_verdict(std::span<const uint8_t> payload);

// Whether the host refused (or left unanswered) a gateway message on this connection.
bool gateway_message_refused();

// The input thread's frame stream ended (after certificate_host_gone): wakes a waiting message.
void gateway_host_gone();

}  // namespace korvane
