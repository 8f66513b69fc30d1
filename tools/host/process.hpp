// Child processes for hosts and tests: spawn with optional pipes, bounded waits, and an owner
// that always kills and reaps what it started.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace korvane::host {

// An owned file descriptor, closed when the owner goes.
struct UniqueFd {
  int fd = -1;

  UniqueFd() = default;
  explicit UniqueFd(int f) : fd(f) {}
  UniqueFd(UniqueFd&& other) noexcept : fd(std::exchange(other.fd, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd();

  void reset(int f = -1);
  int get() const { return fd; }
  explicit operator bool() const { return fd >= 0; }
};

struct SpawnOptions {
  std::vector<std::string> argv;   // argv[0] is the program: a path, or a name searched in PATH
  std::vector<std::string> env;    // "NAME=value" entries set on top of the current environment
  bool pipe_stdin = false;         // else the child reads /dev/null
  bool pipe_stdout = false;        // else stdout goes where stdout_path says
  std::string stdout_path;         // empty: inherited (unless piped)
  std::string stderr_path;         // empty: inherited; "-" : into the same place as stdout
  bool own_process_group = false;  // the child leads a group, and is signalled as a group
  std::vector<std::pair<int, int>> keep_fds;  // (parent fd, child fd) handed on to the child
  int term_grace_ms = 0;  // on destruction: SIGTERM and this long before SIGKILL
  // The child gets SIGTERM when the thread that spawned it ends (the whole host, for a
  // single-threaded one), so a host killed outright leaves no server or session behind.
  bool die_with_parent = false;
};

struct ExitStatus {
  int code = -1;   // exit code when the child exited
  int signal = 0;  // the signal that ended it, or 0
  bool exited() const { return signal == 0 && code >= 0; }
};

// A started child. Its destructor ends it (see term_grace_ms) and reaps it.
struct Child {
  pid_t pid = -1;
  UniqueFd stdin_fd;   // write end of the child's stdin, when piped
  UniqueFd stdout_fd;  // read end of the child's stdout, when piped
  bool process_group = false;
  int term_grace_ms = 0;
  std::optional<ExitStatus> status;  // set once reaped

  Child() = default;
  Child(Child&& other) noexcept;
  Child& operator=(Child&& other) noexcept;
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child();
};

// Starts the child. On failure (including a program that cannot be executed) returns nullopt
// and, when error is given, says why.
std::optional<Child> spawn(const SpawnOptions& options, std::string* error = nullptr);

// Writes every byte within timeout_ms or fails. A reader that has gone away is a failure,
// never a SIGPIPE. Works on blocking and non-blocking descriptors.
bool write_all(int fd, std::span<const uint8_t> bytes, int timeout_ms = 10000);

// Closes the child's stdin, which is how a host says that no more commands follow.
void close_stdin(Child& child);

// Reaps the child if it has ended within timeout_ms (0: just look). Repeated calls after the
// child is reaped return the same status.
std::optional<ExitStatus> wait_exit(Child& child, int timeout_ms);

// Sends a signal to the child (to its group when it leads one) unless it is already reaped.
void signal_child(const Child& child, int sig);

// Ends the child: SIGTERM and up to grace_ms, then SIGKILL; always reaps it.
ExitStatus terminate(Child& child, int grace_ms);

// Runs a program to completion (bounded), returning its exit status and what it printed on
// stdout. Killed at the deadline: then the status is nullopt.
struct RunResult {
  std::optional<ExitStatus> status;
  std::string out;
};
RunResult run_capture(const SpawnOptions& options, int timeout_ms, std::string* error = nullptr);

std::string describe(const ExitStatus& status);

}  // namespace korvane::host
