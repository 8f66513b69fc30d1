// What the host asked for and was granted, read by every subsystem. Nothing of the RDP library:
// the record sits below every subsystem, and the library's context stays with the session driver.
#pragma once

#include "host_link/extensions.hpp"
#include "host_link/protocol.hpp"

namespace korvane {

struct SessionRecord {
  // Filled once by the main thread from the connect request, before any other thread starts;
  // read-only afterwards, so read without a lock.
  ConnectParams params{};
  // What the host's extension block asked for and was granted (none: the base protocol only).
  // Same lifetime as params.
  Grant grant{};
  Extensions ext{};
};

extern SessionRecord session;

}  // namespace korvane
