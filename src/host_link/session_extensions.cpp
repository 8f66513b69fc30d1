#include "host_link/session_extensions.hpp"

#include <algorithm>
#include <cctype>

#include "host_link/extensions.hpp"
#include "host_link/protocol.hpp"

namespace korvane {

namespace {

// The library's error classes: last error = class << 16 | code.
constexpr uint32_t kErrInfoClass = 1;
constexpr uint32_t kConnectClass = 2;

EndCategory classify_error_info(uint32_t info) {
  switch (info) {
    case 0x0001:  // RPC_INITIATED_DISCONNECT
    case 0x000B:  // RPC_INITIATED_DISCONNECT_BY_USER
      return EndCategory::server_disconnected;
    case 0x0002:  // RPC_INITIATED_LOGOFF
    case 0x000C:  // LOGOFF_BY_USER
      return EndCategory::logged_off;
    case 0x0003:  // IDLE_TIMEOUT
    case 0x0004:  // LOGON_TIMEOUT
      return EndCategory::timed_out;
    case 0x0005: return EndCategory::taken_over;  // DISCONNECTED_BY_OTHER_CONNECTION
    case 0x0007:                                  // SERVER_DENIED_CONNECTION
    case 0x0009:                                  // SERVER_INSUFFICIENT_PRIVILEGES
    case 0x000A:                                  // SERVER_FRESH_CREDENTIALS_REQUIRED
      return EndCategory::server_denied;
    case 0x0006:  // OUT_OF_MEMORY
    case 0x000F:  // CLOSE_STACK_ON_DRIVER_NOT_READY
    case 0x0010:  // SERVER_DWM_CRASH
    case 0x0011:  // CLOSE_STACK_ON_DRIVER_FAILURE
    case 0x0012:  // CLOSE_STACK_ON_DRIVER_IFACE_FAILURE
    case 0x0017:  // SERVER_WINLOGON_CRASH
    case 0x0018:  // SERVER_CSRSS_CRASH
      return EndCategory::server_shut_down;
    default: break;
  }
  if (info >= 0x0100 && info <= 0x010A) return EndCategory::server_denied;  // licensing
  if (info >= 0x10C9 && info <= 0x1196) return EndCategory::protocol_error;
  return EndCategory::other;
}

EndCategory classify_connect_error(uint32_t code) {
  switch (code) {
    case 0x04:  // DNS_ERROR
    case 0x05:  // DNS_NAME_NOT_FOUND
    case 0x06:  // CONNECT_FAILED
    case 0x11:  // KDC_UNREACHABLE
      return EndCategory::unreachable;
    case 0x08: return EndCategory::tls_failed;  // TLS_CONNECT_FAILED
    case 0x09:                                  // AUTHENTICATION_FAILED
    case 0x14:                                  // LOGON_FAILURE
    case 0x15:                                  // WRONG_PASSWORD
    case 0x1B:                                  // NO_OR_MISSING_CREDENTIALS
      return EndCategory::authentication_failed;
    case 0x0E:  // PASSWORD_EXPIRED
    case 0x0F:  // PASSWORD_CERTAINLY_EXPIRED
    case 0x10:  // CLIENT_REVOKED
    case 0x12:  // ACCOUNT_DISABLED
    case 0x13:  // PASSWORD_MUST_CHANGE
    case 0x17:  // ACCOUNT_RESTRICTION
    case 0x18:  // ACCOUNT_LOCKED_OUT
    case 0x19:  // ACCOUNT_EXPIRED
    case 0x1A:  // LOGON_TYPE_NOT_GRANTED
      return EndCategory::account_problem;
    case 0x0A:  // INSUFFICIENT_PRIVILEGES
    case 0x16:  // ACCESS_DENIED
    case 0x0C:  // SECURITY_NEGO_CONNECT_FAILED: the server takes none of what was offered
      return EndCategory::server_denied;
    case 0x1C: return EndCategory::timed_out;       // ACTIVATION_TIMEOUT
    case 0x0B: return EndCategory::host_requested;  // CONNECT_CANCELLED
    case 0x02:                                      // CONNECT_UNDEFINED
    case 0x07:                                      // MCS_CONNECT_INITIAL_ERROR
    case 0x0D:                                      // CONNECT_TRANSPORT_FAILED
      return EndCategory::protocol_error;
    default: return EndCategory::other;
  }
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool is_separator(char c) {
  return c == ',' || c == ';' || std::isspace(static_cast<unsigned char>(c));
}

bool is_sha256_word(std::string_view item) {
  static constexpr std::string_view word = "sha256";
  return item.size() == word.size() &&
         std::equal(item.begin(), item.end(), word.begin(), [](char a, char b) {
           return std::tolower(static_cast<unsigned char>(a)) == b;
         });
}

bool next_item_has_equals(std::string_view text, size_t pos) {
  while (pos < text.size() && std::isspace(static_cast<unsigned char>(text[pos]))) ++pos;
  while (pos < text.size() && !is_separator(text[pos])) {
    if (text[pos] == '=') return true;
    ++pos;
  }
  return false;
}

// What a failure through a gateway says of the gateway; nullopt when it says nothing more than
// it would without one.
std::optional<EndCategory> classify_gateway_error(const EndFacts& f) {
  const uint32_t high = f.last_error >> 16, code = f.last_error & 0xFFFF;
  // The gateway's own HRESULTs (E_PROXY_*), as the library passes them on.
  if ((high == 0x8007 || high == 0) && code >= 0x59D8 && code <= 0x5A00) {
    switch (code) {
      case 0x59DA: return EndCategory::gateway_resource_refused;  // RAP_ACCESSDENIED
      case 0x59DB:                                                // NAP_ACCESSDENIED
      case 0x59F8:  // COOKIE_AUTHENTICATION_ACCESS_DENIED
      case 0x59F9:  // UNSUPPORTED_AUTHENTICATION_METHOD
      case 0x59FA:  // REAUTH_AUTHN_FAILED
        return EndCategory::gateway_auth_failed;
      case 0x59DD: return EndCategory::unreachable;  // TS_CONNECTFAILED: the server behind it
      default: return f.security_up ? EndCategory::gateway_tunnel_broken : EndCategory::other;
    }
  }
  if (high != kConnectClass && f.last_error != 0) return std::nullopt;
  // Before the server's security was up, the connection was the gateway's; after, a broken
  // connection is the tunnel's.
  switch (f.last_error == 0 ? 0 : code) {
    case 0x16:  // ACCESS_DENIED: the gateway's HTTP said 401
      if (!f.security_up) return EndCategory::gateway_auth_failed;
      break;
    case 0x04:  // DNS_ERROR
    case 0x05:  // DNS_NAME_NOT_FOUND
    case 0x06:  // CONNECT_FAILED
    case 0x0D:  // CONNECT_TRANSPORT_FAILED
      return f.security_up ? EndCategory::gateway_tunnel_broken : EndCategory::gateway_unreachable;
    case 0x08:  // TLS_CONNECT_FAILED: what the library says of a gateway port nobody listens on
      if (!f.security_up) return EndCategory::gateway_unreachable;
      break;
    case 0:
      if (f.security_up) return EndCategory::gateway_tunnel_broken;
      break;
    default: break;
  }
  return std::nullopt;
}

}  // namespace

std::string_view end_category_name(EndCategory c) {
  switch (c) {
    case EndCategory::other: return "other";
    case EndCategory::unreachable: return "unreachable";
    case EndCategory::timed_out: return "timed out";
    case EndCategory::tls_failed: return "TLS failed";
    case EndCategory::certificate_rejected: return "certificate rejected";
    case EndCategory::authentication_failed: return "authentication failed";
    case EndCategory::account_problem: return "account problem";
    case EndCategory::server_denied: return "server denied";
    case EndCategory::logged_off: return "logged off";
    case EndCategory::taken_over: return "taken over by another connection";
    case EndCategory::server_shut_down: return "server shut down";
    case EndCategory::protocol_error: return "protocol error";
    case EndCategory::host_requested: return "host requested";
    case EndCategory::server_disconnected: return "server disconnected";
    case EndCategory::bad_request: return "bad request";
    case EndCategory::gateway_unreachable: return "gateway unreachable";
    case EndCategory::gateway_auth_failed: return "gateway authentication failed";
    case EndCategory::gateway_resource_refused: return "gateway refused the server";
    case EndCategory::gateway_certificate_rejected: return "gateway certificate rejected";
    case EndCategory::gateway_tunnel_broken: return "gateway tunnel broken";
    case EndCategory::gateway_message_refused: return "gateway message refused";
  }
  return "other";
}

EndCategory classify_end(const EndFacts& f) {
  // korvane's own knowledge first: the library reports each of these as something vaguer.
  if (f.gateway_certificate_rejected) return EndCategory::gateway_certificate_rejected;
  if (f.gateway_message_refused) return EndCategory::gateway_message_refused;
  if (f.certificate_rejected) return EndCategory::certificate_rejected;
  if (f.timed_out) return EndCategory::timed_out;
  if (f.host_requested) return EndCategory::host_requested;
  // The server's own word beats the library's view of the connection it closed.
  if (f.error_info != 0 && f.error_info != 0xFFFFFFFFu) {
    const EndCategory c = classify_error_info(f.error_info);
    if (c != EndCategory::other) return c;
  }
  const uint32_t cls = f.last_error >> 16, code = f.last_error & 0xFFFF;
  if (f.gateway) {
    if (const auto c = classify_gateway_error(f)) return *c;
  }
  // The library says "transport failed" both for a port nobody listens on and for a connection
  // that broke later: before security was up, nobody answered.
  if (cls == kConnectClass && code == 0x0D)
    return f.security_up ? EndCategory::server_shut_down : EndCategory::unreachable;
  if (cls == kConnectClass) return classify_connect_error(code);
  if (cls == kErrInfoClass) return classify_error_info(code);
  // No error anywhere: the server closed the session and gave no reason.
  if (f.last_error == 0) return EndCategory::server_disconnected;
  return EndCategory::other;
}

bool connection_dropped(const EndFacts& f) {
  if (f.host_requested || f.certificate_rejected || f.timed_out || f.gateway_certificate_rejected ||
      f.gateway_message_refused)
    return false;
  // The server said why it ended the session (or its disconnect ultimatum did, which the library
  // turns into error info): it meant to.
  if (f.error_info != 0 && f.error_info != 0xFFFFFFFFu) return false;
  if ((f.last_error >> 16) == kErrInfoClass) return false;
  return !reconnect_hopeless(f);
}

bool reconnect_hopeless(const EndFacts& f) {
  if (f.error_info != 0 && f.error_info != 0xFFFFFFFFu) {
    // A reason the server gives for closing a connection it never let in, or a session it
    // ended: asking again gets the same answer.
    const EndCategory c = classify_error_info(f.error_info);
    if (c != EndCategory::other && c != EndCategory::protocol_error) return true;
  }
  switch (classify_end(f)) {
    case EndCategory::certificate_rejected:
    case EndCategory::authentication_failed:
    case EndCategory::account_problem:
    case EndCategory::host_requested:
    case EndCategory::logged_off:
    case EndCategory::taken_over:
    case EndCategory::gateway_auth_failed:
    case EndCategory::gateway_resource_refused:
    case EndCategory::gateway_certificate_rejected:
    case EndCategory::gateway_message_refused: return true;
    default: return false;
  }
}

uint32_t reconnect_delay_ms(const ReconnectPolicy& policy, uint32_t attempt) {
  uint64_t delay = policy.first_backoff_ms;
  // A zero back-off (which the block never lets through) stays zero: no need to count to 2^32.
  for (uint32_t i = 1; i < attempt && delay != 0 && delay < kMaxReconnectDelayMs; ++i) delay *= 2;
  return static_cast<uint32_t>(std::min<uint64_t>(delay, kMaxReconnectDelayMs));
}

std::array<uint8_t, 5> encode_reconnect(uint8_t state, uint16_t attempt, uint16_t max_attempts) {
  std::array<uint8_t, 5> out{};
  out[0] = state;
  put_u16(&out[1], attempt);
  put_u16(&out[3], max_attempts);
  return out;
}

std::optional<ReconnectEvent> parse_reconnect(std::span<const uint8_t> p) {
  if (p.size() != 5 || p[0] < RECONNECT_TRYING || p[0] > RECONNECT_GAVE_UP) return std::nullopt;
  return ReconnectEvent{p[0], get_u16(p.data() + 1), get_u16(p.data() + 3)};
}

std::vector<uint8_t> encode_end_reason(const EndReason& r) {
  std::vector<uint8_t> out;
  out.push_back(static_cast<uint8_t>(r.category));
  append_u32(out, r.last_error);
  append_u32(out, r.error_info);
  append_text16(out, r.last_error_name);
  append_text16(out, r.error_info_name);
  return out;
}

std::optional<EndReason> parse_end_reason(std::span<const uint8_t> p) {
  if (p.size() < 9) return std::nullopt;
  EndReason r;
  r.category = static_cast<EndCategory>(p[0]);
  r.last_error = get_u32(p.data() + 1);
  r.error_info = get_u32(p.data() + 5);
  size_t pos = 9;
  if (!read_text16(p, pos, r.last_error_name) || !read_text16(p, pos, r.error_info_name))
    return std::nullopt;
  if (pos != p.size()) return std::nullopt;
  return r;
}

std::array<uint8_t, 9> encode_progress(uint8_t step, uint32_t a, uint32_t b) {
  std::array<uint8_t, 9> out{};
  out[0] = step;
  put_u32(&out[1], a);
  put_u32(&out[5], b);
  return out;
}

std::array<uint8_t, 6> encode_refused(uint8_t command, uint8_t reason, uint32_t value) {
  std::array<uint8_t, 6> out{};
  out[0] = command;
  out[1] = reason;
  put_u32(&out[2], value);
  return out;
}

std::vector<uint8_t> encode_certificate_question(const CertificateQuestion& q) {
  std::vector<uint8_t> out;
  append_u32(out, q.flags);
  out.push_back(q.changed ? 1 : 0);
  out.push_back(q.mismatch ? 1 : 0);
  append_u32(out, q.port);
  for (const std::string* s : {&q.host, &q.subject, &q.issuer, &q.fingerprint})
    append_text16(out, *s);
  append_u32(out, static_cast<uint32_t>(q.pem.size()));
  out.insert(out.end(), q.pem.begin(), q.pem.end());
  return out;
}

std::optional<CertificateQuestion> parse_certificate_question(std::span<const uint8_t> p) {
  if (p.size() < 10) return std::nullopt;
  CertificateQuestion q;
  q.flags = get_u32(p.data());
  if (p[4] > 1 || p[5] > 1) return std::nullopt;
  q.changed = p[4] != 0;
  q.mismatch = p[5] != 0;
  q.port = get_u32(p.data() + 6);
  size_t pos = 10;
  for (std::string* s : {&q.host, &q.subject, &q.issuer, &q.fingerprint})
    if (!read_text16(p, pos, *s)) return std::nullopt;
  if (p.size() - pos < 4) return std::nullopt;
  const uint64_t n = get_u32(p.data() + pos);
  pos += 4;
  if (p.size() - pos != n) return std::nullopt;
  q.pem.assign(reinterpret_cast<const char*>(p.data() + pos), static_cast<size_t>(n));
  return q;
}

std::optional<std::vector<Fingerprint>> parse_fingerprints(std::string_view text) {
  std::vector<Fingerprint> out;
  size_t i = 0;
  while (i < text.size()) {
    const char c = text[i];
    if (c == ',' || c == ';' || std::isspace(static_cast<unsigned char>(c))) {
      ++i;
      continue;
    }
    size_t end = i;
    while (end < text.size() && text[end] != ',' && text[end] != ';' &&
           !std::isspace(static_cast<unsigned char>(text[end])))
      ++end;
    std::string_view item = text.substr(i, end - i);
    i = end;
    // openssl prints "sha256 Fingerprint=AB:...": its first word is skipped when the next item
    // carries the '=', and of that item only the part after '=' is read.
    if (is_sha256_word(item) && next_item_has_equals(text, i)) continue;
    if (const size_t eq = item.find('='); eq != std::string_view::npos) item = item.substr(eq + 1);
    if (item.empty()) continue;
    Fingerprint f{};
    size_t n = 0;
    size_t k = 0;
    while (k < item.size()) {
      if (item[k] == ':') {
        ++k;
        continue;
      }
      if (k + 1 >= item.size()) return std::nullopt;
      const int hi = hex_value(item[k]), lo = hex_value(item[k + 1]);
      if (hi < 0 || lo < 0 || n == f.size()) return std::nullopt;
      f[n++] = static_cast<uint8_t>(hi << 4 | lo);
      k += 2;
    }
    if (n != f.size()) return std::nullopt;
    out.push_back(f);
  }
  if (out.empty()) return std::nullopt;
  return out;
}

std::string format_fingerprint(const Fingerprint& f) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < f.size(); ++i) {
    if (i) out += ':';
    out += digits[f[i] >> 4];
    out += digits[f[i] & 0xF];
  }
  return out;
}

std::vector<uint16_t> utf16_units(uint32_t cp) {
  if ((cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) return {};
  if (cp < 0x10000) return {static_cast<uint16_t>(cp)};
  const uint32_t v = cp - 0x10000;
  return {static_cast<uint16_t>(0xD800 | (v >> 10)), static_cast<uint16_t>(0xDC00 | (v & 0x3FF))};
}

namespace {

bool long_enough(uint8_t command, std::span<const uint8_t> payload) {
  return payload.size() >= find_command(command)->min_payload;
}

}  // namespace

std::array<uint8_t, 1> encode_cert_verdict(bool accept) {
  return {static_cast<uint8_t>(accept ? 1 : 0)};
}

std::optional<bool> parse_cert_verdict(std::span<const uint8_t> p) {
  if (!long_enough(CMD_CERT_VERDICT, p)) return std::nullopt;
  return p[0] == 1;
}

std::array<uint8_t, 5> encode_unicode(const UnicodeKey& k) {
  std::array<uint8_t, 5> out{};
  put_u32(out.data(), k.code_point);
  out[4] = k.pressed ? 1 : 0;
  return out;
}

std::optional<UnicodeKey> parse_unicode(std::span<const uint8_t> p) {
  if (!long_enough(CMD_UNICODE, p)) return std::nullopt;
  return UnicodeKey{get_u32(p.data()), p[4] != 0};
}

std::array<uint8_t, 4> encode_sync_locks(uint32_t locks) {
  std::array<uint8_t, 4> out{};
  put_u32(out.data(), locks);
  return out;
}

std::optional<uint32_t> parse_sync_locks(std::span<const uint8_t> p) {
  if (!long_enough(CMD_SYNC_LOCKS, p)) return std::nullopt;
  return get_u32(p.data());
}

std::optional<RefusedEvent> parse_refused(std::span<const uint8_t> p) {
  if (p.size() < 6) return std::nullopt;
  return RefusedEvent{p[0], p[1], get_u32(p.data() + 2)};
}

std::optional<ProgressEvent> parse_progress(std::span<const uint8_t> p) {
  if (p.size() < 9) return std::nullopt;
  return ProgressEvent{p[0], get_u32(p.data() + 1), get_u32(p.data() + 5)};
}

}  // namespace korvane
