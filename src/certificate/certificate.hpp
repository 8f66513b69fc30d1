// The server certificate decision of EXT_CERTIFICATE: accept any, pinned fingerprints, or ask
// the host. Without the extension nothing here changes what the library does.
#pragma once

#include <cstdint>
#include <span>

#include <freerdp/freerdp.h>

namespace korvane {

// From pre_connect: hands every certificate to certificate_verify when the session pins or asks,
// and keeps the library's own configuration folder (known hosts, licences) out of the user's.
BOOL certificate_configure(rdpSettings* settings);

// The library's VerifyX509Certificate callback; main thread, inside freerdp_connect.
int certificate_verify(freerdp* instance, const BYTE* data, size_t length, const char* hostname,
                       UINT16 port, DWORD flags);

// CMD_CERT_VERDICT, from the input thread.
void certificate_verdict(std::span<const uint8_t> payload);

// Whether a certificate was refused (by the host or its pinned list) on this connection's way up.
bool certificate_rejected();

// The input thread's frame stream ended: no verdict can come any more.
void certificate_host_gone();

}  // namespace korvane
