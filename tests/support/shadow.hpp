// FreeRDP's shadow server sharing a test's X display: a real RDP server on 127.0.0.1.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host/process.hpp"
#include "net.hpp"
#include "x_display.hpp"

namespace korvane::test {

enum class ShadowSecurity { tls, nla, rdp };

struct ShadowOptions {
  ShadowSecurity security = ShadowSecurity::tls;
  // With nla: the one account of the server's SAM file. Otherwise nobody is asked (-auth).
  std::string user = "test";
  std::string password = "test";
  std::vector<std::string> extra;  // further shadow server options, e.g. "-gfx-avc444"
};

struct ShadowServer {
  TempDir scratch;      // its XDG_CONFIG_HOME (certificate and key), the SAM file, the log
  host::Child process;  // declared after scratch: ended before the directory goes
  uint16_t port = 0;
  std::string log_path;  // the server's stdout and stderr
};

// Starts freerdp-shadow-cli3 on the display and a free port, and waits (bounded) until the
// port accepts connections. Another port is tried if the server dies at start.
std::optional<ShadowServer> start_shadow(const XServer& x, const ShadowOptions& options,
                                         std::string* error = nullptr);

}  // namespace korvane::test
