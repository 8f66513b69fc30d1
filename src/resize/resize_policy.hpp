// When a host's resize requests reach the server: a burst becomes one layout, sent once the
// connection and the display control channel can take it. Pure: the caller passes the time.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

#include "host_link/extensions.hpp"

namespace korvane {

struct ResizeAction {
  enum Kind : uint8_t { none, layout, refuse } kind = none;
  uint32_t width = 0, height = 0;  // layout: the size to ask for; refuse: the host's wish
  bool operator==(const ResizeAction&) const = default;
};

struct ResizePolicy {
  using Time = std::chrono::steady_clock::time_point;
  // A window being dragged sends a request per pixel; the server gets the size it settles on.
  static constexpr std::chrono::milliseconds kQuiet{200};
  // How long after the connection is up a request waits for the channel before the host is
  // told the server has none: the dynamic channels open shortly after activation.
  static constexpr std::chrono::milliseconds kChannelGrace{3000};
  // How long an attached channel may stay silent about its limits before the defaults are used.
  static constexpr std::chrono::milliseconds kCapsGrace{1000};

  // The host's latest wish replaces any earlier one still waiting.
  void request(uint32_t width, uint32_t height, Time now);
  void connection_up(Time now);
  // A request for the size the desktop has changes nothing.
  void desktop(uint32_t width, uint32_t height);
  void channel_attached(Time now);
  // Servers that reactivate after a resize may close the channel and open it again: a request
  // meanwhile waits for the new one as long as for the first.
  void channel_detached(Time now);
  void caps(const DisplayLimits& server_limits);

  // When act() may next do something; nullopt while it waits for an event rather than a time.
  std::optional<Time> deadline() const;
  // What is due at `now`; at most one action, and the request is then done with.
  ResizeAction act(Time now);

  uint32_t wanted_width() const { return want_width; }
  uint32_t wanted_height() const { return want_height; }

 private:
  bool pending = false;
  uint32_t want_width = 0, want_height = 0;
  Time last_request;
  bool up = false;
  Time up_since;
  uint32_t desktop_width = 0, desktop_height = 0;
  bool attached = false;
  Time attached_since;
  bool caps_known = false;
  DisplayLimits limits;
};

}  // namespace korvane
