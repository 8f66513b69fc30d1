#include "drive/drive_path.hpp"

#include <array>
#include <string_view>

namespace korvane {

namespace {

bool is_separator(uint16_t u) { return u == '\\' || u == '/'; }

char ascii_upper(uint16_t u) {
  if (u >= 'a' && u <= 'z') return static_cast<char>(u - 'a' + 'A');
  return u < 0x80 ? static_cast<char>(u) : '\0';
}

// Windows gives these names to devices in every folder, whatever follows a dot: a server that
// asks for one means the device, never a file in the share.
bool is_device_name(std::span<const uint16_t> component) {
  size_t stem = 0;
  while (stem < component.size() && component[stem] != '.') ++stem;
  // Trailing spaces are dropped by Windows too ("NUL .txt" is NUL).
  while (stem > 0 && component[stem - 1] == ' ') --stem;
  if (stem != 3 && stem != 4) return false;
  std::array<char, 4> name{};
  for (size_t i = 0; i < stem; ++i) {
    name[i] = ascii_upper(component[i]);
    if (!name[i]) return false;
  }
  const std::string_view s(name.data(), stem);
  if (s == "CON" || s == "PRN" || s == "AUX" || s == "NUL") return true;
  if (stem == 4 && (s.substr(0, 3) == "COM" || s.substr(0, 3) == "LPT"))
    return s[3] >= '1' && s[3] <= '9';
  return false;
}

bool component_acceptable(std::span<const uint16_t> component) {
  if (component.size() > kMaxDriveComponentUnits) return false;
  bool only_dots_and_spaces = true;
  for (const uint16_t u : component)
    if (u != '.' && u != ' ') only_dots_and_spaces = false;
  if (only_dots_and_spaces) return false;
  return !is_device_name(component);
}

}  // namespace

bool drive_path_acceptable(std::span<const uint8_t> utf16le) {
  if (utf16le.size() % 2 != 0) return false;
  size_t units = utf16le.size() / 2;
  auto unit = [&](size_t i) {
    return static_cast<uint16_t>(utf16le[2 * i] | (utf16le[2 * i + 1] << 8));
  };
  if (units > 0 && unit(units - 1) == 0) --units;  // the terminating NUL
  if (units == 0) return true;
  if (units > kMaxDrivePathUnits) return false;
  if (!is_separator(unit(0))) return false;

  std::array<uint16_t, kMaxDriveComponentUnits + 1> component{};
  size_t length = 0;
  bool overlong = false;
  for (size_t i = 1; i <= units; ++i) {
    const bool end = i == units;
    const uint16_t u = end ? '\\' : unit(i);
    if (is_separator(u)) {
      // Empty components ("\\a\\\\b") change nothing: the library and the system collapse them.
      if (length > 0 || overlong) {
        if (overlong || !component_acceptable(std::span(component.data(), length))) return false;
      }
      length = 0;
      overlong = false;
      continue;
    }
    if (u < 0x20 || u == 0x7F || u == ':') return false;
    if (u >= 0xD800 && u <= 0xDBFF) {
      // A high surrogate must be followed by a low one.
      if (i + 1 >= units) return false;
      const uint16_t next = unit(i + 1);
      if (next < 0xDC00 || next > 0xDFFF) return false;
    } else if (u >= 0xDC00 && u <= 0xDFFF) {
      // A low surrogate must follow a high one.
      if (length == 0 || component[length - 1] < 0xD800 || component[length - 1] > 0xDBFF)
        return false;
    }
    if (length == component.size()) {
      overlong = true;
    } else {
      component[length++] = u;
    }
  }
  return true;
}

}  // namespace korvane
