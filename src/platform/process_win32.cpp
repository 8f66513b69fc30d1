#include "platform/memory.hpp"

#include <malloc.h>
#include <winsock2.h>
#include <windows.h>

#include "platform/process.hpp"

namespace korvane {

bool process_init() {
  // The library's sockets are Winsock's, which must be started by the process itself: without
  // it every connection fails before a packet leaves. Never cleaned up: the process ends.
  WSADATA data;
  return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

// The Windows heap is shared by every thread and decommits large free blocks on its own; this
// hands back what the runtime's heap still holds.
void return_free_memory() { _heapmin(); }

}  // namespace korvane
