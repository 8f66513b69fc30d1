// The gateway packets of one tunnel, from the client's handshake to the end,
// and the relay between its channel and a fresh TCP connection to --target.
// The connection's thread reads the client's packets; a pump thread reads the
// target, sends what it reads, and runs the timed events (service message,
// --close-after-ms, SIGUSR1, SIGTERM).

#include "gateway.hpp"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

namespace ktg {
namespace {

using Clock = std::chrono::steady_clock;

enum : uint16_t {
  kHandshakeRequest = 0x1,
  kHandshakeResponse = 0x2,
  kExtendedAuth = 0x3,
  kTunnelCreate = 0x4,
  kTunnelResponse = 0x5,
  kTunnelAuth = 0x6,
  kTunnelAuthResponse = 0x7,
  kChannelCreate = 0x8,
  kChannelResponse = 0x9,
  kData = 0xA,
  kServiceMessage = 0xB,
  kKeepAlive = 0xD,
  kCloseChannel = 0x10,
  kCloseChannelResponse = 0x11,
};

// The HRESULTs FreeRDP turns into its gateway errors.
constexpr uint32_t kRapAccessDenied = 0x800759DA;
constexpr uint32_t kTsConnectFailed = 0x800759DD;
constexpr uint32_t kCookieAccessDenied = 0x800759F8;
constexpr uint32_t kUnsupportedAuthentication = 0x800759F9;

constexpr uint32_t kCapIdleTimeout = 0x2;
constexpr uint32_t kCapConsentSign = 0x4;
constexpr uint32_t kCapServiceMessage = 0x8;
constexpr uint32_t kRedirEnableAll = 0x80000000;

// A packet under construction; done() writes its length.
struct Packet {
  std::string b;
  explicit Packet(uint16_t type) {
    u16(type);
    u16(0);
    u32(0);
  }
  Packet& u8(unsigned v) {
    b += static_cast<char>(v & 0xFF);
    return *this;
  }
  Packet& u16(unsigned v) { return u8(v).u8(v >> 8); }
  Packet& u32(uint32_t v) { return u16(v & 0xFFFF).u16(v >> 16); }
  Packet& text(const std::string& utf8) {  // byte length, then UTF-16LE
    const std::string w = utf8_to_utf16(utf8);
    u16(static_cast<unsigned>(w.size()));
    b += w;
    return *this;
  }
  std::string done(uint32_t extra_length = 0) {
    const auto len = static_cast<uint32_t>(b.size()) + extra_length;
    for (int i = 0; i < 4; ++i)
      b[4 + static_cast<std::size_t>(i)] = static_cast<char>(len >> (8 * i));
    return b;
  }
};

unsigned le16(std::string_view s, std::size_t at) {
  if (at + 2 > s.size()) return 0;
  return static_cast<unsigned char>(s[at]) |
         static_cast<unsigned>(static_cast<unsigned char>(s[at + 1])) << 8;
}
uint32_t le32(std::string_view s, std::size_t at) {
  return le16(s, at) | static_cast<uint32_t>(le16(s, at + 2)) << 16;
}
// A length-prefixed UTF-16 string at `at`, as UTF-8.
std::string text_at(std::string_view s, std::size_t at) {
  const unsigned len = le16(s, at);
  if (at + 2 >= s.size()) return {};
  return utf16_to_utf8(s.substr(at + 2, len));
}

struct Tunnel {
  std::shared_ptr<Tls> out;    // the gateway's packets go here
  std::shared_ptr<Tls> extra;  // legacy: the IN connection, shut with `out`
  Framing framing = Framing::websocket;
  unsigned generation = 0;   // gw.close_generation at the start
  std::mutex m;              // guards `by`
  const char* by = nullptr;  // who ended it; set once
  std::atomic<bool> closed{false};
  std::atomic<int> target{-1};
  std::atomic<bool> open{false};
  Clock::time_point opened;  // written before `open` is set, read after
  std::atomic<uint64_t> to_client{0};
  std::atomic<uint64_t> to_target{0};
};

bool send(Tunnel& tn, const std::string& packet) {
  return write_packet(*tn.out, tn.framing, packet);
}

// Ends the tunnel once: the gateway's CLOSE_CHANNEL first when asked, then
// both connections and the target are shut, which ends every wait on them.
void finish(Tunnel& tn, const char* by, bool send_close) {
  {
    std::scoped_lock lock(tn.m);
    if (tn.by) return;
    tn.by = by;
  }
  if (send_close) send(tn, Packet(kCloseChannel).u32(0).done());
  tn.closed = true;
  tls_shut(*tn.out);
  if (tn.extra) tls_shut(*tn.extra);
  if (const int fd = tn.target; fd >= 0) ::shutdown(fd, SHUT_RDWR);
}

int connect_target() {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  const std::string port = std::to_string(gw.opt.target_port);
  if (getaddrinfo(gw.opt.target_host.c_str(), port.c_str(), &hints, &res) != 0) return -1;
  int fd = -1;
  for (addrinfo* a = res; a && fd < 0; a = a->ai_next) {
    fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
    if (fd >= 0 && ::connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
      ::close(fd);
      fd = -1;
    }
  }
  freeaddrinfo(res);
  const int one = 1;
  if (fd >= 0) ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

void pump(Tunnel& tn) {
  const Options& o = gw.opt;
  bool service_sent = false;
  char buf[16384];
  while (!tn.closed) {
    if (gw.stopping || gw.close_generation != tn.generation) {
      finish(tn, "gateway", true);
      break;
    }
    if (tn.open) {
      const auto since = Clock::now() - tn.opened;
      if (!service_sent && !o.service_message.empty() &&
          since >= std::chrono::milliseconds(o.service_after_ms)) {
        service_sent = true;
        if (send(tn, Packet(kServiceMessage).text(o.service_message).done()))
          log_line("SERVICE sent");
      }
      if (o.close_after_ms >= 0 && since >= std::chrono::milliseconds(o.close_after_ms)) {
        finish(tn, "gateway", true);
        break;
      }
    }
    const int fd = tn.target;
    if (fd < 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      continue;
    }
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 20) <= 0) continue;
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) {
      finish(tn, "target", true);
      break;
    }
    const auto size = static_cast<unsigned>(n);
    Packet data(kData);
    data.u16(size).b.append(buf, size);
    if (!send(tn, data.done())) {
      finish(tn, "client", false);
      break;
    }
    tn.to_client += size;
  }
}

// The client's packets until the tunnel ends.
void read_packets(Tunnel& tn, Reader& r) {
  const Options& o = gw.opt;
  for (;;) {
    std::string p;
    if (!read_exact(r, 8, p)) return;
    const unsigned type = le16(p, 0);
    const uint32_t length = le32(p, 4);
    if (length < 8 || length > (1u << 20) || !read_exact(r, length - 8, p)) return;
    const std::string_view body = std::string_view(p).substr(8);

    switch (type) {
      case kHandshakeRequest: {
        const unsigned ext_auth = le16(body, 4);
        if (o.fault == "cut-packet") {
          // The length promises 100 bytes more than ever come.
          send(tn, Packet(kHandshakeResponse).u32(0).u8(1).u8(0).u16(0).u16(ext_auth).done(100));
          finish(tn, "gateway", false);
          return;
        }
        // Bearer (8) and PAA (2) are understood; SSPI_NTLM (4) packets are not.
        const uint32_t error = (ext_auth & 0x4) ? kUnsupportedAuthentication : 0;
        send(tn, Packet(kHandshakeResponse).u32(error).u8(1).u8(0).u16(0).u16(ext_auth).done());
        if (error) {
          char text[64];
          std::snprintf(text, sizeof text, "ERROR extended authentication 0x%04X not supported",
                        ext_auth);
          log_line(text);
          finish(tn, "gateway", false);
          return;
        }
        break;
      }
      case kTunnelCreate: {
        const bool has_cookie = le16(body, 4) & 0x1;
        log_line(std::string("TUNNEL create paa=") + (has_cookie ? "1" : "0"));
        if (!o.paa.empty() && (!has_cookie || text_at(body, 8) != o.paa)) {
          log_line("AUTH refused kind=paa");
          send(tn, Packet(kTunnelResponse).u16(1).u32(kCookieAccessDenied).u16(0).u16(0).done());
          finish(tn, "gateway", false);
          return;
        }
        uint32_t caps = kCapIdleTimeout;
        if (!o.consent.empty()) caps |= kCapConsentSign | kCapServiceMessage;
        if (!o.service_message.empty()) caps |= kCapServiceMessage;
        Packet resp(kTunnelResponse);
        resp.u16(1).u32(0).u16(0x1 | 0x2 | (o.consent.empty() ? 0 : 0x10)).u16(0);
        resp.u32(1).u32(caps);  // tunnel id, capabilities
        if (!o.consent.empty()) resp.text(o.consent);
        send(tn, resp.done());
        break;
      }
      case kTunnelAuth:
        // Redirection flags "enable all", idle timeout 0 (none).
        send(tn, Packet(kTunnelAuthResponse)
                     .u32(0)
                     .u16(0x1 | 0x2)
                     .u16(0)
                     .u32(kRedirEnableAll)
                     .u32(0)
                     .done());
        break;
      case kChannelCreate: {
        const unsigned port = le16(body, 2);
        const std::string name = text_at(body, 6);
        log_line("CHANNEL resource=" + name + " port=" + std::to_string(port));
        if (!o.allow_resource.empty() && name != o.allow_resource) {
          log_line("CHANNEL refused resource=" + name);
          send(tn, Packet(kChannelResponse).u32(kRapAccessDenied).u16(0).u16(0).done());
          finish(tn, "gateway", false);
          return;
        }
        const int fd = connect_target();
        if (fd < 0) {
          log_line("ERROR cannot connect to " + o.target_host + ":" +
                   std::to_string(o.target_port));
          send(tn, Packet(kChannelResponse).u32(kTsConnectFailed).u16(0).u16(0).done());
          finish(tn, "gateway", false);
          return;
        }
        send(tn, Packet(kChannelResponse).u32(0).u16(0x1).u16(0).u32(1).done());
        log_line("CHANNEL open resource=" + name + " port=" + std::to_string(port));
        tn.opened = Clock::now();
        tn.target = fd;
        tn.open = true;
        if (tn.closed) ::shutdown(fd, SHUT_RDWR);
        break;
      }
      case kData: {
        const int fd = tn.target;
        const std::size_t size = le16(body, 0);
        if (fd < 0 || body.size() < 2 + size) {
          log_line("ERROR data packet outside an open channel");
          finish(tn, "gateway", true);
          return;
        }
        for (std::size_t off = 0; off < size;) {
          const ssize_t n = ::send(fd, body.data() + 2 + off, size - off, MSG_NOSIGNAL);
          if (n <= 0) {
            finish(tn, "target", true);
            return;
          }
          off += static_cast<std::size_t>(n);
        }
        tn.to_target += size;
        break;
      }
      case kKeepAlive: send(tn, Packet(kKeepAlive).done()); break;
      case kCloseChannel:
        send(tn, Packet(kCloseChannelResponse).u32(0).done());
        finish(tn, "client", false);
        return;
      case kCloseChannelResponse: return;
      default:
        log_line("ERROR unexpected packet type " + std::to_string(type));
        finish(tn, "gateway", false);
        return;
    }
  }
}

}  // namespace

void run_tunnel(Reader& reader, const std::shared_ptr<Tls>& out, Framing out_framing,
                const std::shared_ptr<Tls>& extra) {
  Tunnel tn;
  tn.out = out;
  tn.extra = extra;
  tn.framing = out_framing;
  tn.generation = gw.close_generation;
  std::thread pump_thread([&tn] { pump(tn); });
  read_packets(tn, reader);
  finish(tn, "client", false);
  pump_thread.join();
  if (const int fd = tn.target; fd >= 0) ::close(fd);
  log_line(std::string("CLOSED by=") + tn.by + " bytes_to_client=" + std::to_string(tn.to_client) +
           " bytes_to_target=" + std::to_string(tn.to_target));
}

}  // namespace ktg
