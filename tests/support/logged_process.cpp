#include "logged_process.hpp"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "net.hpp"

namespace korvane::test {

namespace {

void read_lines(LoggedProcess* p) {
  std::string partial;
  char buf[4096];
  const int fd = p->child.stdout_fd.get();
  // The stop flag is looked at every 100 ms: a grandchild holding the pipe open must not keep
  // the owner waiting for an end of stream that never comes.
  while (!p->stop) {
    pollfd pfd{fd, POLLIN, 0};
    const int r = poll(&pfd, 1, 100);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) break;
    if (r == 0) continue;
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) break;
    partial.append(buf, static_cast<size_t>(n));
    std::vector<std::string> complete;
    for (size_t nl = partial.find('\n'); nl != std::string::npos; nl = partial.find('\n')) {
      std::string line = partial.substr(0, nl);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      complete.push_back(std::move(line));
      partial.erase(0, nl + 1);
    }
    if (!complete.empty()) {
      std::lock_guard lock(p->mutex);
      for (auto& l : complete) p->lines.push_back(std::move(l));
      p->changed.notify_all();
    }
  }
  std::lock_guard lock(p->mutex);
  if (!partial.empty()) p->lines.push_back(partial);
  p->ended = true;
  p->changed.notify_all();
}

}  // namespace

LoggedProcess::~LoggedProcess() {
  host::terminate(child, child.term_grace_ms);
  stop = true;
  if (reader.joinable()) reader.join();
}

std::unique_ptr<LoggedProcess> start_logged(host::SpawnOptions options, std::string* error) {
  options.pipe_stdout = true;
  // Ended as a group: helpers a server starts must not outlive it (nor keep its pipe open).
  options.own_process_group = true;
  auto child = host::spawn(options, error);
  if (!child) return nullptr;
  auto p = std::make_unique<LoggedProcess>();
  p->child = std::move(*child);
  p->reader = std::thread(read_lines, p.get());
  return p;
}

std::optional<std::string> wait_for_line(LoggedProcess& process, const std::regex& pattern,
                                         int timeout_ms, size_t* cursor) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  size_t next = cursor ? *cursor : 0;
  std::unique_lock lock(process.mutex);
  for (;;) {
    for (; next < process.lines.size(); ++next) {
      if (std::regex_search(process.lines[next], pattern)) {
        if (cursor) *cursor = next + 1;
        return process.lines[next];
      }
    }
    if (process.ended) return std::nullopt;
    if (process.changed.wait_until(lock, deadline) == std::cv_status::timeout &&
        next >= process.lines.size()) {
      return std::nullopt;
    }
  }
}

std::optional<std::string> wait_for_prefix(LoggedProcess& process, const std::string& prefix,
                                           int timeout_ms, size_t* cursor) {
  std::string escaped;
  for (char c : prefix) {
    if (std::string("\\^$.|?*+()[]{}").find(c) != std::string::npos) escaped += '\\';
    escaped += c;
  }
  return wait_for_line(process, std::regex("^" + escaped), timeout_ms, cursor);
}

std::vector<std::string> lines_of(LoggedProcess& process) {
  std::lock_guard lock(process.mutex);
  return process.lines;
}

std::string output_of(LoggedProcess& process) {
  std::string out;
  for (const auto& l : lines_of(process)) out += l + "\n";
  return out;
}

std::optional<TestServer> start_test_server(const TestServerOptions& options, std::string* error) {
  std::string last_error = "no free port";
  for (int attempt = 0; attempt < 3; ++attempt) {
    const uint16_t port = free_tcp_port();
    if (port == 0) continue;
    host::SpawnOptions spawn;
    spawn.argv = {options.path, "--port", std::to_string(port)};
    if (!options.sec.empty()) spawn.argv.insert(spawn.argv.end(), {"--sec", options.sec});
    if (!options.user.empty()) spawn.argv.insert(spawn.argv.end(), {"--user", options.user});
    if (!options.password.empty()) {
      spawn.argv.insert(spawn.argv.end(), {"--password", options.password});
    }
    for (const auto& step : options.steps) spawn.argv.insert(spawn.argv.end(), {"--step", step});
    spawn.argv.insert(spawn.argv.end(), options.extra.begin(), options.extra.end());
    spawn.stderr_path = options.stderr_path;
    spawn.term_grace_ms = 1000;
    spawn.die_with_parent = true;
    auto process = start_logged(spawn, &last_error);
    if (!process) break;
    const std::string ready = "LISTENING port=" + std::to_string(port);
    if (wait_for_line(*process, std::regex("^" + ready + "\\b"), 10000)) {
      return TestServer{std::move(process), port};
    }
    last_error =
        "korvane-test-server did not report \"" + ready + "\"; its output:\n" + output_of(*process);
  }
  if (error) *error = last_error;
  return std::nullopt;
}

std::optional<TestGateway> start_test_gateway(const std::string& path, uint16_t target,
                                              const std::vector<std::string>& options,
                                              const std::string& stderr_path, std::string* error) {
  host::SpawnOptions spawn;
  spawn.argv = {path, "--port", "0", "--target", "127.0.0.1:" + std::to_string(target)};
  spawn.argv.insert(spawn.argv.end(), options.begin(), options.end());
  spawn.stderr_path = stderr_path;
  spawn.term_grace_ms = 1000;
  spawn.die_with_parent = true;
  std::string last_error;
  TestGateway g;
  g.process = start_logged(spawn, &last_error);
  if (g.process) {
    const auto listening = wait_for_prefix(*g.process, "LISTENING port=", 15000);
    const auto cert = wait_for_prefix(*g.process, "CERT sha256=", 15000);
    if (listening && cert) {
      g.port = static_cast<uint16_t>(std::stoi(listening->substr(15)));
      g.fingerprint = cert->substr(12);
      return g;
    }
    last_error = "korvane-test-gateway did not start; its output:\n" + output_of(*g.process);
  }
  if (error) *error = last_error;
  return std::nullopt;
}

}  // namespace korvane::test
