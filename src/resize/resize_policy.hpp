// When a host's resize requests reach the server: a burst becomes one layout, sent once the
// connection and the display control channel can take it. Pure: the caller passes the time.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

#include "host_link/extensions.hpp"
#include "host_link/monitors.hpp"

namespace korvane {

// A request is CMD_RESIZE's one monitor (width, height, scale) or CMD_MONITORS' layout
// (`monitors` not empty, width and height its bounding box).
struct ResizeAction {
  enum Kind : uint8_t { none, layout, refuse } kind = none;
  uint32_t width = 0, height = 0;  // layout: the size to ask for; refuse: the host's wish
  Scale scale{};
  MonitorLayout monitors;  // in the desktop's frame
  uint8_t reason = 0;      // refuse: MONITORS_REFUSED_* (RESIZE_REFUSED_* share 1)
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

  // The host's latest wish replaces any earlier one still waiting, a layout as a size. The
  // layout has passed monitors_problem and clamp_monitor; the scale, clamp_scale.
  void request(uint32_t width, uint32_t height, Time now, Scale scale = {});
  void request_layout(MonitorLayout layout, Time now);
  void connection_up(Time now);
  // A request for the size the desktop has, at the scale and layout it has, changes nothing.
  void desktop(uint32_t width, uint32_t height);
  // What the connection began with: the connect request's scale, or its layout.
  void started_with(Scale scale, MonitorLayout layout);
  void channel_attached(Time now);
  // Servers that reactivate after a resize may close the channel and open it again: a request
  // meanwhile waits for the new one as long as for the first.
  void channel_detached(Time now);
  void caps(const DisplayLimits& server_limits);

  // When act() may next do something; nullopt while it waits for an event rather than a time.
  std::optional<Time> deadline() const;
  // What is due at `now`; at most one action, and the request is then done with.
  ResizeAction act(Time now);

  uint32_t wanted_width() const { return want.width; }
  uint32_t wanted_height() const { return want.height; }

 private:
  bool pending = false;
  ResizeAction want;  // kind unused
  Scale sent_scale{};
  MonitorLayout sent_layout;
  Time last_request;
  bool up = false;
  Time up_since;
  uint32_t desktop_width = 0, desktop_height = 0;
  bool attached = false;
  Time attached_since;
  bool caps_known = false;
  DisplayLimits limits;
};

// What a host granted monitors is told the server took (EVT_MONITORS): the server's own word when
// it gives one the size of the desktop, else the layout asked for last when the desktop has its
// size, else one monitor the size of the desktop. All in the desktop's frame. The server's word
// carries no attributes (physical size, orientation, scale): a monitor keeps those it was asked
// for at the same place.
struct LayoutReport {
  // A layout was sent (or the connection began with one): an earlier word of the server's is
  // about the old one.
  void asked(MonitorLayout layout);
  void server_said(MonitorLayout layout);
  void desktop(uint32_t width, uint32_t height);
  // The layout to tell the host now, when it differs from the last one told.
  std::optional<MonitorLayout> news();

 private:
  MonitorLayout asked_, server_, told_;
  uint32_t width_ = 0, height_ = 0;
};

}  // namespace korvane
