// Server processes whose stdout a test reads line by line, and the korvane-test-server launcher.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "host/process.hpp"

namespace korvane::test {

// A child whose stdout a reader thread collects into lines. The owner ends the child (by pid)
// and joins the reader, also when a test fails half-way.
struct LoggedProcess {
  host::Child child;              // written at start only
  std::thread reader;             // collects stdout into lines
  std::atomic<bool> stop{false};  // set by the owner to end the reader
  std::mutex mutex;
  std::condition_variable changed;  // notified on every new line and at the end of stdout
  std::vector<std::string> lines;   // guarded by mutex; appended by the reader
  bool ended = false;               // guarded by mutex; stdout reached its end

  LoggedProcess() = default;
  LoggedProcess(const LoggedProcess&) = delete;
  LoggedProcess& operator=(const LoggedProcess&) = delete;
  ~LoggedProcess();
};

// Starts the child with its stdout piped (stderr as options say), as the leader of its own
// process group, which the owner ends as a whole.
std::unique_ptr<LoggedProcess> start_logged(host::SpawnOptions options,
                                            std::string* error = nullptr);

// Waits for a line matching pattern (std::regex_search), looking at lines from *cursor on (from
// the first line when cursor is null) and moving *cursor past the match. nullopt when the
// deadline passes or stdout ends without one.
std::optional<std::string> wait_for_line(LoggedProcess& process, const std::regex& pattern,
                                         int timeout_ms, size_t* cursor = nullptr);

// Same with a plain prefix.
std::optional<std::string> wait_for_prefix(LoggedProcess& process, const std::string& prefix,
                                           int timeout_ms, size_t* cursor = nullptr);

std::vector<std::string> lines_of(LoggedProcess& process);
std::string output_of(LoggedProcess& process);  // the lines joined with '\n'

struct TestServerOptions {
  std::string path;                // the korvane-test-server binary
  std::string sec;                 // tls, nla or rdp; empty: the server's default
  std::string user, password;      // empty: not passed
  std::vector<std::string> steps;  // each passed as --step STEP
  std::vector<std::string> extra;  // appended as they are
  std::string stderr_path;         // empty: inherited
};

struct TestServer {
  std::unique_ptr<LoggedProcess> process;
  uint16_t port = 0;
};

// Starts korvane-test-server on a free port and waits (bounded) for "LISTENING port=P". A port
// taken in between by someone else makes the server exit: then another port is tried.
std::optional<TestServer> start_test_server(const TestServerOptions& options,
                                            std::string* error = nullptr);

// korvane-test-gateway (`path`) on a port the kernel chooses, relaying to 127.0.0.1:target, with
// `options` after those; waits (bounded) for its port and its certificate's fingerprint.
struct TestGateway {
  std::unique_ptr<LoggedProcess> process;
  uint16_t port = 0;
  std::string fingerprint;  // SHA-256 of its certificate, lower-case pairs joined by ':'
};
std::optional<TestGateway> start_test_gateway(const std::string& path, uint16_t target,
                                              const std::vector<std::string>& options,
                                              const std::string& stderr_path,
                                              std::string* error = nullptr);

}  // namespace korvane::test
