// The certificate decision's pure parts: which mode a session runs in, whether a certificate
// names the host, and the hand-over of the host's verdict between two threads. The standard
// library only.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string_view>

#include "host_link/extensions.hpp"
#include "host_link/session_extensions.hpp"

namespace korvane {

// CERT_MODE_* for a session: a host that was not granted EXT_CERTIFICATE, or named no mode,
// gets accept-any, as every host had before the extension.
uint8_t effective_cert_mode(const Extensions& ext, const Grant& grant);

bool fingerprint_pinned(const Fingerprint& f, std::span<const Fingerprint> pins);

// Whether a certificate name (common name or DNS name) covers host. Case does not matter; a
// "*." pattern stands for exactly one leftmost label, never for a bare suffix or an IP address.
bool certificate_name_matches(std::string_view pattern, std::string_view host);

// One certificate question at a time: the thread that asks waits, another thread answers.
class VerdictBox {
 public:
  // A question is out; any verdict from an earlier question is forgotten.
  void open();
  // Waits for the verdict until the deadline, or until give_up returns true (asked every
  // slice). Closes the question: a verdict after this is refused. nullopt: no verdict.
  std::optional<bool> wait(std::chrono::steady_clock::time_point deadline,
                           const std::function<bool()>& give_up,
                           std::chrono::milliseconds slice = std::chrono::milliseconds(100));
  // false when no question is waiting for its verdict (none out, or already answered).
  bool deliver(bool accept);
  // Makes a waiting thread ask give_up now rather than at the end of its slice.
  void wake();

 private:
  // Taken by the asking thread and the answering thread; nothing else is locked while held.
  std::mutex mutex_;
  std::condition_variable cv_;
  bool open_ = false;            // guarded by mutex_
  std::optional<bool> verdict_;  // guarded by mutex_
};

}  // namespace korvane
