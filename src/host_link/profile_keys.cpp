#include "host_link/profile_keys.hpp"

#include <charconv>

#include "host_link/profile.hpp"
#include "host_link/protocol.hpp"
#include "host_link/registry.hpp"

namespace korvane {

namespace {

enum class Kind {
  text,
  u8,
  u32,
  yes_no,
  preconnection_id,
  preconnection_blob,
  gateway_transport,
  gateway_user,
  gateway_domain,
  gateway_password,
};

struct Key {
  std::string_view name;
  uint16_t tag;
  Kind kind;
};

constexpr Key kKeys[] = {
    {"load_balance_info", FIELD_LOAD_BALANCE_INFO, Kind::text},
    {"preconnection_id", FIELD_PRECONNECTION, Kind::preconnection_id},
    {"preconnection_blob", FIELD_PRECONNECTION, Kind::preconnection_blob},
    {"console", FIELD_CONSOLE, Kind::yes_no},
    {"shell", FIELD_SHELL, Kind::text},
    {"shell_dir", FIELD_SHELL_DIR, Kind::text},
    {"client_name", FIELD_CLIENT_NAME, Kind::text},
    {"time_zone", FIELD_TIME_ZONE, Kind::text},
    {"security", FIELD_SECURITY, Kind::text},
    {"color_depth", FIELD_COLOR_DEPTH, Kind::u8},
    {"performance_flags", FIELD_PERFORMANCE, Kind::u32},
    {"network_type", FIELD_NETWORK_TYPE, Kind::u8},
    {"gateway", FIELD_GATEWAY, Kind::text},
    {"gateway_transport", FIELD_GATEWAY_TRANSPORT, Kind::gateway_transport},
    {"gateway_user", FIELD_GATEWAY_CREDENTIALS, Kind::gateway_user},
    {"gateway_domain", FIELD_GATEWAY_CREDENTIALS, Kind::gateway_domain},
    {"gateway_password", FIELD_GATEWAY_CREDENTIALS, Kind::gateway_password},
    {"gateway_token", FIELD_GATEWAY_BEARER, Kind::text},
    {"gateway_paa", FIELD_GATEWAY_PAA, Kind::text},
    {"gateway_bypass_local", FIELD_GATEWAY_BYPASS_LOCAL, Kind::yes_no},
    {"gateway_fingerprints", FIELD_GATEWAY_FINGERPRINTS, Kind::text},
};

std::optional<uint32_t> number(std::string_view text, uint32_t max) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  uint32_t v = 0;
  const auto r = std::from_chars(text.data(), text.data() + text.size(), v, base);
  if (r.ec != std::errc() || r.ptr != text.data() + text.size() || v > max) return std::nullopt;
  return v;
}

const Key* find_key(std::string_view name) {
  for (const Key& k : kKeys) {
    if (k.name == name) return &k;
  }
  return nullptr;
}

}  // namespace

bool is_profile_key(std::string_view key) { return find_key(key) != nullptr; }

std::optional<std::string> set_profile_key(ProfileFields& fields, std::string_view key,
                                           std::string_view value) {
  const Key* k = find_key(key);
  if (!k) return std::nullopt;
  std::vector<uint8_t> v;
  switch (k->kind) {
    case Kind::text: v.assign(value.begin(), value.end()); break;
    case Kind::u8:
    case Kind::u32: {
      const auto n = number(value, k->kind == Kind::u8 ? 0xFFu : 0xFFFFFFFFu);
      if (!n) return "not a number in range";
      if (k->kind == Kind::u8)
        v.push_back(static_cast<uint8_t>(*n));
      else
        append_u32(v, *n);
      break;
    }
    case Kind::yes_no:
      if (value != "yes" && value != "no") return "not yes or no";
      v.push_back(value == "yes" ? 1 : 0);
      break;
    case Kind::preconnection_id:
    case Kind::preconnection_blob: {
      // The id and the blob share one field: each key keeps the other's part.
      std::vector<uint8_t> old = fields.count(k->tag) ? fields[k->tag] : std::vector<uint8_t>(4);
      if (k->kind == Kind::preconnection_id) {
        const auto n = number(value, 0xFFFFFFFFu);
        if (!n) return "not a number in range";
        append_u32(v, *n);
        v.insert(v.end(), old.begin() + 4, old.end());
      } else {
        v.assign(old.begin(), old.begin() + 4);
        v.insert(v.end(), value.begin(), value.end());
      }
      break;
    }
    case Kind::gateway_transport: {
      const auto t = gateway_transport_from_name(value);
      if (!t) return "not auto, http, http-legacy or rpc";
      v.push_back(*t);
      break;
    }
    case Kind::gateway_user:
    case Kind::gateway_domain:
    case Kind::gateway_password: {
      // The three share one field: each key keeps the others' parts.
      GatewayCredentials c;
      if (const auto it = fields.find(k->tag); it != fields.end()) {
        Gateway old;
        read_gateway_field(k->tag, it->second, old);
        if (old.credentials) c = *old.credentials;
      }
      (k->kind == Kind::gateway_user     ? c.user
       : k->kind == Kind::gateway_domain ? c.domain
                                         : c.password) = std::string(value);
      v = encode_gateway_credentials(c);
      break;
    }
  }
  Profile profile;
  Gateway gateway;
  auto problem = read_profile_field(k->tag, v, profile);
  if (!problem) problem = read_gateway_field(k->tag, v, gateway);
  if (problem && !problem->empty()) return std::string(*problem);
  fields[k->tag] = std::move(v);
  return std::string();
}

uint32_t fields_extensions(const ProfileFields& fields) {
  uint32_t mask = 0;
  for (const auto& [tag, value] : fields) {
    for (const auto& f : kFields)
      if (f.tag == tag) mask |= f.extension;
  }
  return mask;
}

std::vector<ExtensionField> profile_extension_fields(const ProfileFields& fields) {
  std::vector<ExtensionField> out;
  for (const auto& [tag, value] : fields) out.push_back({tag, value});
  return out;
}

}  // namespace korvane
