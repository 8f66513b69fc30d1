// The server certificate decision of EXT_CERTIFICATE: accept any, pinned fingerprints, or ask
// the host. Without the extension nothing here changes what the library does.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include <freerdp/freerdp.h>

#include "certificate/cert_policy.hpp"

namespace korvane {

// A configuration folder of this process's for the library (known hosts, licences), kept out of
// the user's; made on the first call (main thread, from pre_connect), removed at exit. Empty when
// it could not be made.
std::string certificate_config_dir();

// The library's VerifyX509Certificate callback; main thread, inside freerdp_connect.
int certificate_verify(freerdp* instance, const BYTE* data, size_t length, const char* hostname,
                       UINT16 port, DWORD flags);

// Sends a question (`event`, `question`) to the host and waits up to 60 s for the verdict `box`
// gets, or until the host's frame stream or the connection ends (nullopt: no verdict). Main
// thread; the certificate question and the gateway's messages share it.
std::optional<bool> ask_host_and_wait(VerdictBox& box, uint8_t event,
                                      std::span<const uint8_t> question, rdpContext* context);

// CMD_CERT_VERDICT, from the input thread.
void certificate_verdict(std::span<const uint8_t> payload);

// Whether a certificate was refused (by the host or its pinned list) on this connection's way up.
bool certificate_rejected();
// The same for a gateway's certificate.
bool certificate_gateway_rejected();

// The input thread's frame stream ended: no verdict can come any more (to any question; the
// input thread calls this before waking another box).
void certificate_host_gone();

}  // namespace korvane
