// A TCP relay on 127.0.0.1 between a client and a server, which a test can cut (every live
// connection reset at once) or set to refuse (each new connection reset as soon as it comes):
// a network that drops, and a server that is not there for a while. It keeps the first bytes
// clients sent, for a test that checks what a client puts on the wire first.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace korvane::test {

struct ProxyLink {
  int client = -1;
  int server = -1;
  std::thread up;    // client to server
  std::thread down;  // server to client
};

struct ProxyState {
  int listener = -1;
  uint16_t target_port = 0;
  std::atomic<bool> stop{false};
  std::atomic<bool> refusing{false};
  // Connections accepted and relayed, and connections reset because the proxy was refusing.
  // Written by the accept thread, read by the test thread.
  std::atomic<unsigned> relayed{0};
  std::atomic<unsigned> refused{0};
  // Bytes relayed from the server to the client, all connections together (a benchmark's bytes
  // on the wire). Written by the relays, read by the test thread.
  std::atomic<uint64_t> from_server{0};
  // Guarded by lock: the accept thread adds links, the test thread cuts them.
  std::mutex lock;
  std::vector<std::unique_ptr<ProxyLink>> links;
  // Guarded by record_lock (not lock, under which relays are joined), signalled by `recorded`
  // on every append: the relays towards the server append what clients sent
  // (kProxyRecordBytes at most), the test thread reads it.
  std::mutex record_lock;
  std::vector<uint8_t> from_clients;
  std::condition_variable recorded;
  std::thread acceptor;
};

// Stops and resets everything when it goes.
struct TcpProxy {
  uint16_t port = 0;
  std::unique_ptr<ProxyState> state;

  TcpProxy() = default;
  TcpProxy(TcpProxy&&) noexcept = default;
  TcpProxy& operator=(TcpProxy&&) noexcept = default;
  ~TcpProxy();
};

// At most this many connections are relayed at once; more are reset on arrival.
inline constexpr size_t kMaxProxyLinks = 16;
inline constexpr size_t kProxyRecordBytes = 4096;

// Listens on listen_ip (a loopback address) and listen_port (0: any free one).
std::optional<TcpProxy> start_tcp_proxy(uint16_t target_port, std::string* error = nullptr,
                                        const std::string& listen_ip = "127.0.0.1",
                                        uint16_t listen_port = 0);
// Resets every live connection on both sides and waits until their relays have ended. Returns
// how many there were.
size_t proxy_cut(TcpProxy& proxy);
void proxy_refuse(TcpProxy& proxy, bool refuse);
// The first bytes clients sent through the proxy, once there are `count` of them or timeout_ms
// has passed (then fewer).
std::vector<uint8_t> proxy_client_bytes(TcpProxy& proxy, size_t count, int timeout_ms);

}  // namespace korvane::test
