#include "tcp_proxy.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace korvane::test {

namespace {

// Closing with a zero linger sends a reset, as a dropped network or a crashed peer does.
void reset_close(int fd) {
  if (fd < 0) return;
  linger l{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  ::close(fd);
}

// Copies until either side ends; the other direction is then ended as well. Keeps the first
// bytes in *record, and adds what it relays to *relayed, when given.
void pump(int from, int to, ProxyState* record, std::atomic<uint64_t>* relayed) {
  char buf[64 * 1024];
  for (;;) {
    const ssize_t n = ::recv(from, buf, sizeof buf, 0);
    if (n <= 0) break;
    if (record) {
      std::lock_guard<std::mutex> guard(record->record_lock);
      auto& kept = record->from_clients;
      kept.insert(kept.end(), buf,
                  buf + std::min(static_cast<size_t>(n), kProxyRecordBytes - kept.size()));
      record->recorded.notify_all();
    }
    if (relayed) relayed->fetch_add(static_cast<uint64_t>(n));
    ssize_t done = 0;
    while (done < n) {
      const ssize_t w = ::send(to, buf + done, static_cast<size_t>(n - done), MSG_NOSIGNAL);
      if (w <= 0) {
        ::shutdown(from, SHUT_RDWR);
        ::shutdown(to, SHUT_RDWR);
        return;
      }
      done += w;
    }
  }
  ::shutdown(from, SHUT_RDWR);
  ::shutdown(to, SHUT_RDWR);
}

int connect_loopback(uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

void end_link(ProxyLink& link) {
  ::shutdown(link.client, SHUT_RDWR);
  ::shutdown(link.server, SHUT_RDWR);
  if (link.up.joinable()) link.up.join();
  if (link.down.joinable()) link.down.join();
  reset_close(link.client);
  reset_close(link.server);
  link.client = link.server = -1;
}

// Relays that ended by themselves (a peer closed) are released, keeping the list bounded.
void reap_ended(ProxyState& s) {
  std::lock_guard<std::mutex> guard(s.lock);
  for (auto it = s.links.begin(); it != s.links.end();) {
    ProxyLink& l = **it;
    pollfd p[2] = {{l.client, 0, 0}, {l.server, 0, 0}};
    ::poll(p, 2, 0);
    if ((p[0].revents & (POLLHUP | POLLERR)) && (p[1].revents & (POLLHUP | POLLERR))) {
      end_link(l);
      it = s.links.erase(it);
    } else {
      ++it;
    }
  }
}

void accept_loop(ProxyState& s) {
  while (!s.stop.load()) {
    pollfd p{s.listener, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    const int client = ::accept4(s.listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    reap_ended(s);
    if (s.refusing.load()) {
      reset_close(client);
      s.refused.fetch_add(1);
      continue;
    }
    const int server = connect_loopback(s.target_port);
    std::lock_guard<std::mutex> guard(s.lock);
    if (server < 0 || s.links.size() >= kMaxProxyLinks) {
      reset_close(client);
      reset_close(server);
      continue;
    }
    auto link = std::make_unique<ProxyLink>();
    link->client = client;
    link->server = server;
    try {
      link->up = std::thread(pump, client, server, &s, nullptr);
      link->down = std::thread(pump, server, client, nullptr, &s.from_server);
    } catch (const std::system_error&) {
      end_link(*link);
      continue;
    }
    s.links.push_back(std::move(link));
    s.relayed.fetch_add(1);
  }
}

}  // namespace

std::optional<TcpProxy> start_tcp_proxy(uint16_t target_port, std::string* error,
                                        const std::string& listen_ip, uint16_t listen_port) {
  auto state = std::make_unique<ProxyState>();
  state->target_port = target_port;
  state->listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  // A fixed port may still hold connections of an earlier relay, waiting out their close.
  const int reuse = 1;
  ::setsockopt(state->listener, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(listen_port);
  socklen_t len = sizeof addr;
  if (state->listener < 0 || ::inet_pton(AF_INET, listen_ip.c_str(), &addr.sin_addr) != 1 ||
      ::bind(state->listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(state->listener, 8) != 0 ||
      ::getsockname(state->listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    if (error) *error = "proxy listener on " + listen_ip + ": " + std::strerror(errno);
    if (state->listener >= 0) ::close(state->listener);
    return std::nullopt;
  }
  TcpProxy proxy;
  proxy.port = ntohs(addr.sin_port);
  ProxyState* raw = state.get();
  state->acceptor = std::thread([raw] { accept_loop(*raw); });
  proxy.state = std::move(state);
  return proxy;
}

size_t proxy_cut(TcpProxy& proxy) {
  if (!proxy.state) return 0;
  std::lock_guard<std::mutex> guard(proxy.state->lock);
  const size_t n = proxy.state->links.size();
  for (auto& link : proxy.state->links) end_link(*link);
  proxy.state->links.clear();
  return n;
}

void proxy_refuse(TcpProxy& proxy, bool refuse) {
  if (proxy.state) proxy.state->refusing.store(refuse);
}

std::vector<uint8_t> proxy_client_bytes(TcpProxy& proxy, size_t count, int timeout_ms) {
  if (!proxy.state) return {};
  ProxyState& s = *proxy.state;
  std::unique_lock<std::mutex> guard(s.record_lock);
  s.recorded.wait_for(guard, std::chrono::milliseconds(timeout_ms),
                      [&] { return s.from_clients.size() >= count; });
  return s.from_clients;
}

TcpProxy::~TcpProxy() {
  if (!state) return;
  state->stop.store(true);
  if (state->acceptor.joinable()) state->acceptor.join();
  proxy_cut(*this);
  ::close(state->listener);
}

}  // namespace korvane::test
