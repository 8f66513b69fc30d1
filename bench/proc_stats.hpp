// A process as a host that runs many sessions counts it, from /proc: proportional set size,
// private pages and threads; the run time of all its threads (schedstat, ns), and user and
// system clock ticks.
#pragma once

#include <dirent.h>
#include <sys/types.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>

namespace korvane::bench {

struct Memory {
  long pss = -1, private_kib = -1, threads = -1;  // KiB, KiB, count; -1 when unreadable
};

inline Memory memory_of(pid_t pid) {
  Memory m;
  std::ifstream in("/proc/" + std::to_string(pid) + "/smaps_rollup");
  std::string line;
  long priv = 0;
  while (std::getline(in, line)) {
    std::istringstream s(line);
    std::string key;
    long v = 0;
    s >> key >> v;
    if (key == "Pss:") m.pss = v;
    if (key == "Private_Dirty:" || key == "Private_Clean:") priv += v;
  }
  m.private_kib = priv;
  std::ifstream st("/proc/" + std::to_string(pid) + "/status");
  while (std::getline(st, line))
    if (line.rfind("Threads:", 0) == 0) m.threads = std::stol(line.substr(8));
  return m;
}

// All threads' run time so far, in ns (0 when the process is gone).
inline uint64_t run_ns(pid_t pid) {
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  DIR* dir = opendir(tasks.c_str());
  if (!dir) return 0;
  uint64_t total = 0;
  for (dirent* e = readdir(dir); e; e = readdir(dir)) {
    if (e->d_name[0] == '.') continue;
    std::ifstream in(tasks + "/" + e->d_name + "/schedstat");
    uint64_t ns = 0;
    if (in >> ns) total += ns;
  }
  closedir(dir);
  return total;
}

struct Cpu {
  uint64_t run_ns = 0;  // all threads' run time
  uint64_t utime = 0;   // clock ticks
  uint64_t stime = 0;
};

inline std::optional<Cpu> process_cpu(pid_t pid) {
  Cpu cpu;
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string all((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const auto close = all.rfind(')');
  if (close == std::string::npos) return std::nullopt;
  std::istringstream rest(all.substr(close + 2));
  std::string field;
  // Fields after the name start at 3 (state); utime and stime are 14 and 15.
  for (int i = 3; i <= 15 && rest >> field; ++i) {
    if (i == 14) cpu.utime = std::strtoull(field.c_str(), nullptr, 10);
    if (i == 15) cpu.stime = std::strtoull(field.c_str(), nullptr, 10);
  }
  cpu.run_ns = run_ns(pid);
  return cpu;
}

}  // namespace korvane::bench
