// The gateway extension's fields and messages: how korvane reaches a server behind a Remote
// Desktop Gateway. Pure checks over bytes; what the RDP library makes of them is
// session/settings.cpp's and gateway/gateway.cpp's.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace korvane {

// FIELD_GATEWAY_TRANSPORT.
enum : uint8_t {
  GATEWAY_TRANSPORT_AUTO = 0,         // HTTP, then RPC over HTTP if the gateway has no HTTP
  GATEWAY_TRANSPORT_HTTP = 1,         // HTTP: a WebSocket, else the legacy two connections
  GATEWAY_TRANSPORT_HTTP_LEGACY = 2,  // HTTP's two connections, no WebSocket asked for
  GATEWAY_TRANSPORT_RPC = 3,          // RPC over HTTP only
};

// EVT_GATEWAY_MESSAGE's kind.
enum : uint8_t {
  GATEWAY_MSG_CONSENT = 1,  // shown before the tunnel opens; the host must consent
  GATEWAY_MSG_SERVICE = 2,  // an administrator's notice while the session runs
};

inline constexpr uint16_t kDefaultGatewayPort = 443;
// A bearer token goes in an HTTP header line: plenty for a JWT, not a way to flood the gateway.
inline constexpr size_t kMaxGatewayTokenBytes = 16384;
// A PAA cookie travels as UTF-16 with a u16 byte length, its terminating zero included.
inline constexpr size_t kMaxGatewayCookieUnits = 32766;
inline constexpr size_t kMaxGatewayCredentialUnits = 256;

struct GatewayCredentials {
  std::string user, domain, password;  // UTF-8
  bool operator==(const GatewayCredentials&) const = default;
};

// What a gateway block carried, each value as checked.
struct Gateway {
  std::optional<std::string> host;  // absent: no gateway of the host's (a .rdp text may name one)
  uint16_t port = kDefaultGatewayPort;
  std::optional<uint8_t> transport;
  std::optional<GatewayCredentials> credentials;  // absent: the session's own
  std::optional<std::string> bearer;
  std::optional<std::string> paa;
  std::optional<bool> bypass_local;
  std::vector<std::array<uint8_t, 32>> fingerprints;  // empty: FIELD_CERT_FINGERPRINTS's
  bool operator==(const Gateway&) const = default;
};

// Reads one gateway field into `out`: nullopt when the tag is no gateway field; otherwise an
// empty string for a good value, or what is wrong with it (for the host's EVT_ERROR).
std::optional<std::string_view> read_gateway_field(uint16_t tag, std::span<const uint8_t> value,
                                                   Gateway& out);
// What is wrong with the fields together (empty: nothing): a bearer token, a PAA cookie and
// credentials are three ways of logging on to the gateway; it takes one.
std::string_view gateway_problem(const Gateway& g);

struct GatewayAddress {
  std::string host;
  uint16_t port = kDefaultGatewayPort;
  bool operator==(const GatewayAddress&) const = default;
};
// "host", "host:port", "[v6]" or "[v6]:port", or "https://" one of them with no path but the
// gateway's own ("/" or "/remoteDesktopGateway/"). nullopt for anything else: another scheme, a
// user in the URL, a port out of 1..65535, white space or control bytes.
std::optional<GatewayAddress> parse_gateway_address(std::string_view text);

// "auto", "http", "http-legacy" or "rpc".
std::optional<uint8_t> gateway_transport_from_name(std::string_view name);

std::vector<uint8_t> encode_gateway_credentials(const GatewayCredentials& c);

struct GatewayMessage {
  uint8_t kind = 0;  // GATEWAY_MSG_*
  std::string text;
  bool operator==(const GatewayMessage&) const = default;
};
std::vector<uint8_t> encode_gateway_message(const GatewayMessage& m);
// nullopt for an empty payload or an unknown kind.
std::optional<GatewayMessage> parse_gateway_message(std::span<const uint8_t> payload);

}  // namespace korvane
