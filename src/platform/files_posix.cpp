#include "platform/files.hpp"

#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <unistd.h>

namespace korvane {

std::string make_private_dir(const char* prefix) {
  const char* tmp = std::getenv("TMPDIR");
  std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + prefix + "-XXXXXX";
  if (!mkdtemp(templ.data())) return {};
  return templ;
}

void remove_private_dir(const std::string& path) {
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);
}

}  // namespace korvane
