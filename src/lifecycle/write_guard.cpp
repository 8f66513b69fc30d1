#include "lifecycle/write_guard.hpp"

#include <atomic>
#include <climits>
#include <cstdint>

#include <freerdp/transport_io.h>

#include "platform/process.hpp"

namespace korvane {

namespace {

// The library's own callbacks, written once by write_guard_install on the main thread before
// the connection starts; read-only afterwards, on every thread that writes to the server.
rdpTransportIo library_io{};
// The server's socket, -1 when none. Written by the main thread at each connection (the first,
// a reconnection) and after the disconnection; read by every thread that writes to the server.
std::atomic<std::intptr_t> server_socket{-1};

int connect_and_record(rdpContext* context, rdpSettings* settings, const char* host, int port,
                       DWORD timeout) {
  const int socket = library_io.TCPConnect(context, settings, host, port, timeout);
  server_socket.store(socket);
  return socket;
}

int write_unless_closed(rdpTransport* transport, wStream* s) {
  const std::intptr_t socket = server_socket.load();
  if (socket >= 0 && socket_peer_closed(socket)) {
    // As written: the caller keeps the stream, and the server would have read none of it.
    const size_t length = Stream_GetPosition(s);
    return length > INT_MAX ? INT_MAX : static_cast<int>(length);
  }
  return library_io.WritePdu(transport, s);
}

}  // namespace

bool write_guard_install(rdpContext* context) {
  const rdpTransportIo* io = freerdp_get_io_callbacks(context);
  if (!io || !io->TCPConnect || !io->WritePdu) return false;
  library_io = *io;
  rdpTransportIo guarded = *io;
  guarded.TCPConnect = connect_and_record;
  guarded.WritePdu = write_unless_closed;
  return freerdp_set_io_callbacks(context, &guarded);
}

void write_guard_reset() { server_socket.store(-1); }

}  // namespace korvane
