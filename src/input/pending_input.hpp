// Input that arrives before the connection is up (or while it is re-established) waits, in
// order, and goes to the server when the connection comes up. Pure: the caller holds the lock
// and makes the library calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

namespace korvane {

enum class InputKind : uint8_t { mouse, key, unicode, sync };

struct PendingInput {
  InputKind kind;
  uint16_t flags;
  uint16_t x;  // the scan code for key events
  uint16_t y;
  // Unicode: the code point, whole, so that a refusal names what the host sent and a surrogate
  // pair is never split by the queue's bound. Sync: the lock bits.
  uint32_t value = 0;
  bool operator==(const PendingInput&) const = default;
};

// A host that sends without pause while the connection takes long loses its oldest events,
// never memory.
inline constexpr size_t kMaxPendingInput = 4096;

struct PendingInputQueue {
  // Returns true when the event goes to the server now, false when it was queued.
  bool offer(const PendingInput& e);
  // The connection is up: what waited, oldest first, to be sent now.
  std::vector<PendingInput> connection_up();
  void connection_down() { up = false; }
  bool connected() const { return up; }

 private:
  bool up = false;
  std::deque<PendingInput> queued;
};

}  // namespace korvane
