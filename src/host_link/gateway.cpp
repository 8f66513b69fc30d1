#include "host_link/gateway.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>

#include "host_link/profile.hpp"
#include "host_link/protocol.hpp"
#include "host_link/registry.hpp"
#include "host_link/session_extensions.hpp"

namespace korvane {

namespace {

std::string_view as_text(std::span<const uint8_t> v) {
  return {reinterpret_cast<const char*>(v.data()), v.size()};
}

bool starts_with_nocase(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() &&
         std::equal(prefix.begin(), prefix.end(), s.begin(), [](char a, char b) {
           return std::tolower(static_cast<unsigned char>(a)) ==
                  std::tolower(static_cast<unsigned char>(b));
         });
}

// A text of 1..max_units UTF-16 units with no control characters.
bool good_text(std::string_view s, size_t max_units, bool may_be_empty) {
  const auto units = utf16_units_of(s);
  if (!units || *units > max_units || (*units == 0 && !may_be_empty)) return false;
  return std::none_of(s.begin(), s.end(), [](char c) { return static_cast<uint8_t>(c) < 0x20; });
}

}  // namespace

std::optional<GatewayAddress> parse_gateway_address(std::string_view text) {
  if (starts_with_nocase(text, "https://")) {
    text.remove_prefix(8);
    const size_t slash = text.find('/');
    if (slash != std::string_view::npos) {
      const std::string_view path = text.substr(slash);
      if (path != "/" && !starts_with_nocase(path, "/remoteDesktopGateway/")) return std::nullopt;
      if (path.size() > 1 && path.size() != std::string_view("/remoteDesktopGateway/").size())
        return std::nullopt;
      text = text.substr(0, slash);
    }
  }
  if (text.empty() || text.size() > 255) return std::nullopt;
  for (const char c : text) {
    const auto b = static_cast<uint8_t>(c);
    if (b <= 0x20 || b == 0x7F || c == '@' || c == '/' || c == '?' || c == '#') return std::nullopt;
  }
  GatewayAddress a;
  std::string_view port;
  if (text.front() == '[') {
    const size_t close = text.find(']');
    if (close == std::string_view::npos || close == 1) return std::nullopt;
    a.host = std::string(text.substr(1, close - 1));
    const std::string_view rest = text.substr(close + 1);
    if (!rest.empty()) {
      if (rest.front() != ':') return std::nullopt;
      port = rest.substr(1);
      if (port.empty()) return std::nullopt;
    }
  } else {
    const size_t colon = text.find(':');
    if (colon != text.rfind(':')) return std::nullopt;  // a bare IPv6 address needs brackets
    a.host = std::string(text.substr(0, colon));
    if (colon != std::string_view::npos) {
      port = text.substr(colon + 1);
      if (port.empty()) return std::nullopt;
    }
    if (a.host.empty()) return std::nullopt;
  }
  if (!port.empty()) {
    uint32_t p = 0;
    const auto r = std::from_chars(port.data(), port.data() + port.size(), p);
    if (r.ec != std::errc() || r.ptr != port.data() + port.size() || p < 1 || p > 65535)
      return std::nullopt;
    a.port = static_cast<uint16_t>(p);
  }
  return a;
}

std::optional<uint8_t> gateway_transport_from_name(std::string_view name) {
  static constexpr std::pair<std::string_view, uint8_t> kNames[] = {
      {"auto", GATEWAY_TRANSPORT_AUTO},
      {"http", GATEWAY_TRANSPORT_HTTP},
      {"http-legacy", GATEWAY_TRANSPORT_HTTP_LEGACY},
      {"rpc", GATEWAY_TRANSPORT_RPC}};
  for (const auto& [text, value] : kNames)
    if (text == name) return value;
  return std::nullopt;
}

std::optional<std::string_view> read_gateway_field(uint16_t tag, std::span<const uint8_t> v,
                                                   Gateway& out) {
  switch (tag) {
    case FIELD_GATEWAY: {
      const auto a = parse_gateway_address(as_text(v));
      if (!a) return "the gateway address is not host[:port], [v6][:port] or an https:// URL";
      out.host = a->host;
      out.port = a->port;
      return std::string_view{};
    }
    case FIELD_GATEWAY_TRANSPORT:
      if (v.size() != 1 || v[0] > GATEWAY_TRANSPORT_RPC)
        return "the gateway transport is not one byte of 0 to 3";
      out.transport = v[0];
      return std::string_view{};
    case FIELD_GATEWAY_CREDENTIALS: {
      GatewayCredentials c;
      size_t pos = 0;
      for (std::string* s : {&c.user, &c.domain, &c.password}) {
        if (!read_text16(v, pos, *s) || !good_text(*s, kMaxGatewayCredentialUnits, true))
          return "the gateway credentials are not three texts of up to 256 characters";
      }
      if (pos != v.size())
        return "the gateway credentials are not three texts of up to 256 characters";
      out.credentials = std::move(c);
      return std::string_view{};
    }
    case FIELD_GATEWAY_BEARER:
      // It goes into an HTTP header as it is: visible ASCII only, so it cannot end the line.
      if (v.empty() || v.size() > kMaxGatewayTokenBytes ||
          std::any_of(v.begin(), v.end(), [](uint8_t b) { return b <= 0x20 || b >= 0x7F; }))
        return "the gateway's bearer token is not 1 to 16384 visible ASCII characters";
      out.bearer = std::string(as_text(v));
      return std::string_view{};
    case FIELD_GATEWAY_PAA:
      if (!good_text(as_text(v), kMaxGatewayCookieUnits, false))
        return "the gateway's PAA cookie is not a text of 1 to 32766 characters";
      out.paa = std::string(as_text(v));
      return std::string_view{};
    case FIELD_GATEWAY_BYPASS_LOCAL:
      if (v.size() != 1 || v[0] > 1) return "the gateway bypass field is not one byte of 0 or 1";
      out.bypass_local = v[0] == 1;
      return std::string_view{};
    case FIELD_GATEWAY_FINGERPRINTS: {
      auto list = parse_fingerprints(as_text(v));
      if (!list) return "the gateway's fingerprints are not SHA-256 fingerprints";
      out.fingerprints = std::move(*list);
      return std::string_view{};
    }
    default: return std::nullopt;
  }
}

std::string_view gateway_problem(const Gateway& g) {
  const int ways =
      int{g.bearer.has_value()} + int{g.paa.has_value()} + int{g.credentials.has_value()};
  if (ways > 1) return "a bearer token, a PAA cookie and credentials exclude each other";
  return {};
}

std::vector<uint8_t> encode_gateway_credentials(const GatewayCredentials& c) {
  std::vector<uint8_t> out;
  append_text16(out, c.user);
  append_text16(out, c.domain);
  append_text16(out, c.password);
  return out;
}

std::vector<uint8_t> encode_gateway_message(const GatewayMessage& m) {
  std::vector<uint8_t> out(1 + m.text.size(), m.kind);
  std::copy(m.text.begin(), m.text.end(), out.begin() + 1);
  return out;
}

std::optional<GatewayMessage> parse_gateway_message(std::span<const uint8_t> p) {
  if (p.empty() || p[0] < GATEWAY_MSG_CONSENT || p[0] > GATEWAY_MSG_SERVICE) return std::nullopt;
  return GatewayMessage{p[0], std::string(as_text(p.subspan(1)))};
}

}  // namespace korvane
