#include "security.hpp"

#include <winpr/ntlm.h>

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <unistd.h>

namespace kts {
namespace {

struct PkeyFree {
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct X509Free {
  void operator()(X509* p) const { X509_free(p); }
};
struct BioFree {
  void operator()(BIO* p) const { BIO_free(p); }
};

std::string bio_text(BIO* bio) {
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio, &data);
  if (size <= 0 || !data) return {};
  return std::string(data, static_cast<std::size_t>(size));
}

}  // namespace

std::string make_certificate(std::string& cert_pem, std::string& key_pem) {
  // RSA: standard RDP security can only use an RSA key.
  std::unique_ptr<EVP_PKEY, PkeyFree> key(EVP_RSA_gen(2048));
  if (!key) return "RSA key generation failed";
  std::unique_ptr<X509, X509Free> cert(X509_new());
  if (!cert) return "X509_new failed";
  X509_set_version(cert.get(), 2);
  unsigned char serial[8] = {};
  if (RAND_bytes(serial, sizeof serial) != 1) return "RAND_bytes failed";
  serial[0] &= 0x7F;
  BIGNUM* bn = BN_bin2bn(serial, sizeof serial, nullptr);
  if (!bn) return "BN_bin2bn failed";
  ASN1_INTEGER* sn = BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert.get()));
  BN_free(bn);
  if (!sn) return "serial number failed";
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600L);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3600L * 24 * 365);
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("korvane-test-server"), -1, -1,
                             0);
  X509_set_issuer_name(cert.get(), name);
  X509_set_pubkey(cert.get(), key.get());
  if (X509_sign(cert.get(), key.get(), EVP_sha256()) == 0) return "certificate signing failed";

  std::unique_ptr<BIO, BioFree> cert_bio(BIO_new(BIO_s_mem()));
  std::unique_ptr<BIO, BioFree> key_bio(BIO_new(BIO_s_mem()));
  if (!cert_bio || !key_bio) return "BIO_new failed";
  if (PEM_write_bio_X509(cert_bio.get(), cert.get()) != 1) return "certificate PEM failed";
  // Traditional "RSA PRIVATE KEY" PEM: the form FreeRDP's own tools write.
  if (PEM_write_bio_PrivateKey_traditional(key_bio.get(), key.get(), nullptr, nullptr, 0, nullptr,
                                           nullptr) != 1)
    return "key PEM failed";
  cert_pem = bio_text(cert_bio.get());
  key_pem = bio_text(key_bio.get());
  if (cert_pem.empty() || key_pem.empty()) return "empty PEM";
  return {};
}

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/korvane-ts-XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data())) path = buf.data();
}

TempDir::~TempDir() {
  if (path.empty()) return;
  for (const std::string& f : files) std::remove(f.c_str());
  ::rmdir(path.c_str());
}

std::string write_sam_file(TempDir& dir, const std::string& user, const std::string& password,
                           std::string& sam_path) {
  if (dir.path.empty()) return "no temporary directory";
  BYTE hash[16] = {};
  std::vector<char> pw(password.begin(), password.end());
  pw.push_back('\0');
  if (!NTOWFv1A(pw.data(), static_cast<UINT32>(password.size()), hash)) return "NT hash failed";
  sam_path = dir.path + "/sam";
  dir.files.push_back(sam_path);
  std::ofstream out(sam_path, std::ios::trunc);
  if (!out) return "cannot write " + sam_path;
  // Same layout as `winpr-hash3 -f sam`: user:domain:lm:nt:::
  out << user << ":::" << to_hex(hash, sizeof hash) << ":::\n";
  out.close();
  if (!out) return "cannot write " + sam_path;
  return {};
}

}  // namespace kts
