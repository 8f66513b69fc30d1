#include "host_link/profile.hpp"

#include <algorithm>
#include <array>
#include <cctype>

#include "host_link/protocol.hpp"
#include "host_link/registry.hpp"

namespace korvane {

namespace {

// One code point of UTF-8 at pos (advanced past it); nullopt for a bad sequence.
std::optional<uint32_t> next_utf8(std::string_view s, size_t& pos) {
  const auto byte = [&](size_t i) { return static_cast<uint8_t>(s[i]); };
  const uint8_t b0 = byte(pos);
  size_t n = 0;
  uint32_t cp = 0, min = 0;
  if (b0 < 0x80) return s[pos++] == '\0' ? std::nullopt : std::optional<uint32_t>(b0);
  if ((b0 & 0xE0) == 0xC0)
    n = 1, cp = b0 & 0x1Fu, min = 0x80;
  else if ((b0 & 0xF0) == 0xE0)
    n = 2, cp = b0 & 0x0Fu, min = 0x800;
  else if ((b0 & 0xF8) == 0xF0)
    n = 3, cp = b0 & 0x07u, min = 0x10000;
  else
    return std::nullopt;
  if (s.size() - pos <= n) return std::nullopt;
  for (size_t i = 1; i <= n; ++i) {
    if ((byte(pos + i) & 0xC0) != 0x80) return std::nullopt;
    cp = cp << 6 | (byte(pos + i) & 0x3Fu);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return std::nullopt;
  pos += n + 1;
  return cp;
}

std::string_view as_text(std::span<const uint8_t> v) {
  return {reinterpret_cast<const char*>(v.data()), v.size()};
}

// A text field: UTF-8 without zeros, at most max_units UTF-16 units.
std::string_view read_text(std::span<const uint8_t> v, size_t max_units, bool may_be_empty,
                           std::optional<std::string>& out, std::string_view what_too_long) {
  const auto units = utf16_units_of(as_text(v));
  if (!units) return "a text field is not UTF-8";
  if (*units > max_units) return what_too_long;
  if (*units == 0 && !may_be_empty) return "an empty text field";
  out = std::string(as_text(v));
  return {};
}

bool control_byte(uint32_t cp) { return cp < 0x20 && cp != '\t' && cp != '\r' && cp != '\n'; }

// Lines of the library's .rdp parser that begin with '/' are its command-line options.
bool has_option_line(std::string_view utf8) {
  size_t pos = 0;
  while (pos < utf8.size()) {
    if (utf8[pos] == '/') return true;
    const size_t eol = utf8.find_first_of("\r\n", pos);
    if (eol == std::string_view::npos) break;
    pos = utf8.find_first_not_of("\r\n", eol);
    if (pos == std::string_view::npos) break;
  }
  return false;
}

// UTF-16LE (BOM removed) to UTF-8; nullopt for an unpaired surrogate or a control unit.
std::optional<std::string> utf16le_to_utf8(std::span<const uint8_t> b) {
  std::string out;
  for (size_t i = 0; i < b.size(); i += 2) {
    uint32_t cp = get_u16(b.data() + i);
    if (cp >= 0xDC00 && cp <= 0xDFFF) return std::nullopt;
    if (cp >= 0xD800 && cp <= 0xDBFF) {
      if (b.size() - i < 4) return std::nullopt;
      const uint32_t lo = get_u16(b.data() + i + 2);
      if (lo < 0xDC00 || lo > 0xDFFF) return std::nullopt;
      cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
      i += 2;
    }
    if (control_byte(cp)) return std::nullopt;
    append_utf8(out, cp);
  }
  return out;
}

}  // namespace

std::optional<size_t> utf16_units_of(std::string_view text) {
  size_t units = 0;
  for (size_t pos = 0; pos < text.size();) {
    const auto cp = next_utf8(text, pos);
    if (!cp) return std::nullopt;
    units += *cp >= 0x10000 ? 2 : 1;
  }
  return units;
}

std::optional<std::string> rdp_text_for_library(std::span<const uint8_t> bytes,
                                                std::string_view& problem) {
  problem = {};
  if (bytes.size() > kMaxRdpFileBytes) {
    problem = "the .rdp text is longer than 32768 bytes";
    return std::nullopt;
  }
  static constexpr uint8_t kUtf8Bom[] = {0xEF, 0xBB, 0xBF};
  const bool utf16 = bytes.size() >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE;
  if (!utf16 && bytes.size() >= 3 &&
      std::equal(std::begin(kUtf8Bom), std::end(kUtf8Bom), bytes.begin()))
    bytes = bytes.subspan(3);
  // The UTF-8 form is only checked: the library is given the bytes as they came.
  std::optional<std::string> utf8;
  if (utf16) {
    if (bytes.size() % 2 == 0) utf8 = utf16le_to_utf8(bytes.subspan(2));
  } else {
    std::string_view s = as_text(bytes);
    bool ok = true;
    for (size_t pos = 0; ok && pos < s.size();) {
      const auto cp = next_utf8(s, pos);
      ok = cp && !control_byte(*cp);
    }
    if (ok) utf8 = std::string(s);
  }
  if (!utf8) {
    problem = "the .rdp text is not text";
  } else if (utf8->find_first_not_of(" \t\r\n") == std::string::npos) {
    problem = "the .rdp text is empty";
  } else if (has_option_line(*utf8)) {
    problem = "the .rdp text holds command-line options";
  } else {
    return std::string(as_text(bytes));
  }
  return std::nullopt;
}

std::optional<uint8_t> security_from_name(std::string_view name) {
  struct Name {
    std::string_view text;
    uint8_t bits;
  };
  static constexpr Name kNames[] = {{"rdp", SECURITY_RDP},
                                    {"tls", SECURITY_TLS},
                                    {"nla", SECURITY_NLA},
                                    {"ext", SECURITY_EXT},
                                    {"negotiate", SECURITY_RDP | SECURITY_TLS | SECURITY_NLA}};
  for (const auto& n : kNames) {
    if (n.text.size() == name.size() &&
        std::equal(name.begin(), name.end(), n.text.begin(),
                   [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) == b; }))
      return n.bits;
  }
  return std::nullopt;
}

std::optional<std::string_view> read_profile_field(uint16_t tag, std::span<const uint8_t> v,
                                                   Profile& out) {
  switch (tag) {
    case FIELD_RDP_FILE: {
      std::string_view problem;
      out.rdp_file = rdp_text_for_library(v, problem);
      return problem;
    }
    case FIELD_LOAD_BALANCE_INFO:
      if (v.empty() || v.size() > kMaxLoadBalanceBytes)
        return "the load-balance info is empty or longer than 200 bytes";
      out.load_balance_info = std::string(as_text(v));
      return std::string_view{};
    case FIELD_PRECONNECTION: {
      if (v.size() < 4) return "the preconnection field is shorter than its id";
      std::optional<std::string> blob;
      const auto problem = read_text(v.subspan(4), kMaxPreconnectionBlobUnits, true, blob,
                                     "the preconnection blob is longer than 1024 characters");
      if (problem.empty()) out.preconnection = Preconnection{get_u32(v.data()), std::move(*blob)};
      return problem;
    }
    case FIELD_CONSOLE:
      if (v.size() != 1 || v[0] > 1) return "the console field is not one byte of 0 or 1";
      out.console = v[0] == 1;
      return std::string_view{};
    case FIELD_SHELL:
      return read_text(v, kMaxShellUnits, true, out.shell,
                       "the shell is longer than 255 characters");
    case FIELD_SHELL_DIR:
      return read_text(v, kMaxShellUnits, true, out.shell_dir,
                       "the working folder is longer than 255 characters");
    case FIELD_CLIENT_NAME:
      return read_text(v, kMaxClientNameUnits, false, out.client_name,
                       "the client name is longer than 15 characters");
    case FIELD_TIME_ZONE:
      return read_text(v, kMaxTimeZoneNameUnits, false, out.time_zone,
                       "the time zone name is longer than 127 characters");
    case FIELD_SECURITY:
      out.security = security_from_name(as_text(v));
      if (!out.security) return "unknown security name";
      return std::string_view{};
    case FIELD_COLOR_DEPTH:
      if (v.size() != 1 || (v[0] != 15 && v[0] != 16 && v[0] != 24 && v[0] != 32))
        return "the colour depth is not 15, 16, 24 or 32";
      out.color_depth = v[0];
      return std::string_view{};
    case FIELD_PERFORMANCE:
      if (v.size() != 4 || (get_u32(v.data()) & ~kKnownPerformanceFlags) != 0)
        return "the performance flags are not four bytes of known flags";
      out.performance_flags = get_u32(v.data());
      return std::string_view{};
    case FIELD_NETWORK_TYPE:
      if (v.size() != 1 || v[0] < 1 || v[0] > 7) return "the network type is not 1 to 7";
      out.network_type = v[0];
      return std::string_view{};
    default: return std::nullopt;
  }
}

std::vector<uint8_t> encode_preconnection(const Preconnection& p) {
  std::vector<uint8_t> out;
  append_u32(out, p.id);
  out.insert(out.end(), p.blob.begin(), p.blob.end());
  return out;
}

}  // namespace korvane
