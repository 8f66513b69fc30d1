// What /proc says of a process, for the tests' memory bounds and the benchmarks' figures:
// resident size, proportional set size, private pages and threads; the run time of all its
// threads (schedstat, ns), user and system clock ticks; its children.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace korvane::test {

// A field of /proc/PID/status in its own unit (KiB for the Vm* fields), e.g. "VmRSS", "VmHWM",
// "Threads". nullopt when the process or the field is not there.
std::optional<uint64_t> status_field(pid_t pid, std::string_view field);

// The resident size (VmRSS) in KiB, 0 when it cannot be read.
long resident_kib(pid_t pid);

struct Memory {
  long pss = -1, private_kib = -1, threads = -1;  // KiB, KiB, count; -1 when unreadable
  long private_dirty = -1;  // KiB: private_kib less the clean pages (code, read-only data)
};
Memory memory_of(pid_t pid);

// All threads' run time so far, in ns (0 when the process is gone).
uint64_t run_ns(pid_t pid);

struct Cpu {
  uint64_t run_ns = 0;  // all threads' run time
  uint64_t utime = 0;   // clock ticks
  uint64_t stime = 0;
};
std::optional<Cpu> cpu_of(pid_t pid);

// User and system time together, in seconds (0 when the process is gone).
double cpu_seconds(pid_t pid);

// The processes whose parent is pid (zombies too: an unreaped child is still left behind).
std::vector<pid_t> children_of(pid_t pid);

}  // namespace korvane::test
