// The session driver: the whole life of the process, and the state every subsystem shares.
#pragma once

#include <atomic>

#include <freerdp/freerdp.h>

#include "host_link/extensions.hpp"
#include "host_link/protocol.hpp"

namespace korvane {

struct SessionState {
  // Filled once by the main thread before any other thread starts; read-only afterwards.
  ConnectParams params{};
  // What the host's extension block asked for and was granted (none: the base protocol only).
  // Same lifetime as params.
  Grant grant{};
  Extensions ext{};
  // Set by the certificate callback (main thread, while connecting) when the host or its pinned
  // list refused the server's certificate; read by the main thread when it reports the failure.
  std::atomic<bool> certificate_rejected{false};
  // The library's client context. Set and released by the main thread; other threads reach it
  // only through the library's callbacks while it exists.
  rdpContext* context = nullptr;
  // Published by the main thread before the input thread starts; read by the input thread.
  std::atomic<rdpInput*> input{nullptr};
  // Set by the input thread on CMD_DISCONNECT and by teardown; read by the event loop after
  // every wake and by the input thread before every frame.
  std::atomic<int> stop_flag{0};
  // Manual-reset WinPR event, signalled together with stop_flag. Created by the main thread
  // before the input thread starts and closed only after that thread has ended (or, if it
  // is stuck, never).
  HANDLE stop_event = nullptr;
  // Set once by whichever thread found the host's output closed (see transport.hpp); read by the
  // main thread for the exit code.
  std::atomic<bool> host_gone{false};
};

extern SessionState session;

// Returns the process exit code: 0 after a session that connected and ended, 1 after any
// failure, a host whose output closed included.
int session_main();

}  // namespace korvane
