#include "host/process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

extern char** environ;

namespace korvane::host {

namespace {

using Clock = std::chrono::steady_clock;

int remaining_ms(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left <= 0 ? 0 : static_cast<int>(left);
}

bool set_nonblocking(int fd) {
  const int flags = fcntl(fd, F_GETFL);
  return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

// The child side of fork(): only async-signal-safe calls until execve.
[[noreturn]] void exec_child(const SpawnOptions& options, const char* program, char* const* argv,
                             char* const* envp, int stdin_read, int stdout_write, int error_write,
                             const std::vector<int>& open_fds, pid_t parent) {
  auto fail = [error_write]() {
    const int err = errno;
    ssize_t ignored = write(error_write, &err, sizeof err);
    (void)ignored;
    _exit(127);
  };

  // Ignored signals and blocked masks survive exec; the child must start with the defaults.
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  sigaction(SIGPIPE, &dfl, nullptr);
  sigaction(SIGINT, &dfl, nullptr);
  sigaction(SIGTERM, &dfl, nullptr);

  if (options.own_process_group && setpgid(0, 0) != 0) fail();
  if (options.die_with_parent) {
    if (prctl(PR_SET_PDEATHSIG, SIGTERM) != 0) fail();
    // The parent may have gone before the request was made.
    if (getppid() != parent) _exit(127);
  }

  if (stdin_read >= 0) {
    if (dup2(stdin_read, 0) < 0) fail();
  } else {
    const int null_fd = open("/dev/null", O_RDONLY);
    if (null_fd < 0 || dup2(null_fd, 0) < 0) fail();
    if (null_fd != 0) close(null_fd);
  }
  if (stdout_write >= 0) {
    if (dup2(stdout_write, 1) < 0) fail();
  } else if (!options.stdout_path.empty()) {
    const int fd = open(options.stdout_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd < 0 || dup2(fd, 1) < 0) fail();
    if (fd != 1) close(fd);
  }
  if (options.stderr_path == "-") {
    if (dup2(1, 2) < 0) fail();
  } else if (!options.stderr_path.empty()) {
    const int fd = open(options.stderr_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd < 0 || dup2(fd, 2) < 0) fail();
    if (fd != 2) close(fd);
  }
  for (const auto& [from, to] : options.keep_fds) {
    if (from == to) {
      if (fcntl(to, F_SETFD, 0) != 0) fail();
    } else if (dup2(from, to) < 0) {
      fail();
    }
  }
  // Descriptors the host holds without close-on-exec (a test runner's pipes, say) must not
  // reach the child: a server that outlives a test would keep them open. open_fds is sorted.
  unsigned int low = 3;
  for (int fd : open_fds) {
    const auto keep = static_cast<unsigned int>(fd);
    if (keep < low) continue;
    if (keep > low) close_range(low, keep - 1, 0);
    low = keep + 1;
  }
  close_range(low, ~0u, 0);
  execve(program, argv, envp);
  fail();
  _exit(127);
}

std::string find_program(const std::string& name) {
  if (name.find('/') != std::string::npos) return name;
  const char* path = getenv("PATH");
  std::string dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    std::string dir = dirs.substr(start, end - start);
    if (dir.empty()) dir = ".";
    std::string candidate = dir + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return name;
}

std::vector<std::string> merged_environment(const std::vector<std::string>& extra) {
  std::vector<std::string> out;
  for (char** e = environ; e && *e; ++e) {
    std::string entry = *e;
    const std::string name = entry.substr(0, entry.find('=') + 1);
    bool overridden = false;
    for (const auto& x : extra) {
      if (x.compare(0, name.size(), name) == 0) overridden = true;
    }
    if (!overridden) out.push_back(std::move(entry));
  }
  out.insert(out.end(), extra.begin(), extra.end());
  return out;
}

std::vector<char*> c_strings(std::vector<std::string>& strings) {
  std::vector<char*> out;
  out.reserve(strings.size() + 1);
  for (auto& s : strings) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

void set_error(std::string* error, const std::string& text) {
  if (error) *error = text;
}

ExitStatus from_wait_status(int ws) {
  ExitStatus st;
  if (WIFEXITED(ws)) {
    st.code = WEXITSTATUS(ws);
  } else if (WIFSIGNALED(ws)) {
    st.signal = WTERMSIG(ws);
  }
  return st;
}

}  // namespace

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) reset(std::exchange(other.fd, -1));
  return *this;
}

UniqueFd::~UniqueFd() { reset(); }

void UniqueFd::reset(int f) {
  if (fd >= 0) close(fd);
  fd = f;
}

Child::Child(Child&& other) noexcept
    : pid(std::exchange(other.pid, -1)),
      stdin_fd(std::move(other.stdin_fd)),
      stdout_fd(std::move(other.stdout_fd)),
      process_group(other.process_group),
      term_grace_ms(other.term_grace_ms),
      status(std::move(other.status)) {}

Child& Child::operator=(Child&& other) noexcept {
  if (this != &other) {
    if (pid > 0 && !status) terminate(*this, term_grace_ms);
    pid = std::exchange(other.pid, -1);
    stdin_fd = std::move(other.stdin_fd);
    stdout_fd = std::move(other.stdout_fd);
    process_group = other.process_group;
    term_grace_ms = other.term_grace_ms;
    status = std::move(other.status);
  }
  return *this;
}

Child::~Child() {
  // A child that reads its stdin may end by itself once the host's end is closed.
  stdin_fd.reset();
  if (pid > 0 && !status) terminate(*this, term_grace_ms);
}

std::optional<Child> spawn(const SpawnOptions& options, std::string* error) {
  if (options.argv.empty()) {
    set_error(error, "spawn: empty argument list");
    return std::nullopt;
  }
  // Everything the child needs is built before fork: after it only async-signal-safe calls.
  const std::string program = find_program(options.argv[0]);
  std::vector<std::string> args = options.argv;
  std::vector<std::string> env = merged_environment(options.env);
  std::vector<char*> argv = c_strings(args);
  std::vector<char*> envp = c_strings(env);

  int in_pipe[2] = {-1, -1};
  int out_pipe[2] = {-1, -1};
  int err_pipe[2] = {-1, -1};
  if ((options.pipe_stdin && pipe2(in_pipe, O_CLOEXEC) != 0) ||
      (options.pipe_stdout && pipe2(out_pipe, O_CLOEXEC) != 0) || pipe2(err_pipe, O_CLOEXEC) != 0) {
    const std::string text = std::string("spawn: pipe: ") + strerror(errno);
    for (int fd : {in_pipe[0], in_pipe[1], out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]}) {
      if (fd >= 0) close(fd);
    }
    set_error(error, text);
    return std::nullopt;
  }
  UniqueFd in_read(in_pipe[0]), in_write(in_pipe[1]);
  UniqueFd out_read(out_pipe[0]), out_write(out_pipe[1]);
  UniqueFd err_read(err_pipe[0]), err_write(err_pipe[1]);

  std::vector<int> open_fds = {err_write.get()};
  for (const auto& kept : options.keep_fds) open_fds.push_back(kept.second);
  std::sort(open_fds.begin(), open_fds.end());

  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid < 0) {
    set_error(error, std::string("spawn: fork: ") + strerror(errno));
    return std::nullopt;
  }
  if (pid == 0) {
    exec_child(options, program.c_str(), argv.data(), envp.data(), in_read.get(), out_write.get(),
               err_write.get(), open_fds, parent);
  }
  // Both sides set the group so a signal sent right after spawn already reaches it.
  if (options.own_process_group) setpgid(pid, pid);

  Child child;
  child.pid = pid;
  child.process_group = options.own_process_group;
  child.term_grace_ms = options.term_grace_ms;

  in_read.reset();
  out_write.reset();
  err_write.reset();

  int child_errno = 0;
  ssize_t got = -1;
  do {
    got = read(err_read.get(), &child_errno, sizeof child_errno);
  } while (got < 0 && errno == EINTR);
  if (got == static_cast<ssize_t>(sizeof child_errno)) {
    wait_exit(child, 5000);
    child.pid = -1;
    set_error(error, "spawn: cannot run " + program + ": " + strerror(child_errno));
    return std::nullopt;
  }

  if (options.pipe_stdin) {
    set_nonblocking(in_write.get());
    child.stdin_fd = std::move(in_write);
  }
  if (options.pipe_stdout) {
    set_nonblocking(out_read.get());
    child.stdout_fd = std::move(out_read);
  }
  return child;
}

bool write_all(int fd, std::span<const uint8_t> bytes, int timeout_ms) {
  if (fd < 0) return false;
  // SIGPIPE is blocked for this thread only, and a SIGPIPE our own write raised is consumed,
  // so the process-wide disposition stays whatever the program chose.
  sigset_t pipe_set, old_set, pending;
  sigemptyset(&pipe_set);
  sigaddset(&pipe_set, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe_set, &old_set);
  sigemptyset(&pending);
  sigpending(&pending);
  const bool already_pending = sigismember(&pending, SIGPIPE) == 1;

  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  size_t done = 0;
  bool ok = true;
  bool broken = false;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      const int wait = remaining_ms(deadline);
      if (wait == 0) {
        ok = false;
        break;
      }
      pollfd p{fd, POLLOUT, 0};
      const int r = poll(&p, 1, wait);
      if (r < 0 && errno != EINTR) {
        ok = false;
        break;
      }
      if (r > 0 && (p.revents & (POLLERR | POLLNVAL))) {
        broken = (p.revents & POLLERR) != 0;
        ok = false;
        break;
      }
      continue;
    }
    broken = n < 0 && errno == EPIPE;
    ok = false;
    break;
  }

  if (broken && !already_pending) {
    timespec zero{0, 0};
    while (sigtimedwait(&pipe_set, nullptr, &zero) < 0 && errno == EINTR) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &old_set, nullptr);
  return ok;
}

void close_stdin(Child& child) { child.stdin_fd.reset(); }

std::optional<ExitStatus> wait_exit(Child& child, int timeout_ms) {
  if (child.status) return child.status;
  if (child.pid <= 0) return std::nullopt;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  auto pause = std::chrono::milliseconds(1);
  for (;;) {
    int ws = 0;
    const pid_t r = waitpid(child.pid, &ws, WNOHANG);
    if (r == child.pid) {
      child.status = from_wait_status(ws);
      return child.status;
    }
    if (r < 0 && errno != EINTR) {
      // Someone else reaped it: the exit status is lost.
      child.status = ExitStatus{};
      return child.status;
    }
    const int left = remaining_ms(deadline);
    if (left == 0) return std::nullopt;
    std::this_thread::sleep_for(std::min(pause, std::chrono::milliseconds(left)));
    pause = std::min(pause * 2, std::chrono::milliseconds(20));
  }
}

void signal_child(const Child& child, int sig) {
  if (child.pid <= 0 || child.status) return;
  if (child.process_group) {
    kill(-child.pid, sig);
  } else {
    kill(child.pid, sig);
  }
}

ExitStatus terminate(Child& child, int grace_ms) {
  if (child.pid <= 0) return child.status.value_or(ExitStatus{});
  if (!child.status && grace_ms > 0) {
    signal_child(child, SIGTERM);
    wait_exit(child, grace_ms);
  }
  if (!child.status) {
    signal_child(child, SIGKILL);
    // SIGKILL cannot be caught; the bound only guards against a kernel that never delivers.
    wait_exit(child, 10000);
  }
  // Whatever the group leader left behind goes too.
  if (child.process_group) kill(-child.pid, SIGKILL);
  return child.status.value_or(ExitStatus{});
}

RunResult run_capture(const SpawnOptions& options, int timeout_ms, std::string* error) {
  RunResult result;
  SpawnOptions opts = options;
  opts.pipe_stdout = true;
  auto child = spawn(opts, error);
  if (!child) return result;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  char buf[65536];
  bool eof = false;
  while (!eof) {
    const int left = remaining_ms(deadline);
    if (left == 0) break;
    pollfd p{child->stdout_fd.get(), POLLIN, 0};
    const int r = poll(&p, 1, left);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    for (;;) {
      const ssize_t n = read(child->stdout_fd.get(), buf, sizeof buf);
      if (n > 0) {
        result.out.append(buf, static_cast<size_t>(n));
        continue;
      }
      if (n == 0) eof = true;
      if (n < 0 && errno == EINTR) continue;
      break;
    }
  }
  result.status = wait_exit(*child, remaining_ms(deadline));
  if (!result.status) {
    terminate(*child, 0);
    set_error(error, "timed out: " + options.argv[0]);
  }
  return result;
}

std::string describe(const ExitStatus& status) {
  if (status.signal) return "killed by signal " + std::to_string(status.signal);
  if (status.code < 0) return "exit status unknown";
  return "exit code " + std::to_string(status.code);
}

}  // namespace korvane::host
