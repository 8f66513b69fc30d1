#include "platform/process.hpp"
#include "session/session.hpp"

int main() {
  korvane::process_init();
  return korvane::session_main();
}
