#include "shadow.hpp"

#include <fstream>

namespace korvane::test {

namespace {

void set_error(std::string* error, const std::string& text) {
  if (error) *error = text;
}

bool write_sam(const std::string& path, const ShadowOptions& options, std::string* error) {
  host::SpawnOptions o;
  o.argv = {"winpr-hash3", "-u", options.user, "-p", options.password, "-f", "sam"};
  host::RunResult r = host::run_capture(o, 10000, error);
  if (!r.status || !r.status->exited() || r.status->code != 0 || r.out.empty()) {
    if (r.status) set_error(error, "winpr-hash3 failed: " + host::describe(*r.status));
    return false;
  }
  std::ofstream out(path, std::ios::binary);
  out << r.out;
  return static_cast<bool>(out);
}

}  // namespace

std::optional<ShadowServer> start_shadow(const XServer& x, const ShadowOptions& options,
                                         std::string* error) {
  ShadowServer server;
  server.scratch = make_temp_dir("korvane-shadow");
  if (server.scratch.path.empty()) {
    set_error(error, "cannot make a scratch directory");
    return std::nullopt;
  }
  server.log_path = server.scratch.path + "/shadow.log";
  const std::string sam = server.scratch.path + "/SAM";
  if (options.security == ShadowSecurity::nla && !write_sam(sam, options, error)) {
    return std::nullopt;
  }

  std::string last_error = "no free port";
  for (int attempt = 0; attempt < 3; ++attempt) {
    const uint16_t port = free_tcp_port();
    if (port == 0) continue;
    host::SpawnOptions o;
    o.argv = {"freerdp-shadow-cli3", "/bind-address:127.0.0.1", "/port:" + std::to_string(port)};
    switch (options.security) {
      case ShadowSecurity::tls: o.argv.insert(o.argv.end(), {"-auth", "/sec:tls"}); break;
      case ShadowSecurity::nla:
        o.argv.insert(o.argv.end(), {"/sec:nla", "/sam-file:" + sam});
        break;
      case ShadowSecurity::rdp: o.argv.insert(o.argv.end(), {"-auth", "/sec:rdp"}); break;
    }
    o.argv.insert(o.argv.end(), options.extra.begin(), options.extra.end());
    // The server keeps its certificate under $XDG_CONFIG_HOME/freerdp/shadow/, made on first
    // start: a scratch home keeps tests away from the user's and from each other's.
    o.env = {"XDG_CONFIG_HOME=" + server.scratch.path, x.env()};
    o.stdout_path = server.log_path;
    o.stderr_path = "-";
    o.term_grace_ms = 2000;
    o.die_with_parent = true;
    auto child = host::spawn(o, &last_error);
    if (!child) break;
    server.process = std::move(*child);
    if (wait_for_port(port, 10000, &server.process)) {
      server.port = port;
      return server;
    }
    host::terminate(server.process, 1000);
    last_error = "the shadow server did not open port " + std::to_string(port) + "; its log:\n" +
                 read_file(server.log_path);
  }
  set_error(error, last_error);
  return std::nullopt;
}

}  // namespace korvane::test
