// Which file paths a server may name on the redirected drive. The library joins the server's
// path to the folder's path as plain text, so a path that does not begin with a separator
// lands beside the folder ("/share" + "2\x" is "/share2/x"), and one that ends in ".." names
// the folder's parent. Only paths that cannot leave the folder are let through.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace korvane {

// The longest path accepted, in UTF-16 units, and the longest component: longer ones are
// refused before the operating system sees them.
inline constexpr size_t kMaxDrivePathUnits = 4096;
inline constexpr size_t kMaxDriveComponentUnits = 255;

// `utf16le` is the path as the server sent it (UTF-16 little-endian, its length in bytes, a
// terminating NUL or none). Accepted: empty (the folder itself), or a separator ('\\' or '/')
// followed by components that are valid UTF-16 with no NUL or other control character, no ':'
// (drive letters, alternate streams), none made of dots and spaces alone ("." "..", and what
// Windows reads as them: "...", ". ."), no device name (CON, PRN, AUX, NUL, COM1-9, LPT1-9,
// with or without an extension), none longer than kMaxDriveComponentUnits.
bool drive_path_acceptable(std::span<const uint8_t> utf16le);

}  // namespace korvane
