#include <cstdio>

#include "platform/process.hpp"
#include "session/session.hpp"

int main() {
  if (!korvane::process_init()) {
    std::fprintf(stderr, "[korvane] the system's network layer could not be started\n");
    return 1;
  }
  return korvane::session_main();
}
