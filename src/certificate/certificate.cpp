#include "certificate/certificate.hpp"

#include <atomic>
#include <cstdlib>
#include <memory>
#include <string>

#include <freerdp/crypto/certificate.h>
#include <winpr/crypto.h>

#include "certificate/cert_policy.hpp"
#include "host_link/session_extensions.hpp"
#include "host_link/transport.hpp"
#include "platform/diag.hpp"
#include "platform/files.hpp"
#include "state/control.hpp"
#include "state/record.hpp"

namespace korvane {

namespace {

// How long a host may take to answer a question (a certificate, a gateway's message) before
// the answer counts as no.
constexpr auto kVerdictLimit = std::chrono::seconds(60);

// The host's answer to the question the main thread is waiting on; the box has its own lock.
VerdictBox verdicts;
// Set by the input thread when its frame stream ends; read by the main thread while it waits
// for any verdict. No lock: a lone flag.
std::atomic<bool> host_input_ended{false};
// Set by certificate_verify (main thread, while connecting) when the host or its pinned list
// refused the server's certificate; read by the main thread when it reports the failure. No
// lock: a lone flag.
std::atomic<bool> rejected{false};
// The same for the gateway's certificate.
std::atomic<bool> gateway_rejected{false};

// The library's configuration folder for this process, created in pre_connect by the main
// thread and removed at exit (main thread, after session_main). Empty: the library's own.
std::string private_config_dir;

void remove_private_config_dir() {
  if (private_config_dir.empty()) return;
  remove_private_dir(private_config_dir);
  private_config_dir.clear();
}

struct CertificateDeleter {
  void operator()(rdpCertificate* c) const { freerdp_certificate_free(c); }
};
struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};

std::string take_string(char* s) {
  std::unique_ptr<char, FreeDeleter> owned(s);
  return s ? std::string(s) : std::string();
}

bool names_host(const rdpCertificate* cert, const std::string& host) {
  size_t cn_length = 0;
  const std::string cn = take_string(freerdp_certificate_get_common_name(cert, &cn_length));
  if (certificate_name_matches(cn, host)) return true;
  size_t count = 0;
  size_t* lengths = nullptr;
  char** names = freerdp_certificate_get_dns_names(cert, &count, &lengths);
  bool match = false;
  for (size_t i = 0; names && i < count && !match; ++i)
    if (names[i]) match = certificate_name_matches(std::string_view(names[i], lengths[i]), host);
  freerdp_certificate_free_dns_names(count, lengths, names);
  return match;
}

// The library's verdict for a certificate korvane refuses; the session remembers why it failed.
int reject(DWORD flags) {
  ((flags & VERIFY_CERT_FLAG_GATEWAY) ? gateway_rejected : rejected).store(true);
  return 0;
}

bool ask_host(freerdp* instance, const CertificateQuestion& q) {
  const auto v = ask_host_and_wait(verdicts, EVT_CERTIFICATE, encode_certificate_question(q),
                                   instance->context);
  if (!v) diag("Certificate question unanswered: rejected");
  return v.value_or(false);
}

}  // namespace

std::optional<bool> ask_host_and_wait(VerdictBox& box, uint8_t event,
                                      std::span<const uint8_t> question, rdpContext* context) {
  box.open();
  send_frame(event, question);
  return box.wait(std::chrono::steady_clock::now() + kVerdictLimit, [&] {
    return stop_requested() || host_input_ended.load() ||
           (context && freerdp_shall_disconnect_context(context));
  });
}

std::string certificate_config_dir() {
  if (private_config_dir.empty()) {
    private_config_dir = make_private_dir("korvane");
    if (private_config_dir.empty()) {
      diag("Could not create a private configuration folder");
      return {};
    }
    std::atexit(remove_private_config_dir);
  }
  return private_config_dir;
}

int certificate_verify(freerdp* instance, const BYTE* data, size_t length, const char* hostname,
                       UINT16 port, DWORD flags) {
  const uint8_t mode = effective_cert_mode(session.ext, session.grant);
  if (mode == CERT_MODE_ACCEPT_ANY) return 1;
  if (!data || length == 0) return reject(flags);
  const std::string pem(reinterpret_cast<const char*>(data), length);
  std::unique_ptr<rdpCertificate, CertificateDeleter> cert(
      freerdp_certificate_new_from_pem(pem.c_str()));
  if (!cert) {
    diag("The server's certificate could not be read");
    return reject(flags);
  }
  size_t der_length = 0;
  std::unique_ptr<BYTE, FreeDeleter> der(freerdp_certificate_get_der(cert.get(), &der_length));
  Fingerprint fp{};
  if (!der || !winpr_Digest(WINPR_MD_SHA256, der.get(), der_length, fp.data(), fp.size())) {
    diag("The server's certificate could not be hashed");
    return reject(flags);
  }
  if (mode == CERT_MODE_PINNED) {
    // The gateway's own pins when the host gave some; else one list names both.
    const bool gateway = (flags & VERIFY_CERT_FLAG_GATEWAY) != 0;
    const auto& pins = gateway && !session.ext.gateway.fingerprints.empty()
                           ? session.ext.gateway.fingerprints
                           : session.ext.fingerprints;
    if (fingerprint_pinned(fp, pins)) return 1;
    diag("%s certificate %s is not pinned: rejected", gateway ? "Gateway" : "Server",
         format_fingerprint(fp).c_str());
    return reject(flags);
  }
  CertificateQuestion q;
  q.host = hostname ? hostname : "";
  q.port = port;
  q.mismatch = !names_host(cert.get(), q.host);
  q.flags = flags | (q.mismatch ? VERIFY_CERT_FLAG_MISMATCH : 0);
  q.changed = (flags & VERIFY_CERT_FLAG_CHANGED) != 0;
  q.subject = take_string(freerdp_certificate_get_subject(cert.get()));
  q.issuer = take_string(freerdp_certificate_get_issuer(cert.get()));
  q.fingerprint = format_fingerprint(fp);
  q.pem = pem;
  if (ask_host(instance, q)) return 1;
  return reject(flags);
}

void certificate_verdict(std::span<const uint8_t> payload) {
  if (!payload.empty() && verdicts.deliver(payload[0] == 1)) return;
  send_frame(EVT_REFUSED, encode_refused(CMD_CERT_VERDICT, REFUSED_NO_QUESTION, 0));
}

bool certificate_rejected() { return rejected.load(); }

bool certificate_gateway_rejected() { return gateway_rejected.load(); }

void certificate_host_gone() {
  host_input_ended.store(true);
  verdicts.wake();
}

}  // namespace korvane
