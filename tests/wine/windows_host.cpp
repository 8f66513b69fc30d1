// A minimal Windows host, built with korvane.exe and run under Wine: starts korvane.exe the way
// a Windows application does (CreatePipe, CreateProcess with the pipes as its standard handles),
// connects to the server given, reads every frame until the desktop is painted, sends one key,
// then CMD_DISCONNECT, and prints what it saw on one line for the test that runs it:
//   CONNECTED 800x600 painted=N frames=N key=sent disconnected=1 exit=0 after_ms=N
// Exits 1 on anything unexpected, saying what on standard error.
//   windows_host.exe KORVANE_EXE HOST PORT
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "host_link/protocol.hpp"

using namespace korvane;

namespace {

HANDLE to_korvane = nullptr;
HANDLE from_korvane = nullptr;

int fail(const char* what) {
  std::fprintf(stderr, "windows_host: %s (error %lu)\n", what, GetLastError());
  return 1;
}

bool send(uint8_t type, const std::vector<uint8_t>& payload) {
  const auto frame = encode_frame(type, payload);
  DWORD written = 0;
  return WriteFile(to_korvane, frame.data(), static_cast<DWORD>(frame.size()), &written, nullptr) &&
         written == frame.size();
}

bool read_exact(uint8_t* data, size_t size) {
  while (size > 0) {
    DWORD got = 0;
    if (!ReadFile(from_korvane, data, static_cast<DWORD>(size), &got, nullptr) || got == 0)
      return false;
    data += got;
    size -= got;
  }
  return true;
}

bool next_frame(uint8_t& type, std::vector<uint8_t>& payload) {
  uint8_t header[5];
  if (!read_exact(header, sizeof header)) return false;
  type = header[0];
  payload.resize(get_u32(header + 1));
  return payload.empty() || read_exact(payload.data(), payload.size());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) return fail("usage: windows_host.exe KORVANE_EXE HOST PORT");
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE child_in = nullptr, child_out = nullptr;
  if (!CreatePipe(&child_in, &to_korvane, &inherit, 0) ||
      !CreatePipe(&from_korvane, &child_out, &inherit, 0))
    return fail("CreatePipe");
  SetHandleInformation(to_korvane, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(from_korvane, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOA si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = child_in;
  si.hStdOutput = child_out;
  si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION pi{};
  std::string command = std::string("\"") + argv[1] + "\"";
  if (!CreateProcessA(argv[1], command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si,
                      &pi))
    return fail("CreateProcess");
  CloseHandle(child_in);
  CloseHandle(child_out);

  ConnectRequest request;
  request.host = argv[2];
  request.port = static_cast<uint16_t>(std::atoi(argv[3]));
  request.width = 800;
  request.height = 600;
  request.flags = CONNECT_FLAG_TLS;
  request.username = "test";
  request.password = "test";
  if (!send(CMD_CONNECT, encode_connect(request))) return fail("writing CMD_CONNECT");

  uint8_t type = 0;
  std::vector<uint8_t> payload;
  if (!next_frame(type, payload) || type != EVT_CONNECTED || payload.size() != 8)
    return fail("the first frame is not EVT_CONNECTED");
  const uint32_t width = get_u32(payload.data()), height = get_u32(payload.data() + 4);
  // Until every pixel of the desktop has been painted at least once (rectangles may overlap,
  // so the sum of their areas is an upper bound: enough to know the picture went through).
  uint64_t painted = 0;
  unsigned frames = 1;
  while (painted < uint64_t{width} * height) {
    if (!next_frame(type, payload)) return fail("the stream ended before the desktop was painted");
    ++frames;
    if (type == EVT_RECT && payload.size() >= 16)
      painted += uint64_t{get_u32(payload.data() + 8)} * get_u32(payload.data() + 12);
  }
  if (!send(CMD_KEY, {0x1E, 1, 0}) || !send(CMD_KEY, {0x1E, 0, 0})) return fail("writing CMD_KEY");
  const auto asked = std::chrono::steady_clock::now();
  if (!send(CMD_DISCONNECT, {})) return fail("writing CMD_DISCONNECT");
  bool disconnected = false;
  while (next_frame(type, payload)) {
    ++frames;
    if (type == EVT_DISCONNECTED) disconnected = true;
  }
  if (WaitForSingleObject(pi.hProcess, 5000) != WAIT_OBJECT_0)
    return fail("korvane.exe still runs");
  const auto after = std::chrono::duration_cast<std::chrono::milliseconds>(
                         std::chrono::steady_clock::now() - asked)
                         .count();
  DWORD code = 0;
  GetExitCodeProcess(pi.hProcess, &code);
  std::printf(
      "CONNECTED %ux%u painted=%llu frames=%u key=sent disconnected=%d exit=%lu after_ms=%lld\n",
      width, height, static_cast<unsigned long long>(painted), frames, disconnected ? 1 : 0, code,
      static_cast<long long>(after));
  return 0;
}
