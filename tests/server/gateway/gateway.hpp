#pragma once

// korvane-test-gateway: a small RD Gateway (HTTP transport) for the end-to-end
// tests. main.cpp owns the process (options, certificate, listening, signals),
// http.cpp one client connection up to its tunnel (TLS, HTTP, authentication,
// websocket and chunked framing), tunnel.cpp the gateway packets and the relay.

#include <openssl/ssl.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace ktg {

struct Options {
  int port = 0;
  std::string target_host;
  int target_port = 0;
  std::string token;
  std::string user;
  std::string password;
  std::string paa;
  std::string allow_resource;
  std::string consent;
  std::string service_message;
  long service_after_ms = 0;
  long close_after_ms = -1;  // -1: never
  bool no_websocket = false;
  std::string fault;  // "", "bad-http" or "cut-packet"
};

// Process-wide state. main fills the plain members before the first
// connection thread starts; afterwards they are read-only. The atomics are
// written by the signal handlers and read by every thread.
struct Gateway {
  Options opt;
  SSL_CTX* ctx = nullptr;
  std::string sam_path;  // NTLM accounts, when --user is given
  std::atomic<bool> stopping{false};
  std::atomic<unsigned> close_generation{0};  // bumped by SIGUSR1
};
extern Gateway gw;

// One line on stdout or --log, flushed at once; any thread.
void log_line(const std::string& line);

// One accepted TLS connection. Its socket is non-blocking so that a reader
// thread and a writer thread can share the SSL object: each SSL call holds
// `io`, and waiting for the socket happens outside it.
struct Tls {
  int fd = -1;
  SSL* ssl = nullptr;
  std::mutex io;     // the SSL object; any thread, for one SSL call at a time
  std::mutex order;  // held by a writer for a whole packet so packets never interleave
  std::string in;    // read but not consumed; only the one thread that reads
  std::atomic<bool> shut{false};
  Tls() = default;
  Tls(const Tls&) = delete;
  Tls& operator=(const Tls&) = delete;
  ~Tls();
};

// Reads more bytes into t.in. False on end of stream, error, `idle_ms`
// without a byte (-1: no limit) or gw.stopping when `stop_on_signal`.
bool tls_fill(Tls& t, int idle_ms, bool stop_on_signal);
// Writes all of `bytes`; false on error or 30 s without progress.
bool tls_write(Tls& t, std::string_view bytes);
// Ends the connection: close_notify, then the socket is shut both ways.
void tls_shut(Tls& t);

// How the client's bytes reach the gateway, and the gateway's the client.
enum class Framing { identity, chunked, websocket };

// The client's decoded byte stream on one connection.
struct Reader {
  std::shared_ptr<Tls> tls;
  Framing framing = Framing::identity;
  std::string data;            // decoded, not yet consumed
  std::size_t chunk_left = 0;  // chunked: data bytes left in the current chunk
  bool chunk_crlf = false;     // chunked: the CRLF after a chunk is due
};
// Exactly n decoded bytes, appended to `out`. False when the stream ends first.
bool read_exact(Reader& r, std::size_t n, std::string& out);

// One gateway packet to the client in the connection's framing (a websocket
// binary frame, or as it is), whole. Only the client's side is ever chunked.
bool write_packet(Tls& t, Framing framing, std::string_view packet);

// A connection from accept to close (http.cpp).
void run_connection(int fd);

// The gateway packets from the handshake on (tunnel.cpp): `reader` carries the
// client's packets, `out` takes the gateway's; for the legacy form `extra` is
// the other connection, shut with it at the end.
void run_tunnel(Reader& reader, const std::shared_ptr<Tls>& out, Framing out_framing,
                const std::shared_ptr<Tls>& extra);

// UTF-16LE <-> UTF-8 for the packets' strings.
std::string utf16_to_utf8(std::string_view le);
std::string utf8_to_utf16(std::string_view s);

}  // namespace ktg
