// The gateway on several machines: tokens any node can check with the secret they share, the
// registry's keys, and whether a node takes new sessions. No network here.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace korvane::web {

// Node names are what a token carries and the registry keys: short, plain, safe in a log.
bool valid_node_name(std::string_view name);

// A signed token: "NODE.EXPIRES.NONCE.MAC", EXPIRES in Unix seconds, NONCE 128 random bits in
// hex, MAC the HMAC-SHA256 in hex of the kind ("token", "share") and the rest, with the
// secret every node shares. Any node can tell a forged or expired token, and which node made it.
struct Signed {
  std::string node;
  int64_t expires = 0;
  std::string nonce;
};
inline constexpr size_t kMinSecretBytes = 32;
std::string sign_token(std::string_view secret, std::string_view kind, const std::string& node,
                       int64_t expires, const std::string& nonce);
// nullopt for anything but a token of `kind` signed with `secret` and not expired at `now`.
std::optional<Signed> check_token(std::string_view secret, std::string_view kind,
                                  std::string_view token, int64_t now);

// The registry's keys. It holds node addresses, session ids and share link ids (a link's nonce,
// which opens nothing without its MAC), each with an expiry: never a secret.
inline constexpr int kRegistryTtlSeconds = 15;  // refreshed every kRegistryTtlSeconds / 3
std::string node_key(const std::string& node);
std::string session_key(const std::string& node, uint64_t session);
std::string share_key(const std::string& nonce);

// "HOST:PORT" as a node advertises itself; what the registry returns is checked the same way
// before a node connects to it.
struct Address {
  std::string host;
  uint16_t port = 0;
};
std::optional<Address> parse_address(std::string_view text);

// What a node knows of itself when asked for a new session.
struct NodeLoad {
  bool cluster = false;  // a registry is configured
  bool registry_ok = true;
  bool draining = false;
  size_t sessions = 0, max_sessions = 0;      // 0: no limit
  uint64_t memory_mb = 0, max_memory_mb = 0;  // 0: no limit
};
// Why the node takes no new session now (what /healthz and the refusal say), or nullopt.
std::optional<std::string> refusal(const NodeLoad& load);

}  // namespace korvane::web
