// The profile extension's fields: what remote-desktop managers keep per connection (a whole .rdp
// file's text, and explicit settings). Pure checks over bytes; what the RDP library makes of them
// is session/settings.cpp's. Every value is checked here, before korvane connects, so a profile
// is taken whole or refused whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace korvane {

// The security protocols korvane offers the server (FIELD_SECURITY names them).
enum : uint8_t {
  SECURITY_RDP = 0x01,
  SECURITY_TLS = 0x02,
  SECURITY_NLA = 0x04,
  SECURITY_EXT = 0x08,  // extended NLA
};

// The performance flags a profile may set: the bits RDP sends (the library names them PERF_*),
// those the library can send.
enum : uint32_t {
  PROFILE_NO_WALLPAPER = 0x001,
  PROFILE_NO_FULL_WINDOW_DRAG = 0x002,
  PROFILE_NO_MENU_ANIMATIONS = 0x004,
  PROFILE_NO_THEMES = 0x008,
  PROFILE_FONT_SMOOTHING = 0x080,
  PROFILE_DESKTOP_COMPOSITION = 0x100,
};
inline constexpr uint32_t kKnownPerformanceFlags =
    PROFILE_NO_WALLPAPER | PROFILE_NO_FULL_WINDOW_DRAG | PROFILE_NO_MENU_ANIMATIONS |
    PROFILE_NO_THEMES | PROFILE_FONT_SMOOTHING | PROFILE_DESKTOP_COMPOSITION;

// Bounds: the RDP fields these settings travel in, or plenty for what a profile holds.
inline constexpr size_t kMaxRdpFileBytes = 32768;
inline constexpr size_t kMaxLoadBalanceBytes = 200;  // the whole X.224 request is under 256
inline constexpr size_t kMaxPreconnectionBlobUnits = 1024;
inline constexpr size_t kMaxShellUnits = 255;      // UTF-16 units, as the logon packet has room
inline constexpr size_t kMaxClientNameUnits = 15;  // the client core data's 32 bytes
inline constexpr size_t kMaxTimeZoneNameUnits = 127;

struct Preconnection {
  uint32_t id = 0;
  std::string blob;  // UTF-8; empty: none (the library's PDU is version 2 all the same)
  bool operator==(const Preconnection&) const = default;
};

// What a profile block carried, each value as checked. Absent: the .rdp text's, else the base's.
struct Profile {
  std::optional<std::string> rdp_file;           // UTF-8 (a UTF-8 BOM removed) or UTF-16LE + BOM
  std::optional<std::string> load_balance_info;  // bytes, as the routing token
  std::optional<Preconnection> preconnection;
  std::optional<bool> console;
  std::optional<std::string> shell;
  std::optional<std::string> shell_dir;
  std::optional<std::string> client_name;
  std::optional<std::string> time_zone;  // a time zone key name, "W. Europe Standard Time"
  std::optional<uint8_t> security;       // SECURITY_* bits
  std::optional<uint8_t> color_depth;    // 15, 16, 24 or 32
  std::optional<uint32_t> performance_flags;
  std::optional<uint8_t> network_type;  // RDP's connection types, 1 modem .. 7 auto-detect
  bool operator==(const Profile&) const = default;
};

// Reads one profile field into `out`. nullopt when the tag is no profile field; otherwise an
// empty string for a good value, or what is wrong with it (for the host's EVT_ERROR).
std::optional<std::string_view> read_profile_field(uint16_t tag, std::span<const uint8_t> value,
                                                   Profile& out);

// The .rdp text as the library's parser is to read it: a UTF-16LE text with its BOM, or UTF-8
// with no BOM. nullopt, with `problem` set, for bytes that are no text (invalid UTF-8 or UTF-16,
// a zero or other control byte), an empty text, one over kMaxRdpFileBytes, or one with a line
// of command-line options (the library would run them: a path to read, a device to open).
std::optional<std::string> rdp_text_for_library(std::span<const uint8_t> bytes,
                                                std::string_view& problem);

// "rdp", "tls", "nla", "ext" or "negotiate" (the first three, as the library offers by
// default), in any case; nullopt for another.
std::optional<uint8_t> security_from_name(std::string_view name);

// UTF-16 units of a UTF-8 text; nullopt when it is not UTF-8 or holds a zero.
std::optional<size_t> utf16_units_of(std::string_view text);

// FIELD_PRECONNECTION's value: id (u32), then the blob's UTF-8 bytes.
std::vector<uint8_t> encode_preconnection(const Preconnection& p);

}  // namespace korvane
