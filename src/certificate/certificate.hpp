// The server certificate decision of EXT_CERTIFICATE: accept any, pinned fingerprints, or ask
// the host. Without the extension nothing here changes what the library does.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include <freerdp/freerdp.h>

namespace korvane {

// A configuration folder of this process's for the library (known hosts, licences), kept out of
// the user's; made on the first call (main thread, from pre_connect), removed at exit. Empty when
// it could not be made.
std::string certificate_config_dir();

// The library's VerifyX509Certificate callback; main thread, inside freerdp_connect.
int certificate_verify(freerdp* instance, const BYTE* data, size_t length, const char* hostname,
                       UINT16 port, DWORD flags);

// CMD_CERT_VERDICT, from the input thread.
void certificate_verdict(std::span<const uint8_t> payload);

// Whether a certificate was refused (by the host or its pinned list) on this connection's way up.
bool certificate_rejected();
// The same for a gateway's certificate.
bool certificate_gateway_rejected();

// The input thread's frame stream ended: no verdict can come any more.
void certificate_host_gone();

}  // namespace korvane
