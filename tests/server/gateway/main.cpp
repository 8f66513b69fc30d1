// korvane-test-gateway: see gateway.hpp and tests/server/README.md.

#include "gateway.hpp"

#include <winpr/ntlm.h>

#include <openssl/evp.h>
#include <openssl/provider.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <thread>
#include <vector>

namespace ktg {

Gateway gw;

namespace {

std::mutex log_mutex;
FILE* log_file = stdout;  // set once in main before any thread; written under log_mutex

extern "C" void on_stop(int) { gw.stopping = true; }
extern "C" void on_close_all(int) { gw.close_generation.fetch_add(1); }

bool to_long(const char* s, long lo, long hi, long& out) {
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(s, &end, 10);
  if (errno != 0 || end == s || *end != '\0' || v < lo || v > hi) return false;
  out = v;
  return true;
}

// Returns an error text, empty when the command line is good.
std::string parse(int argc, char** argv, std::string& log_path) {
  Options& o = gw.opt;
  bool have_port = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--no-websocket") {
      o.no_websocket = true;
      continue;
    }
    if (i + 1 >= argc) return a + " needs a value";
    const char* v = argv[++i];
    long n = 0;
    if (a == "--port") {
      if (!to_long(v, 0, 65535, n)) return "bad --port";
      o.port = static_cast<int>(n);
      have_port = true;
    } else if (a == "--target") {
      const std::string t = v;
      const auto colon = t.rfind(':');
      if (colon == std::string::npos || colon == 0 ||
          !to_long(t.substr(colon + 1).c_str(), 1, 65535, n))
        return "bad --target (HOST:PORT)";
      o.target_host = t.substr(0, colon);
      o.target_port = static_cast<int>(n);
    } else if (a == "--token") {
      o.token = v;
    } else if (a == "--user") {
      o.user = v;
    } else if (a == "--password") {
      o.password = v;
    } else if (a == "--paa") {
      o.paa = v;
    } else if (a == "--allow-resource") {
      o.allow_resource = v;
    } else if (a == "--consent") {
      o.consent = v;
    } else if (a == "--service-message") {
      o.service_message = v;
    } else if (a == "--service-after-ms") {
      if (!to_long(v, 0, 3600000, n)) return "bad --service-after-ms";
      o.service_after_ms = n;
    } else if (a == "--close-after-ms") {
      if (!to_long(v, 0, 3600000, n)) return "bad --close-after-ms";
      o.close_after_ms = n;
    } else if (a == "--fault") {
      o.fault = v;
      if (o.fault != "bad-http" && o.fault != "cut-packet") return "bad --fault";
    } else if (a == "--log") {
      log_path = v;
    } else {
      return "unknown option " + a;
    }
  }
  if (!have_port) return "--port is required";
  if (o.target_host.empty()) return "--target is required";
  if (o.user.empty() != o.password.empty()) return "--user and --password go together";
  if (!o.token.empty() && !o.user.empty()) return "--token and --user exclude each other";
  return {};
}

struct PkeyFree {
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct X509Free {
  void operator()(X509* p) const { X509_free(p); }
};

// A fresh self-signed certificate in the TLS context; its DER's SHA-256 in `fingerprint`.
std::string make_tls_context(std::string& fingerprint) {
  std::unique_ptr<EVP_PKEY, PkeyFree> key(EVP_RSA_gen(2048));
  std::unique_ptr<X509, X509Free> cert(X509_new());
  if (!key || !cert) return "key or certificate allocation failed";
  X509_set_version(cert.get(), 2);
  unsigned char serial[8] = {};
  if (RAND_bytes(serial, sizeof serial) != 1) return "RAND_bytes failed";
  serial[0] &= 0x7F;
  BIGNUM* bn = BN_bin2bn(serial, sizeof serial, nullptr);
  if (!bn || !BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert.get()))) {
    BN_free(bn);
    return "serial number failed";
  }
  BN_free(bn);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600L);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3600L * 24 * 365);
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("korvane-test-gateway"), -1, -1,
                             0);
  X509_set_issuer_name(cert.get(), name);
  X509_set_pubkey(cert.get(), key.get());
  X509V3_CTX v3;
  X509V3_set_ctx_nodb(&v3);
  X509V3_set_ctx(&v3, cert.get(), cert.get(), nullptr, nullptr, 0);
  X509_EXTENSION* san =
      X509V3_EXT_conf_nid(nullptr, &v3, NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1");
  if (!san || X509_add_ext(cert.get(), san, -1) != 1) {
    X509_EXTENSION_free(san);
    return "subjectAltName failed";
  }
  X509_EXTENSION_free(san);
  if (X509_sign(cert.get(), key.get(), EVP_sha256()) == 0) return "certificate signing failed";

  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int md_len = 0;
  if (X509_digest(cert.get(), EVP_sha256(), md, &md_len) != 1) return "digest failed";
  for (unsigned int i = 0; i < md_len; ++i) {
    char hex[4];
    std::snprintf(hex, sizeof hex, i ? ":%02x" : "%02x", md[i]);
    fingerprint += hex;
  }

  gw.ctx = SSL_CTX_new(TLS_server_method());
  if (!gw.ctx) return "SSL_CTX_new failed";
  SSL_CTX_set_mode(gw.ctx, SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER | SSL_MODE_ENABLE_PARTIAL_WRITE);
  if (SSL_CTX_use_certificate(gw.ctx, cert.get()) != 1 ||
      SSL_CTX_use_PrivateKey(gw.ctx, key.get()) != 1)
    return "loading the certificate failed";
  return {};
}

// The account for the server side of NTLM, in a private directory removed at exit.
struct SamFile {
  std::string dir;
  ~SamFile() {
    if (dir.empty()) return;
    std::remove(gw.sam_path.c_str());
    ::rmdir(dir.c_str());
  }
};

std::string write_sam(SamFile& sam) {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/korvane-tg-XXXXXX";
  if (!mkdtemp(pattern.data())) return "mkdtemp failed";
  sam.dir = pattern;
  BYTE hash[16] = {};
  std::string pw = gw.opt.password;
  if (!NTOWFv1A(pw.data(), static_cast<UINT32>(pw.size()), hash)) return "NT hash failed";
  gw.sam_path = sam.dir + "/sam";
  std::ofstream out(gw.sam_path, std::ios::trunc);
  // The layout winpr-hash3 -f sam writes: user:domain:lm:nt:::
  out << gw.opt.user << ":::";
  for (BYTE b : hash) {
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02x", b);
    out << hex;
  }
  out << ":::\n";
  out.close();
  return out ? std::string() : "cannot write " + gw.sam_path;
}

}  // namespace

void log_line(const std::string& line) {
  std::scoped_lock lock(log_mutex);
  std::fprintf(log_file, "%s\n", line.c_str());
  std::fflush(log_file);
}

}  // namespace ktg

int main(int argc, char** argv) {
  using namespace ktg;
  std::string log_path;
  if (const std::string err = parse(argc, argv, log_path); !err.empty()) {
    std::printf("ERROR %s\n", err.c_str());
    std::fprintf(stderr,
                 "usage: korvane-test-gateway --port P --target HOST:PORT [--token T]\n"
                 "  [--user U --password W] [--paa COOKIE] [--allow-resource NAME]\n"
                 "  [--consent TEXT] [--service-message TEXT] [--service-after-ms N]\n"
                 "  [--close-after-ms N] [--no-websocket] [--fault bad-http|cut-packet]\n"
                 "  [--log FILE]\n");
    return 1;
  }
  if (!log_path.empty()) {
    log_file = std::fopen(log_path.c_str(), "a");
    if (!log_file) {
      std::printf("ERROR cannot open %s\n", log_path.c_str());
      return 1;
    }
  }

  struct sigaction sa {};
  sa.sa_handler = on_stop;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  sa.sa_handler = on_close_all;
  sigaction(SIGUSR1, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  SamFile sam;
  if (!gw.opt.user.empty()) {
    // NTLM needs MD4 and RC4, which OpenSSL 3 keeps in its legacy provider.
    if (!OSSL_PROVIDER_load(nullptr, "legacy") || !OSSL_PROVIDER_load(nullptr, "default")) {
      log_line("ERROR cannot load OpenSSL's legacy provider (MD4 and RC4 for NTLM)");
      return 1;
    }
    if (const std::string err = write_sam(sam); !err.empty()) {
      log_line("ERROR " + err);
      return 1;
    }
  }
  std::string fingerprint;
  if (const std::string err = make_tls_context(fingerprint); !err.empty()) {
    log_line("ERROR " + err);
    return 1;
  }

  const int lfd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int one = 1;
  setsockopt(lfd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(gw.opt.port));
  socklen_t len = sizeof addr;
  if (lfd < 0 || ::bind(lfd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(lfd, 16) != 0 || ::getsockname(lfd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    log_line(std::string("ERROR listen failed: ") + std::strerror(errno));
    return 1;
  }
  log_line("LISTENING port=" + std::to_string(ntohs(addr.sin_port)));
  log_line("CERT sha256=" + fingerprint);

  struct Worker {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };
  std::vector<Worker> workers;
  while (!gw.stopping) {
    pollfd p{lfd, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    const int fd = ::accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    // As a real gateway relays input: each small packet at once, not behind the last one's ACK.
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    auto done = std::make_shared<std::atomic<bool>>(false);
    workers.push_back({std::thread([fd, done] {
                         run_connection(fd);
                         *done = true;
                       }),
                       done});
    for (auto it = workers.begin(); it != workers.end();) {
      if (*it->done) {
        it->thread.join();
        it = workers.erase(it);
      } else {
        ++it;
      }
    }
  }
  ::close(lfd);
  // Every wait in a connection thread is bounded and watches gw.stopping.
  for (Worker& w : workers) w.thread.join();
  SSL_CTX_free(gw.ctx);
  if (log_file != stdout) std::fclose(log_file);
  return 0;
}
