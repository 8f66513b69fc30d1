// A process's memory as a host that runs many sessions counts it: proportional set size, private
// pages (what the process costs on its own) and threads, from /proc.
#pragma once

#include <sys/types.h>

#include <fstream>
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

}  // namespace korvane::bench
