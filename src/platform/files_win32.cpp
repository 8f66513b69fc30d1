#include "platform/files.hpp"

#include <filesystem>
#include <string>
#include <system_error>
#include <windows.h>

namespace korvane {

std::string make_private_dir(const char* prefix) {
  char tmp[MAX_PATH + 1];
  const DWORD n = GetTempPathA(sizeof tmp, tmp);
  if (n == 0 || n > MAX_PATH) return {};
  // CreateDirectory fails on a name that exists, so a taken name is never reused; the
  // folder inherits the user's temporary directory's permissions, which are the user's own.
  for (unsigned attempt = 0; attempt < 100; ++attempt) {
    const std::string path = std::string(tmp) + prefix + "-" +
                             std::to_string(GetCurrentProcessId()) + "-" +
                             std::to_string(GetTickCount64() + attempt);
    if (CreateDirectoryA(path.c_str(), nullptr)) return path;
    if (GetLastError() != ERROR_ALREADY_EXISTS) return {};
  }
  return {};
}

void remove_private_dir(const std::string& path) {
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);
}

}  // namespace korvane
