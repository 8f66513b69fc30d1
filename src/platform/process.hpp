// What the operating system needs set up once per process.
#pragma once

#include <cstdint>

namespace korvane {

// Tunes the allocator for a process of many threads (Linux). First thing in main, before any
// thread starts.
void process_init();

// Starts the socket library (Windows Sockets 2.2 on Windows; nothing to do on Linux), once,
// before any network use. False when it cannot start: no session is possible.
bool network_init();

// Whether the other end of a connected socket has closed it (its end of the stream, or a reset)
// while what it sent before may still wait to be read. False for anything else, an invalid
// socket included.
bool socket_peer_closed(std::intptr_t socket);

}  // namespace korvane
