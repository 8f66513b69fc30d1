#include "resize/resize_policy.hpp"

#include <algorithm>
#include <tuple>

namespace korvane {

void ResizePolicy::request(uint32_t width, uint32_t height, Time now, Scale scale) {
  pending = true;
  want = ResizeAction{ResizeAction::none, width, height, scale, {}, 0};
  last_request = now;
}

void ResizePolicy::request_layout(MonitorLayout layout, Time now) {
  pending = true;
  const Extent e = layout_extent(layout);
  want = ResizeAction{ResizeAction::none, e.width, e.height, {}, in_desktop_frame(layout), 0};
  last_request = now;
}

void ResizePolicy::started_with(Scale scale, MonitorLayout layout) {
  sent_scale = scale;
  sent_layout = std::move(layout);
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
  ResizeAction a = want;
  if (!attached) {
    a.kind = ResizeAction::refuse;
    a.reason = MONITORS_REFUSED_NO_CHANNEL;
    return a;
  }
  if (!a.monitors.empty()) {
    // Several monitors are not shrunk to fit as one is: the host's windows are cut from them.
    const bool too_many = limits.max_monitors && a.monitors.size() > limits.max_monitors;
    const bool too_large = std::ranges::any_of(a.monitors, [&](const Monitor& m) {
      return m.width > limits.max_width || m.height > limits.max_height ||
             (limits.max_area && uint64_t{m.width} * m.height > limits.max_area);
    });
    if (too_many || too_large) {
      a.kind = ResizeAction::refuse;
      a.reason = MONITORS_REFUSED_SERVER_LIMIT;
      return a;
    }
    if (a.monitors == sent_layout && a.width == desktop_width && a.height == desktop_height)
      return {};
    sent_layout = a.monitors;
    a.kind = ResizeAction::layout;
    return a;
  }
  std::tie(a.width, a.height) = clamp_display_size(a.width, a.height, limits);
  if (a.width == desktop_width && a.height == desktop_height && a.scale == sent_scale &&
      sent_layout.size() <= 1)
    return {};
  sent_scale = a.scale;
  sent_layout.clear();
  a.kind = ResizeAction::layout;
  return a;
}

void LayoutReport::asked(MonitorLayout layout) {
  asked_ = std::move(layout);
  server_.clear();
}

void LayoutReport::server_said(MonitorLayout layout) { server_ = std::move(layout); }

void LayoutReport::desktop(uint32_t width, uint32_t height) {
  width_ = width;
  height_ = height;
}

std::optional<MonitorLayout> LayoutReport::news() {
  if (!width_ || !height_) return std::nullopt;
  const auto fits = [&](const MonitorLayout& l) {
    const Extent e = layout_extent(l);
    return !l.empty() && e.width == width_ && e.height == height_;
  };
  MonitorLayout now;
  if (fits(server_)) {
    now = server_;
    for (Monitor& m : now) {
      const auto same = std::ranges::find_if(asked_, [&](const Monitor& a) {
        return a.left == m.left && a.top == m.top && a.width == m.width && a.height == m.height;
      });
      if (same == asked_.end()) continue;
      const bool primary = m.primary;
      m = *same;
      m.primary = primary;
    }
  } else if (fits(asked_)) {
    now = asked_;
  } else {
    Monitor whole{0, 0, width_, height_, true};
    const auto primary = std::ranges::find_if(asked_, &Monitor::primary);
    if (primary != asked_.end()) {
      whole.desktop_scale = primary->desktop_scale;
      whole.device_scale = primary->device_scale;
    }
    now.push_back(whole);
  }
  if (now == told_) return std::nullopt;
  told_ = now;
  return now;
}

}  // namespace korvane
