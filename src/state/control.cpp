#include "state/control.hpp"

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include <winpr/handle.h>
#include <winpr/synch.h>

#include "platform/diag.hpp"

namespace korvane {

namespace {

// Set by any thread through request_stop, cleared by reset_stop; read by every loop that a stop
// ends. No lock: a lone flag, set before the event is signalled.
std::atomic<bool> stop_flag{false};
std::atomic<bool> host_gone_flag{false};

// The open StopEvent's handle, null when none. Guarded by event_lock: set and cleared by the main
// thread (StopEvent), signalled under the lock by request_stop on any thread, so the handle
// cannot be closed under a signal. Nothing else is locked while it is held.
std::mutex event_lock;
HANDLE open_event = nullptr;

}  // namespace

void request_stop() {
  stop_flag.store(true);
  std::lock_guard<std::mutex> lock(event_lock);
  if (open_event) SetEvent(open_event);
}

bool stop_requested() { return stop_flag.load(); }

void reset_stop() { stop_flag.store(false); }

bool wait_unless_stopped(uint32_t ms) {
  if (stop_requested()) return false;
  HANDLE event = nullptr;
  {
    std::lock_guard<std::mutex> lock(event_lock);
    event = open_event;
  }
  if (event)
    WaitForSingleObject(event, ms);
  else
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  return !stop_requested();
}

void note_host_gone() { host_gone_flag.store(true); }

bool host_gone() { return host_gone_flag.load(); }

StopEvent::StopEvent() {
  handle_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (!handle_) {
    diag("Warning: could not create the stop event; a stop is noticed at the next tick");
    return;
  }
  std::lock_guard<std::mutex> lock(event_lock);
  open_event = handle_;
  if (stop_requested()) SetEvent(handle_);
}

StopEvent::~StopEvent() {
  if (!handle_) return;
  {
    std::lock_guard<std::mutex> lock(event_lock);
    open_event = nullptr;
  }
  CloseHandle(handle_);
}

HANDLE deadlines_event() {
  // Created once, on first use by whichever thread, and kept for the life of the process.
  // Manual-reset: WinPR has no auto-reset events (it makes one that stays set once set), so the
  // event loop resets it itself when the wait reports it.
  static const HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  return event;
}

void deadlines_changed() {
  if (const HANDLE event = deadlines_event()) SetEvent(event);
}

}  // namespace korvane
