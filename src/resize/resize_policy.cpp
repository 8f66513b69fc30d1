#include "resize/resize_policy.hpp"

#include <algorithm>

namespace korvane {

void ResizePolicy::request(uint32_t width, uint32_t height, Time now) {
  pending = true;
  want_width = width;
  want_height = height;
  last_request = now;
}

void ResizePolicy::connection_up(Time now) {
  up = true;
  up_since = now;
}

void ResizePolicy::desktop(uint32_t width, uint32_t height) {
  desktop_width = width;
  desktop_height = height;
}

void ResizePolicy::channel_attached(Time now) {
  attached = true;
  attached_since = now;
  caps_known = false;
  limits = DisplayLimits{};
}

void ResizePolicy::channel_detached(Time now) {
  attached = false;
  caps_known = false;
  up_since = now;
}

void ResizePolicy::caps(const DisplayLimits& server_limits) {
  caps_known = true;
  limits = server_limits;
}

std::optional<ResizePolicy::Time> ResizePolicy::deadline() const {
  if (!pending || !up) return std::nullopt;
  const Time quiet = last_request + kQuiet;
  if (!attached) return std::max(quiet, up_since + kChannelGrace);
  if (!caps_known) return std::max(quiet, attached_since + kCapsGrace);
  return quiet;
}

ResizeAction ResizePolicy::act(Time now) {
  const std::optional<Time> due = deadline();
  if (!due || now < *due) return {};
  pending = false;
  if (!attached) return {ResizeAction::refuse, want_width, want_height};
  const auto [w, h] = clamp_display_size(want_width, want_height, limits);
  if (w == desktop_width && h == desktop_height) return {};
  return {ResizeAction::layout, w, h};
}

}  // namespace korvane
