// Diagnostic lines on standard error: "[korvane] " + text + line feed, flushed at once.
#pragma once

namespace korvane {
[[gnu::format(printf, 1, 2)]] void diag(const char* format, ...);
}  // namespace korvane
