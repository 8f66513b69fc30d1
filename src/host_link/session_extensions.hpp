// The session extensions' messages: certificate decision, progress and typed endings, text
// input. Pure code over bytes and numbers; it needs only the standard library. The block that
// asks for them is the one of extensions.hpp.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "host_link/extensions.hpp"

namespace korvane {

inline constexpr uint16_t kMinReconnectAttempts = 1;
inline constexpr uint16_t kMaxReconnectAttempts = 100;
inline constexpr uint16_t kMinReconnectBackoffMs = 100;
inline constexpr uint16_t kMaxReconnectBackoffMs = 30000;
// The wait before an attempt doubles each time, up to this.
inline constexpr uint32_t kMaxReconnectDelayMs = 30000;

enum : uint8_t {
  CERT_MODE_ACCEPT_ANY = 0,
  CERT_MODE_PINNED = 1,
  CERT_MODE_ASK = 2,
};

enum : uint8_t {
  RECONNECT_TRYING = 1,   // attempt n of m is about to be made
  RECONNECT_DONE = 2,     // attempt n brought the session back
  RECONNECT_GAVE_UP = 3,  // n attempts failed, or one failed in a way not worth repeating
};

enum : uint32_t {
  LOCK_SCROLL = 0x1,
  LOCK_NUM = 0x2,
  LOCK_CAPS = 0x4,
  LOCK_KANA = 0x8,
};

enum : uint8_t {
  PROGRESS_CONNECTING = 1,      // the connection is being made
  PROGRESS_SECURITY_UP = 2,     // transport and security (TLS, NLA or RDP security) up
  PROGRESS_AUTHENTICATED = 3,   // the server took the logon information and licensing is done
  PROGRESS_LOGON_COMPLETE = 4,  // the session is active; EVT_CONNECTED follows
  PROGRESS_GFX_ON = 5,          // graphics pipeline: capability version, flags the server chose
  PROGRESS_GFX_OFF = 6,         // graphics pipeline closed
};

enum : uint8_t {
  REFUSED_NO_UNICODE = 1,       // the server does not take Unicode input
  REFUSED_NOT_A_CHARACTER = 2,  // a surrogate half or past U+10FFFF
  REFUSED_NO_QUESTION = 3,      // a verdict with no question pending
  // CMD_AUDIO_IN's; the value is the block's length in bytes.
  REFUSED_MIC_CLOSED = 4,  // the server has not opened the microphone, or closed it
  REFUSED_MIC_FORMAT = 5,  // not the format of the last EVT_MIC_OPEN
  REFUSED_MIC_BLOCK = 6,   // not whole PCM frames nor one Opus packet, or empty or too long
  REFUSED_MIC_AHEAD = 7,   // it would put the host more than kMicLeadUs ahead of real time
};

// Why a session ended or failed, for a host to act on.
enum class EndCategory : uint8_t {
  other = 0,
  unreachable = 1,
  timed_out = 2,
  tls_failed = 3,
  certificate_rejected = 4,
  authentication_failed = 5,
  account_problem = 6,
  server_denied = 7,
  logged_off = 8,
  taken_over = 9,
  server_shut_down = 10,
  protocol_error = 11,
  host_requested = 12,
  server_disconnected = 13,  // the server ended the session without saying why, or an admin did
  bad_request = 14,          // the host's own request cannot be used
  // Through a Remote Desktop Gateway: the gateway's own failures.
  gateway_unreachable = 15,
  gateway_auth_failed = 16,           // it refused the credentials, token or cookie
  gateway_resource_refused = 17,      // it will not tunnel to that server
  gateway_certificate_rejected = 18,  // by the host or its pins
  gateway_tunnel_broken = 19,         // the tunnel ended after it was up
  gateway_message_refused = 20,       // the host did not accept the gateway's message
};
std::string_view end_category_name(EndCategory c);

// What korvane knows when a session ends: the library's last error (class << 16 | code), the
// server's error info (0 or 0xFFFFFFFF: none), and its own part in it.
struct EndFacts {
  uint32_t last_error = 0;
  uint32_t error_info = 0;
  bool host_requested = false;
  bool certificate_rejected = false;
  bool timed_out = false;    // korvane's own connect time-out ran out
  bool security_up = false;  // the connection got as far as transport and security
  // Through a gateway: whether there was one, and what korvane itself refused of it.
  bool gateway = false;
  bool gateway_certificate_rejected = false;
  bool gateway_message_refused = false;
};
EndCategory classify_end(const EndFacts& facts);

// Whether a session that ended this way is worth reconnecting: the connection broke and nobody
// meant it to. The server's own word (any error info: logged off, taken over, shut down, an
// administrator) and korvane's or the host's decisions end it for good.
bool connection_dropped(const EndFacts& facts);

// An attempt that failed this way is not repeated: a server that refuses the logon or the
// certificate now will refuse it again.
bool reconnect_hopeless(const EndFacts& facts);

// Milliseconds to wait before attempt n (from 1): the first back-off, doubled each attempt,
// never more than kMaxReconnectDelayMs.
uint32_t reconnect_delay_ms(const ReconnectPolicy& policy, uint32_t attempt);

std::array<uint8_t, 5> encode_reconnect(uint8_t state, uint16_t attempt, uint16_t max_attempts);
struct ReconnectEvent {
  uint8_t state = 0;
  uint16_t attempt = 0;
  uint16_t max_attempts = 0;
};
std::optional<ReconnectEvent> parse_reconnect(std::span<const uint8_t> payload);

struct EndReason {
  EndCategory category = EndCategory::other;
  uint32_t last_error = 0;
  uint32_t error_info = 0;
  std::string last_error_name;  // the library's name for it, e.g. "ERRCONNECT_CONNECT_FAILED"
  std::string error_info_name;
};
// category (u8), last error (u32), error info (u32), the two names (u16 length + bytes each).
std::vector<uint8_t> encode_end_reason(const EndReason& r);
std::optional<EndReason> parse_end_reason(std::span<const uint8_t> payload);

std::array<uint8_t, 9> encode_progress(uint8_t step, uint32_t a = 0, uint32_t b = 0);
std::array<uint8_t, 6> encode_refused(uint8_t command, uint8_t reason, uint32_t value);

// The host's certificate question.
struct CertificateQuestion {
  uint32_t flags = 0;     // the library's VERIFY_CERT_FLAG_* bits
  bool changed = false;   // the server presented another certificate than the one known
  bool mismatch = false;  // the certificate does not name the host connected to
  uint32_t port = 0;
  std::string host;
  std::string subject;
  std::string issuer;
  std::string fingerprint;  // SHA-256, lower-case hex pairs joined by ':'
  std::string pem;
};
// flags (u32), changed (u8), mismatch (u8), port (u32), then host, subject, issuer, fingerprint
// (u16 length + bytes each) and the PEM (u32 length + bytes).
std::vector<uint8_t> encode_certificate_question(const CertificateQuestion& q);
std::optional<CertificateQuestion> parse_certificate_question(std::span<const uint8_t> payload);

using Fingerprint = std::array<uint8_t, 32>;
// "AB:CD:..." or "abcd..." fingerprints separated by ',', ';' or white space; a leading
// "sha256 Fingerprint=" (as openssl prints it) is allowed on each. nullopt when any is not 32
// bytes of hex, or when there is none.
std::optional<std::vector<Fingerprint>> parse_fingerprints(std::string_view text);
std::string format_fingerprint(const Fingerprint& f);  // lower-case pairs joined by ':'

// The UTF-16 units a code point is typed with: one, or a surrogate pair; empty for a surrogate
// half or a value past U+10FFFF.
std::vector<uint16_t> utf16_units(uint32_t code_point);

// Commands of the session extensions: nullopt for a payload shorter than the command's entry in
// kCommands (registry.hpp); bytes after the fields are ignored.
// CMD_CERT_VERDICT: true only for 1 (accept); any other byte rejects.
std::array<uint8_t, 1> encode_cert_verdict(bool accept);
std::optional<bool> parse_cert_verdict(std::span<const uint8_t> payload);

struct UnicodeKey {
  uint32_t code_point = 0;
  bool pressed = false;
};
std::array<uint8_t, 5> encode_unicode(const UnicodeKey& k);
std::optional<UnicodeKey> parse_unicode(std::span<const uint8_t> payload);

// CMD_SYNC_LOCKS: the LOCK_* bits as sent (unknown bits included; the input thread drops them).
std::array<uint8_t, 4> encode_sync_locks(uint32_t locks);
std::optional<uint32_t> parse_sync_locks(std::span<const uint8_t> payload);

// EVT_REFUSED and EVT_PROGRESS as a host reads them (encode_refused, encode_progress above):
// nullopt for a payload shorter than their fields.
struct RefusedEvent {
  uint8_t command = 0;
  uint8_t reason = 0;  // REFUSED_*
  uint32_t value = 0;
};
std::optional<RefusedEvent> parse_refused(std::span<const uint8_t> payload);

struct ProgressEvent {
  uint8_t step = 0;  // PROGRESS_*
  uint32_t a = 0, b = 0;
};
std::optional<ProgressEvent> parse_progress(std::span<const uint8_t> payload);

}  // namespace korvane
