// One client connection: TLS, the HTTP requests and their authentication, the
// websocket and chunked framing, and the pairing of the legacy OUT and IN
// connections.

#include "gateway.hpp"

#include <winpr/sspi.h>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <thread>

namespace ktg {

Tls::~Tls() {
  if (ssl) SSL_free(ssl);
  if (fd >= 0) ::close(fd);
}

namespace {

using Clock = std::chrono::steady_clock;

// Waits for the socket; false when `events` did not come within `ms`.
bool wait_fd(int fd, short events, int ms) {
  pollfd p{fd, events, 0};
  return ::poll(&p, 1, ms) > 0;
}

}  // namespace

bool tls_fill(Tls& t, int idle_ms, bool stop_on_signal) {
  const auto start = Clock::now();
  char buf[16384];
  for (;;) {
    if (t.shut || (stop_on_signal && gw.stopping)) return false;
    int n = 0;
    int err = SSL_ERROR_NONE;
    {
      std::scoped_lock lock(t.io);
      ERR_clear_error();
      n = SSL_read(t.ssl, buf, sizeof buf);
      if (n <= 0) err = SSL_get_error(t.ssl, n);
    }
    if (n > 0) {
      t.in.append(buf, static_cast<std::size_t>(n));
      return true;
    }
    if (err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE) return false;
    if (idle_ms >= 0 && Clock::now() - start > std::chrono::milliseconds(idle_ms)) return false;
    wait_fd(t.fd, err == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN, 50);
  }
}

bool tls_write(Tls& t, std::string_view bytes) {
  auto last = Clock::now();
  while (!bytes.empty()) {
    if (t.shut) return false;
    int n = 0;
    int err = SSL_ERROR_NONE;
    {
      std::scoped_lock lock(t.io);
      ERR_clear_error();
      n = SSL_write(t.ssl, bytes.data(),
                    static_cast<int>(std::min<std::size_t>(bytes.size(), 1 << 20)));
      if (n <= 0) err = SSL_get_error(t.ssl, n);
    }
    if (n > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(n));
      last = Clock::now();
      continue;
    }
    if (err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE) return false;
    if (Clock::now() - last > std::chrono::seconds(30)) return false;
    wait_fd(t.fd, err == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, 50);
  }
  return true;
}

void tls_shut(Tls& t) {
  if (t.shut.exchange(true)) return;
  {
    std::scoped_lock lock(t.io);
    SSL_shutdown(t.ssl);
  }
  ::shutdown(t.fd, SHUT_RDWR);
}

bool read_exact(Reader& r, std::size_t n, std::string& out) {
  Tls& t = *r.tls;
  while (r.data.size() < n) {
    bool progress = false;
    switch (r.framing) {
      case Framing::identity:
        r.data += t.in;
        progress = !t.in.empty();
        t.in.clear();
        break;
      case Framing::chunked: {
        if (r.chunk_crlf) {
          if (t.in.size() < 2) break;
          if (t.in.compare(0, 2, "\r\n") != 0) return false;
          t.in.erase(0, 2);
          r.chunk_crlf = false;
          progress = true;
        } else if (r.chunk_left == 0) {
          const auto eol = t.in.find("\r\n");
          if (eol == std::string::npos) {
            if (t.in.size() > 32) return false;
            break;
          }
          char* end = nullptr;
          const unsigned long size = std::strtoul(t.in.c_str(), &end, 16);
          if (end == t.in.c_str() || size == 0) return false;  // 0: the client ended the body
          t.in.erase(0, eol + 2);
          r.chunk_left = size;
          progress = true;
        } else {
          const std::size_t take = std::min(r.chunk_left, t.in.size());
          r.data.append(t.in, 0, take);
          t.in.erase(0, take);
          r.chunk_left -= take;
          if (r.chunk_left == 0) r.chunk_crlf = true;
          progress = take > 0 || r.chunk_crlf;
        }
        break;
      }
      case Framing::websocket: {
        // A whole frame at a time: the client's frames hold one packet each.
        const auto* b = reinterpret_cast<const unsigned char*>(t.in.data());
        if (t.in.size() < 2) break;
        std::size_t pos = 2;
        uint64_t len = b[1] & 0x7F;
        if (len == 126 || len == 127) {
          const std::size_t ext = len == 126 ? 2 : 8;
          if (t.in.size() < 2 + ext) break;
          len = 0;
          for (std::size_t i = 0; i < ext; ++i) len = len << 8 | b[2 + i];
          pos += ext;
        }
        const bool masked = b[1] & 0x80;
        if (len > (1u << 24)) return false;
        if (t.in.size() < pos + (masked ? 4 : 0) + len) break;
        unsigned char mask[4] = {};
        if (masked) std::memcpy(mask, b + pos, 4), pos += 4;
        std::string payload = t.in.substr(pos, static_cast<std::size_t>(len));
        for (std::size_t i = 0; i < payload.size(); ++i)
          payload[i] ^= static_cast<char>(mask[i % 4]);
        const int opcode = b[0] & 0x0F;
        t.in.erase(0, pos + static_cast<std::size_t>(len));
        progress = true;
        if (opcode == 0x8) {  // close: answer it, the stream ends
          std::scoped_lock lock(t.order);
          tls_write(t, std::string("\x88\x00", 2));
          return false;
        }
        if (opcode == 0x9) {  // ping
          std::scoped_lock lock(t.order);
          std::string pong = "\x8A";
          pong += static_cast<char>(payload.size());
          if (payload.size() < 126) tls_write(t, pong + payload);
        } else if (opcode <= 0x2) {
          r.data += payload;
        }
        break;
      }
    }
    if (!progress && !tls_fill(t, -1, false)) return false;
  }
  out.append(r.data, 0, n);
  r.data.erase(0, n);
  return true;
}

bool write_packet(Tls& t, Framing framing, std::string_view packet) {
  std::string head;
  if (framing == Framing::websocket) {
    head += '\x82';  // FIN, binary; a server's frames are not masked
    if (packet.size() < 126) {
      head += static_cast<char>(packet.size());
    } else if (packet.size() < 0x10000) {
      head += '\x7E';
      head += static_cast<char>(packet.size() >> 8);
      head += static_cast<char>(packet.size() & 0xFF);
    } else {
      head += '\x7F';
      for (int i = 7; i >= 0; --i) head += static_cast<char>((packet.size() >> (8 * i)) & 0xFF);
    }
  }
  std::string all = head;
  all += packet;
  std::scoped_lock lock(t.order);
  return tls_write(t, all);
}

std::string utf16_to_utf8(std::string_view le) {
  std::string out;
  for (std::size_t i = 0; i + 1 < le.size(); i += 2) {
    const unsigned c = static_cast<unsigned char>(le[i]) |
                       static_cast<unsigned>(static_cast<unsigned char>(le[i + 1])) << 8;
    if (c == 0) break;
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | c >> 6);
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xE0 | c >> 12);
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::string utf8_to_utf16(std::string_view s) {
  std::string out;
  for (std::size_t i = 0; i < s.size();) {
    const auto b = static_cast<unsigned char>(s[i]);
    unsigned c = b;
    std::size_t n = 1;
    if (b >= 0xE0 && i + 2 < s.size()) {
      c = (b & 0x0Fu) << 12 | (static_cast<unsigned char>(s[i + 1]) & 0x3Fu) << 6 |
          (static_cast<unsigned char>(s[i + 2]) & 0x3Fu);
      n = 3;
    } else if (b >= 0xC0 && i + 1 < s.size()) {
      c = (b & 0x1Fu) << 6 | (static_cast<unsigned char>(s[i + 1]) & 0x3Fu);
      n = 2;
    }
    out += static_cast<char>(c & 0xFF);
    out += static_cast<char>(c >> 8);
    i += n;
  }
  return out;
}

namespace {

struct Request {
  std::string method;
  std::map<std::string, std::string> headers;  // names in lower case
  std::string header(const std::string& name) const {
    const auto it = headers.find(name);
    return it == headers.end() ? std::string() : it->second;
  }
};

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// The next request's head (its Content-Length body skipped); false on end,
// garbage or 30 s without one.
bool read_request(Tls& t, Request& req) {
  std::size_t end;
  while ((end = t.in.find("\r\n\r\n")) == std::string::npos) {
    if (t.in.size() > 65536 || !tls_fill(t, 30000, true)) return false;
  }
  const std::string head = t.in.substr(0, end);
  t.in.erase(0, end + 4);
  req = {};
  std::size_t pos = head.find("\r\n");
  const std::string first = head.substr(0, pos);
  req.method = first.substr(0, first.find(' '));
  while (pos != std::string::npos && pos < head.size()) {
    const std::size_t next = head.find("\r\n", pos + 2);
    const std::string line =
        head.substr(pos + 2, next == std::string::npos ? std::string::npos : next - pos - 2);
    const auto colon = line.find(':');
    if (colon != std::string::npos) {
      std::string value = line.substr(colon + 1);
      value.erase(0, value.find_first_not_of(" \t"));
      req.headers[lower(line.substr(0, colon))] = value;
    }
    pos = next;
  }
  const long body = std::atol(req.header("content-length").c_str());
  while (body > 0 && t.in.size() < static_cast<std::size_t>(body)) {
    if (!tls_fill(t, 30000, true)) return false;
  }
  if (body > 0) t.in.erase(0, static_cast<std::size_t>(body));
  return !req.method.empty();
}

std::string base64(std::string_view bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                reinterpret_cast<const unsigned char*>(bytes.data()),
                                static_cast<int>(bytes.size()));
  out.resize(static_cast<std::size_t>(std::max(n, 0)));
  return out;
}

std::string unbase64(const std::string& text) {
  std::string out(3 * (text.size() / 4) + 3, '\0');
  const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                reinterpret_cast<const unsigned char*>(text.data()),
                                static_cast<int>(text.size()));
  if (n < 0) return {};
  std::size_t size = static_cast<std::size_t>(n);
  if (!text.empty() && text.back() == '=') --size;
  if (text.size() > 1 && text[text.size() - 2] == '=') --size;
  out.resize(size);
  return out;
}

// The server side of the client's Negotiate exchange (NTLM inside SPNEGO)
// against the SAM file.
struct Negotiate {
  SecurityFunctionTableA* table = InitSecurityInterfaceExA(0);
  CredHandle cred{};
  CtxtHandle ctx{};
  bool have_cred = false;
  bool have_ctx = false;
  Negotiate() = default;
  Negotiate(const Negotiate&) = delete;
  Negotiate& operator=(const Negotiate&) = delete;
  ~Negotiate() {
    if (have_ctx) table->DeleteSecurityContext(&ctx);
    if (have_cred) table->FreeCredentialsHandle(&cred);
  }

  // 1 done, 0 another round trip, -1 refused. `out` is the token to send back.
  int step(const std::string& in, std::string& out) {
    if (!table) return -1;
    if (!have_cred) {
      SEC_WINPR_NTLM_SETTINGS ntlm{};
      ntlm.samFile = gw.sam_path.data();
      SEC_WINNT_AUTH_IDENTITY_WINPR data{};
      data.identity.Version = SEC_WINNT_AUTH_IDENTITY_VERSION;
      data.identity.Length = sizeof(SEC_WINNT_AUTH_IDENTITY_EX);
      data.identity.Flags = SEC_WINNT_AUTH_IDENTITY_UNICODE | SEC_WINNT_AUTH_IDENTITY_EXTENDED;
      data.ntlmSettings = &ntlm;
      char package[] = "Negotiate";
      if (table->AcquireCredentialsHandleA(nullptr, package, SECPKG_CRED_INBOUND, nullptr, &data,
                                           nullptr, nullptr, &cred, nullptr) != SEC_E_OK)
        return -1;
      have_cred = true;
    }
    std::string in_copy = in;
    SecBuffer in_buf{static_cast<ULONG>(in_copy.size()), SECBUFFER_TOKEN, in_copy.data()};
    SecBufferDesc in_desc{SECBUFFER_VERSION, 1, &in_buf};
    std::string out_bytes(65536, '\0');
    SecBuffer out_buf{static_cast<ULONG>(out_bytes.size()), SECBUFFER_TOKEN, out_bytes.data()};
    SecBufferDesc out_desc{SECBUFFER_VERSION, 1, &out_buf};
    ULONG attrs = 0;
    const SECURITY_STATUS st = table->AcceptSecurityContext(
        &cred, have_ctx ? &ctx : nullptr, &in_desc, ASC_REQ_CONFIDENTIALITY | ASC_REQ_MUTUAL_AUTH,
        SECURITY_NATIVE_DREP, &ctx, &out_desc, &attrs, nullptr);
    have_ctx = true;
    out.assign(out_bytes.data(), out_buf.cbBuffer);
    if (st == SEC_E_OK) return 1;
    if (st == SEC_I_CONTINUE_NEEDED) return 0;
    return -1;
  }
};

void respond(Tls& t, const std::string& status_line, const std::string& headers) {
  std::scoped_lock lock(t.order);
  tls_write(t, "HTTP/1.1 " + status_line + "\r\n" + headers + "\r\n");
}

std::string websocket_accept(const std::string& key) {
  const std::string text = key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  EVP_Digest(text.data(), text.size(), md, &len, EVP_sha1(), nullptr);
  return base64(std::string_view(reinterpret_cast<const char*>(md), len));
}

// Legacy form: the OUT connection waits here, by RDG-Connection-Id, for its IN.
struct Pairing {
  std::shared_ptr<Tls> out;
  bool taken = false;
};
std::mutex pairing_mutex;  // guards `pairings`; connection threads
std::condition_variable pairing_cv;
std::map<std::string, Pairing> pairings;

}  // namespace

void run_connection(int fd) {
  auto conn = std::make_shared<Tls>();
  Tls& t = *conn;
  t.fd = fd;
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  t.ssl = SSL_new(gw.ctx);
  if (!t.ssl) return;
  SSL_set_fd(t.ssl, fd);
  const auto start = Clock::now();
  for (;;) {
    ERR_clear_error();
    const int rc = SSL_accept(t.ssl);
    if (rc == 1) break;
    const int err = SSL_get_error(t.ssl, rc);
    if ((err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE) || gw.stopping ||
        Clock::now() - start > std::chrono::seconds(10))
      return;  // a port probe or a client that gave up
    wait_fd(fd, err == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, 50);
  }

  const Options& o = gw.opt;
  bool authenticated = o.token.empty() && o.user.empty();
  std::unique_ptr<Negotiate> nego;
  bool in_answered = false;  // legacy IN: the first request got its 200
  Request req;
  while (read_request(t, req)) {
    const std::string authz = req.header("authorization");
    const std::string scheme = lower(authz.substr(0, authz.find(' ')));
    const std::string auth = scheme == "bearer"                              ? "bearer"
                             : scheme == "negotiate" || scheme == "ntlm"     ? "ntlm"
                             : lower(req.header("rdg-auth-scheme")) == "paa" ? "paa"
                                                                             : "none";
    const bool upgrade = lower(req.header("upgrade")) == "websocket";
    auto log_http = [&](const std::string& status) {
      log_line("HTTP method=" + req.method + " websocket=" + (upgrade ? "1" : "0") +
               " auth=" + auth + " status=" + status);
    };
    if (o.fault == "bad-http") {
      std::scoped_lock lock(t.order);
      tls_write(t, std::string("HTTP/1.1 abc\r\n\r\n\x01\x02junk\xff", 22));
      log_http("garbage");
      break;
    }

    // Authentication of the connection, once.
    std::string final_token;
    if (!authenticated && !o.token.empty()) {
      if (authz != "Bearer " + o.token) {
        log_line("AUTH refused kind=bearer");
        respond(t, "401 Unauthorized",
                "WWW-Authenticate: Bearer\r\nContent-Length: 0\r\nConnection: close\r\n");
        log_http("401");
        break;
      }
      authenticated = true;
    } else if (!authenticated) {
      std::string in_token;
      if (auth == "ntlm") in_token = unbase64(authz.substr(authz.find(' ') + 1));
      if (!nego) nego = std::make_unique<Negotiate>();
      std::string out_token;
      const int rc = in_token.empty() ? -1 : nego->step(in_token, out_token);
      if (rc < 0) {
        log_line("AUTH refused kind=ntlm");
        respond(t, "401 Unauthorized",
                "WWW-Authenticate: Negotiate\r\nContent-Length: 0\r\nConnection: close\r\n");
        log_http("401");
        break;
      }
      if (rc == 0) {
        respond(t, "401 Unauthorized",
                "WWW-Authenticate: Negotiate " + base64(out_token) + "\r\nContent-Length: 0\r\n");
        log_http("401");
        continue;
      }
      authenticated = true;
      nego.reset();
      if (!out_token.empty())
        final_token = "WWW-Authenticate: Negotiate " + base64(out_token) + "\r\n";
    }

    if (req.method == "RDG_OUT_DATA" && upgrade && !o.no_websocket) {
      respond(t, "101 Switching Protocols",
              "Connection: Upgrade\r\nUpgrade: websocket\r\nSec-WebSocket-Accept: " +
                  websocket_accept(req.header("sec-websocket-key")) + "\r\n" + final_token);
      log_http("101");
      Reader r;
      r.tls = conn;
      r.framing = Framing::websocket;
      run_tunnel(r, conn, Framing::websocket, nullptr);
      return;
    }
    if (req.method == "RDG_OUT_DATA") {
      // An old gateway's answer: the body is the packet stream, after a seed of
      // 10 random bytes. Not chunked: FreeRDP 3.10.3's chunked reader waits for
      // the next chunk's length on the client's only thread, so the client
      // never sends what the server waits for and the session stalls.
      const std::string id = req.header("rdg-connection-id");
      {
        std::scoped_lock lock(pairing_mutex);
        pairings[id] = Pairing{conn, false};
      }
      respond(t, "200 OK", final_token);
      log_http("200");
      std::string seed(10, '\0');
      RAND_bytes(reinterpret_cast<unsigned char*>(seed.data()), 10);
      write_packet(t, Framing::identity, seed);
      // The IN connection runs the tunnel; this thread only hands the connection over.
      std::unique_lock lock(pairing_mutex);
      for (int i = 0; i < 300 && !pairings[id].taken && !gw.stopping; ++i)
        pairing_cv.wait_for(lock, std::chrono::milliseconds(100));
      if (!pairings[id].taken) log_line("ERROR no RDG_IN_DATA for " + id);
      pairings.erase(id);
      return;
    }
    if (req.method == "RDG_IN_DATA" && !in_answered) {
      respond(t, "200 OK", "Content-Length: 0\r\n" + final_token);
      log_http("200");
      in_answered = true;
      continue;
    }
    if (req.method == "RDG_IN_DATA") {
      // The second request's chunked body is the client's packet stream; no answer.
      log_http("0");
      std::shared_ptr<Tls> out;
      {
        std::scoped_lock lock(pairing_mutex);
        const auto it = pairings.find(req.header("rdg-connection-id"));
        if (it != pairings.end() && !it->second.taken) {
          it->second.taken = true;
          out = it->second.out;
        }
      }
      pairing_cv.notify_all();
      if (!out) {
        log_line("ERROR RDG_IN_DATA without its RDG_OUT_DATA");
        break;
      }
      Reader r;
      r.tls = conn;
      r.framing = Framing::chunked;
      run_tunnel(r, out, Framing::identity, conn);
      return;
    }
    respond(t, "404 Not Found", "Content-Length: 0\r\nConnection: close\r\n");
    log_http("404");
    break;
  }
  tls_shut(t);
}

}  // namespace ktg
