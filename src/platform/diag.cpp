#include "platform/diag.hpp"

#include <cstdarg>
#include <cstdio>

namespace korvane {

void diag(const char* format, ...) {
  char line[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  // One fprintf so that lines from several threads do not interleave.
  std::fprintf(stderr, "[korvane] %s\n", line);
  std::fflush(stderr);
}

}  // namespace korvane
