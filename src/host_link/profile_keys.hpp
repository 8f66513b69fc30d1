// The profile's explicit fields by name, as a host's configuration file or command line gives
// them (the names are Profile's members): one table for korvane-host and korvane-web, each value
// checked as korvane checks it, so a bad one is refused before korvane starts.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host_link/extensions.hpp"

namespace korvane {

// Field tag to value; a key given again replaces its value.
using ProfileFields = std::map<uint16_t, std::vector<uint8_t>>;

// Sets the field `key` names from its text. The keys, in field order: load_balance_info,
// preconnection_id, preconnection_blob, console (yes/no), shell, shell_dir, client_name,
// time_zone, security, color_depth, performance_flags and network_type; then the gateway's:
// gateway (its address), gateway_transport (auto, http, http-legacy, rpc), gateway_user,
// gateway_domain, gateway_password, gateway_token (a bearer token), gateway_paa,
// gateway_bypass_local (yes/no) and gateway_fingerprints. Numbers take 0x for hex.
// The two preconnection keys share one field (an id alone, or a blob with id 0 unless given), as
// do the three gateway credentials.
// nullopt: no such key; otherwise an empty string, or what is wrong with the value (never
// quoting it: a load-balance cookie is a secret of sorts), for the caller to put after the key.
std::optional<std::string> set_profile_key(ProfileFields& fields, std::string_view key,
                                           std::string_view value);

bool is_profile_key(std::string_view key);

// The extension bits the fields belong to (EXT_PROFILE, EXT_GATEWAY).
uint32_t fields_extensions(const ProfileFields& fields);

// The fields for encode_extensions, in tag order.
std::vector<ExtensionField> profile_extension_fields(const ProfileFields& fields);

}  // namespace korvane
