#include "cluster.hpp"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <charconv>
#include <vector>

namespace korvane::web {

namespace {

bool lower_hex(std::string_view s, size_t size) {
  if (s.size() != size) return false;
  for (const char c : s)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  return true;
}

std::string mac_hex(std::string_view secret, std::string_view kind, std::string_view body) {
  const std::string message = std::string(kind) + "." + std::string(body);
  unsigned char mac[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (!HMAC(EVP_sha256(), secret.data(), static_cast<int>(secret.size()),
            reinterpret_cast<const unsigned char*>(message.data()), message.size(), mac, &size))
    return {};
  static const char* hex = "0123456789abcdef";
  std::string out;
  for (unsigned int i = 0; i < size; ++i) {
    out += hex[mac[i] >> 4];
    out += hex[mac[i] & 15];
  }
  return out;
}

}  // namespace

bool valid_node_name(std::string_view name) {
  if (name.empty() || name.size() > 63 || name.front() == '-') return false;
  for (const char c : name)
    if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-')) return false;
  return true;
}

std::string sign_token(std::string_view secret, std::string_view kind, const std::string& node,
                       int64_t expires, const std::string& nonce) {
  const std::string body = node + "." + std::to_string(expires) + "." + nonce;
  return body + "." + mac_hex(secret, kind, body);
}

std::optional<Signed> check_token(std::string_view secret, std::string_view kind,
                                  std::string_view token, int64_t now) {
  if (token.size() > 256 || secret.size() < kMinSecretBytes) return std::nullopt;
  std::vector<std::string_view> parts;
  for (size_t from = 0;;) {
    const size_t dot = token.find('.', from);
    parts.push_back(token.substr(from, dot == std::string_view::npos ? dot : dot - from));
    if (dot == std::string_view::npos) break;
    from = dot + 1;
  }
  if (parts.size() != 4 || !valid_node_name(parts[0]) || !lower_hex(parts[2], 32) ||
      !lower_hex(parts[3], 64))
    return std::nullopt;
  int64_t expires = 0;
  const auto r = std::from_chars(parts[1].data(), parts[1].data() + parts[1].size(), expires);
  if (r.ec != std::errc() || r.ptr != parts[1].data() + parts[1].size()) return std::nullopt;
  const std::string want =
      mac_hex(secret, kind, token.substr(0, token.size() - parts[3].size() - 1));
  // In constant time: a MAC must not be guessed byte by byte from how long a refusal took.
  if (want.size() != parts[3].size() ||
      CRYPTO_memcmp(want.data(), parts[3].data(), want.size()) != 0)
    return std::nullopt;
  if (expires < now) return std::nullopt;
  return Signed{std::string(parts[0]), expires, std::string(parts[2])};
}

std::string node_key(const std::string& node) { return "korvane:node:" + node; }

std::string session_key(const std::string& node, uint64_t session) {
  return "korvane:session:" + node + ":" + std::to_string(session);
}

std::string share_key(const std::string& nonce) { return "korvane:share:" + nonce; }

std::optional<Address> parse_address(std::string_view text) {
  const size_t colon = text.rfind(':');
  if (colon == std::string_view::npos || colon == 0 || text.size() > 255) return std::nullopt;
  const std::string_view host = text.substr(0, colon), port = text.substr(colon + 1);
  for (const char c : host)
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
          c == '.'))
      return std::nullopt;
  unsigned value = 0;
  const auto r = std::from_chars(port.data(), port.data() + port.size(), value);
  if (r.ec != std::errc() || r.ptr != port.data() + port.size() || value == 0 || value > 65535)
    return std::nullopt;
  return Address{std::string(host), static_cast<uint16_t>(value)};
}

std::optional<std::string> refusal(const NodeLoad& load) {
  if (load.draining) return "draining";
  if (load.cluster && !load.registry_ok) return "the session registry is unreachable";
  if (load.max_sessions && load.sessions >= load.max_sessions)
    return "full: " + std::to_string(load.sessions) + " sessions";
  if (load.max_memory_mb && load.memory_mb >= load.max_memory_mb)
    return "full: " + std::to_string(load.memory_mb) + " MB in use";
  return std::nullopt;
}

}  // namespace korvane::web
