// A TCP relay on 127.0.0.1 between a client and a server, which a test can cut (every live
// connection reset at once) or set to refuse (each new connection reset as soon as it comes):
// a network that drops, and a server that is not there for a while.
#pragma once

#include <atomic>
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

std::optional<TcpProxy> start_tcp_proxy(uint16_t target_port, std::string* error = nullptr);
// Resets every live connection on both sides and waits until their relays have ended. Returns
// how many there were.
size_t proxy_cut(TcpProxy& proxy);
void proxy_refuse(TcpProxy& proxy, bool refuse);

}  // namespace korvane::test
