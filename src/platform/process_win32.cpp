#include "platform/memory.hpp"

#include <malloc.h>
#include <winsock2.h>
#include <windows.h>

#include "platform/process.hpp"

namespace korvane {

// The Windows heap needs no tuning for many threads.
void process_init() {}

bool network_init() {
  // The library's sockets are Winsock's, which the process must start itself: without it every
  // connection fails before a packet leaves. Never shut down: the process ends.
  WSADATA data;
  return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

bool socket_peer_closed(std::intptr_t socket) {
  WSAPOLLFD p{static_cast<SOCKET>(socket), POLLRDNORM, 0};
  return WSAPoll(&p, 1, 0) == 1 && (p.revents & (POLLHUP | POLLERR));
}

// The Windows heap is shared by every thread and decommits large free blocks on its own; this
// hands back what the runtime's heap still holds.
void return_free_memory() { _heapmin(); }

}  // namespace korvane
