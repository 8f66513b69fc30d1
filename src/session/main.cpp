#include <cstdio>
#include <cstring>

#include <freerdp/freerdp.h>

#include "platform/diag.hpp"
#include "platform/process.hpp"
#include "platform/stdio_link.hpp"
#include "session/session.hpp"

namespace {

// Plain text for a person at a terminal; a host never passes options, so nothing here touches
// the protocol.
constexpr const char* kUsage =
    "Usage: korvane [--help | --version]\n"
    "\n"
    "korvane is a headless RDP client bridge. It has no window and takes no options: a host\n"
    "program starts it with pipes on its standard input and output and drives it with a\n"
    "binary protocol (a connect request first, then input; the remote desktop's picture,\n"
    "clipboard and endings come back). Diagnostics go to standard error.\n"
    "\n"
    "  --help      print this text and exit\n"
    "  --version   print korvane's and FreeRDP's versions and exit\n"
    "\n"
    "The protocol, the exit codes and a minimal host are in the README\n"
    "(/usr/share/doc/korvane/README.md when installed from the package) and in korvane(1).\n"
    "The reference host korvane-host runs a session from the command line.\n";

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (!std::strcmp(argv[i], "--version") || !std::strcmp(argv[i], "-V")) {
      std::printf("korvane %s (FreeRDP %s)\n", KORVANE_VERSION, freerdp_get_version_string());
      return 0;
    }
  }
  korvane::process_init();
  // Hosts have always started korvane however they liked: arguments never stopped a session.
  for (int i = 1; i < argc; ++i)
    korvane::diag("ignoring the argument '%s' (see korvane --help)", argv[i]);
  if (korvane::stdio_input_is_terminal())
    korvane::diag(
        "korvane is driven by a host program through its standard input and output, in a "
        "binary protocol; it is not typed at. See korvane --help, and the README for the "
        "protocol.");
  return korvane::session_main();
}
