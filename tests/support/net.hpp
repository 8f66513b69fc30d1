// Loopback ports and scratch directories for tests that start servers.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>
#include <utility>

#include "host/process.hpp"

namespace korvane::test {

// 127.0.0.1:port as a socket address.
sockaddr_in loopback(uint16_t port);

// A TCP port on 127.0.0.1 that nobody listened on a moment ago (0 if none could be had).
uint16_t free_tcp_port();

// Polls until 127.0.0.1:port accepts a connection (true) or timeout_ms passes. When watch is
// given, gives up early once that process has ended.
bool wait_for_port(uint16_t port, int timeout_ms, host::Child* watch = nullptr);

// A directory of its own under $TMPDIR (or /tmp), removed with everything in it by the owner.
struct TempDir {
  std::string path;

  TempDir() = default;
  TempDir(TempDir&& other) noexcept : path(std::exchange(other.path, {})) {}
  TempDir& operator=(TempDir&& other) noexcept;
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir();
};

// Empty path on failure.
TempDir make_temp_dir(const std::string& prefix = "korvane-test");

std::string read_file(const std::string& path);

}  // namespace korvane::test
