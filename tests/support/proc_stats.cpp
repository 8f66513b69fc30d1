#include "proc_stats.hpp"

#include <dirent.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

namespace korvane::test {

namespace {

std::string proc(pid_t pid, const char* file) {
  return "/proc/" + std::to_string(pid) + "/" + file;
}

// The fields of /proc/PID/stat after the command name (which may hold spaces and parentheses),
// starting with field 3 (the state). Empty when the process is gone.
std::vector<std::string> stat_fields(pid_t pid) {
  std::ifstream in(proc(pid, "stat"));
  const std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const auto close = all.rfind(')');
  std::vector<std::string> fields;
  if (close == std::string::npos || close + 2 > all.size()) return fields;
  std::istringstream rest(all.substr(close + 2));
  for (std::string field; rest >> field;) fields.push_back(field);
  return fields;
}

// Field n of /proc/PID/stat (n from 3) as a number, 0 when missing.
uint64_t stat_number(const std::vector<std::string>& fields, size_t n) {
  return n - 3 < fields.size() ? std::strtoull(fields[n - 3].c_str(), nullptr, 10) : 0;
}

}  // namespace

std::optional<uint64_t> status_field(pid_t pid, std::string_view field) {
  std::ifstream in(proc(pid, "status"));
  for (std::string line; std::getline(in, line);) {
    if (line.size() > field.size() && line.compare(0, field.size(), field) == 0 &&
        line[field.size()] == ':')
      return std::strtoull(line.c_str() + field.size() + 1, nullptr, 10);
  }
  return std::nullopt;
}

long resident_kib(pid_t pid) { return static_cast<long>(status_field(pid, "VmRSS").value_or(0)); }

Memory memory_of(pid_t pid) {
  Memory m;
  std::ifstream in(proc(pid, "smaps_rollup"));
  std::string line;
  long priv = 0, dirty = 0;
  while (std::getline(in, line)) {
    std::istringstream s(line);
    std::string key;
    long v = 0;
    s >> key >> v;
    if (key == "Pss:") m.pss = v;
    if (key == "Private_Dirty:" || key == "Private_Clean:") priv += v;
    if (key == "Private_Dirty:") dirty = v;
  }
  m.private_kib = priv;
  m.private_dirty = dirty;
  if (const auto threads = status_field(pid, "Threads")) m.threads = static_cast<long>(*threads);
  return m;
}

uint64_t run_ns(pid_t pid) {
  const std::string tasks = proc(pid, "task");
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

std::optional<Cpu> cpu_of(pid_t pid) {
  const auto fields = stat_fields(pid);
  if (fields.empty()) return std::nullopt;
  // utime and stime are fields 14 and 15.
  return Cpu{run_ns(pid), stat_number(fields, 14), stat_number(fields, 15)};
}

double cpu_seconds(pid_t pid) {
  const auto fields = stat_fields(pid);
  const auto ticks = stat_number(fields, 14) + stat_number(fields, 15);
  return static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

std::vector<pid_t> children_of(pid_t pid) {
  std::vector<pid_t> out;
  DIR* d = opendir("/proc");
  if (!d) return out;
  while (dirent* e = readdir(d)) {
    const pid_t child = static_cast<pid_t>(std::atoi(e->d_name));
    if (child <= 0) continue;
    // The parent is field 4.
    if (stat_number(stat_fields(child), 4) == static_cast<uint64_t>(pid)) out.push_back(child);
  }
  closedir(d);
  return out;
}

}  // namespace korvane::test
