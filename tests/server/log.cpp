#include "peer.hpp"

#include <cstdio>
#include <ctime>

namespace kts {
namespace {

std::mutex g_log_mutex;
std::FILE* g_log = nullptr;  // null means stdout

}  // namespace

bool log_open(const std::string& path) {
  std::scoped_lock lock(g_log_mutex);
  if (path.empty()) return true;
  g_log = std::fopen(path.c_str(), "w");
  return g_log != nullptr;
}

void log_close() {
  std::scoped_lock lock(g_log_mutex);
  if (g_log) {
    std::fclose(g_log);
    g_log = nullptr;
  }
}

void log_line(std::string_view line) {
  std::scoped_lock lock(g_log_mutex);
  std::FILE* out = g_log ? g_log : stdout;
  // Tests read the log while the server runs: every line must be whole and
  // visible at once.
  std::fwrite(line.data(), 1, line.size(), out);
  std::fputc('\n', out);
  std::fflush(out);
}

void log_error(std::string_view text) {
  std::string line = "ERROR ";
  line += text;
  log_line(line);
}

std::uint64_t monotonic_ns() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1000000000ULL +
         static_cast<std::uint64_t>(ts.tv_nsec);
}

std::string to_hex(const std::uint8_t* data, std::size_t size) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(size * 2);
  for (std::size_t i = 0; i < size; ++i) {
    out.push_back(digits[data[i] >> 4]);
    out.push_back(digits[data[i] & 0x0F]);
  }
  return out;
}

void log_channel_join(std::string_view name) {
  std::string line = "CHANNEL join name=";
  line += name;
  log_line(line);
}

}  // namespace kts
