#pragma once

#include "peer.hpp"

#include <string>
#include <vector>

namespace kts {

// A fresh self-signed RSA certificate for TLS, NLA and standard RDP
// security. Returns an error text, empty on success.
std::string make_certificate(std::string& cert_pem, std::string& key_pem);

// A private directory removed with everything listed in `files`.
struct TempDir {
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string path;
  std::vector<std::string> files;
};

std::string write_sam_file(TempDir& dir, const std::string& user, const std::string& password,
                           std::string& sam_path);

}  // namespace kts
