#include "host_link/monitors.hpp"

#include <algorithm>
#include <array>
#include <cstdlib>

#include "host_link/protocol.hpp"

namespace korvane {

namespace {

int64_t right_of(const Monitor& m) { return int64_t{m.left} + m.width; }
int64_t bottom_of(const Monitor& m) { return int64_t{m.top} + m.height; }

bool overlap(const Monitor& a, const Monitor& b) {
  return a.left < right_of(b) && b.left < right_of(a) && a.top < bottom_of(b) &&
         b.top < bottom_of(a);
}

// Side by side along an edge that they share for at least a pixel: a corner alone does not
// join two monitors, as a pointer cannot cross it.
bool touch(const Monitor& a, const Monitor& b) {
  const bool rows = a.top < bottom_of(b) && b.top < bottom_of(a);
  const bool columns = a.left < right_of(b) && b.left < right_of(a);
  return (rows && (right_of(a) == b.left || right_of(b) == a.left)) ||
         (columns && (bottom_of(a) == b.top || bottom_of(b) == a.top));
}

}  // namespace

Scale clamp_scale(Scale s) {
  s.desktop = std::clamp<uint32_t>(s.desktop, 100, 500);
  constexpr std::array<uint32_t, 3> kDevice{100, 140, 180};
  uint32_t best = kDevice[0];
  for (uint32_t d : kDevice)
    if (std::abs(int64_t{s.device} - d) < std::abs(int64_t{s.device} - best)) best = d;
  s.device = best;
  return s;
}

Monitor clamp_monitor(Monitor m) {
  const Scale s = clamp_scale({m.desktop_scale, m.device_scale});
  m.desktop_scale = s.desktop;
  m.device_scale = s.device;
  const auto known = [](uint32_t mm) { return mm >= 10 && mm <= 10000; };
  if (!known(m.physical_width) || !known(m.physical_height))
    m.physical_width = m.physical_height = 0;
  return m;
}

std::vector<uint8_t> encode_layout(std::span<const Monitor> layout) {
  std::vector<uint8_t> out;
  out.reserve(1 + layout.size() * kMonitorRecordSize);
  out.push_back(static_cast<uint8_t>(layout.size()));
  for (const Monitor& m : layout) {
    for (uint32_t v : {static_cast<uint32_t>(m.left), static_cast<uint32_t>(m.top), m.width,
                       m.height, m.primary ? MONITOR_FLAG_PRIMARY : 0u, m.physical_width,
                       m.physical_height, m.orientation, m.desktop_scale, m.device_scale})
      append_u32(out, v);
  }
  return out;
}

std::optional<MonitorLayout> parse_layout(std::span<const uint8_t> payload) {
  if (payload.empty() || payload.size() != 1 + size_t{payload[0]} * kMonitorRecordSize)
    return std::nullopt;
  MonitorLayout layout(payload[0]);
  const uint8_t* p = payload.data() + 1;
  for (Monitor& m : layout) {
    m.left = static_cast<int32_t>(get_u32(p));
    m.top = static_cast<int32_t>(get_u32(p + 4));
    m.width = get_u32(p + 8);
    m.height = get_u32(p + 12);
    m.primary = get_u32(p + 16) & MONITOR_FLAG_PRIMARY;
    m.physical_width = get_u32(p + 20);
    m.physical_height = get_u32(p + 24);
    m.orientation = get_u32(p + 28);
    m.desktop_scale = get_u32(p + 32);
    m.device_scale = get_u32(p + 36);
    p += kMonitorRecordSize;
  }
  return layout;
}

LayoutProblem monitors_problem(std::span<const Monitor> layout) {
  if (layout.empty() || layout.size() > kMaxMonitors) return {MONITORS_REFUSED_COUNT};
  const auto primaries = std::ranges::count_if(layout, &Monitor::primary);
  if (primaries != 1) return {MONITORS_REFUSED_PRIMARY};
  for (size_t i = 0; i < layout.size(); ++i) {
    const Monitor& m = layout[i];
    const auto at = static_cast<uint8_t>(i);
    if (m.width < kMinMonitorSide || m.width > kMaxMonitorSide || m.width % 2 ||
        m.height < kMinMonitorSide || m.height > kMaxMonitorSide)
      return {MONITORS_REFUSED_SIZE, at};
    if (m.orientation % 90 || m.orientation > 270) return {MONITORS_REFUSED_ORIENTATION, at};
    for (size_t j = 0; j < i; ++j)
      if (overlap(layout[j], m)) return {MONITORS_REFUSED_OVERLAP, at};
  }
  // Every monitor reachable from the first across shared edges.
  std::vector<bool> reached(layout.size());
  std::vector<size_t> todo{0};
  reached[0] = true;
  while (!todo.empty()) {
    const size_t i = todo.back();
    todo.pop_back();
    for (size_t j = 0; j < layout.size(); ++j)
      if (!reached[j] && touch(layout[i], layout[j])) {
        reached[j] = true;
        todo.push_back(j);
      }
  }
  for (size_t i = 0; i < layout.size(); ++i)
    if (!reached[i]) return {MONITORS_REFUSED_GAP, static_cast<uint8_t>(i)};
  const Extent e = layout_extent(layout);
  if (e.width > kMaxDesktopSide || e.height > kMaxDesktopSide ||
      uint64_t{e.width} * e.height > kMaxDesktopArea)
    return {MONITORS_REFUSED_DESKTOP};
  return {};
}

const char* monitors_reason_text(uint8_t reason) {
  switch (reason) {
    case MONITORS_REFUSED_NO_CHANNEL: return "the server offers no display control channel";
    case MONITORS_REFUSED_SERVER_LIMIT: return "beyond what the server takes";
    case MONITORS_REFUSED_MALFORMED: return "not a count and that many monitors";
    case MONITORS_REFUSED_COUNT: return "1 to 16 monitors";
    case MONITORS_REFUSED_PRIMARY: return "exactly one monitor is primary";
    case MONITORS_REFUSED_SIZE: return "each side 200..8192 pixels, the width even";
    case MONITORS_REFUSED_ORIENTATION: return "orientation 0, 90, 180 or 270";
    case MONITORS_REFUSED_OVERLAP: return "monitors overlap";
    case MONITORS_REFUSED_GAP: return "monitors must touch along their edges, without gaps";
    case MONITORS_REFUSED_DESKTOP: return "the whole desktop is too large";
    default: return "unknown reason";
  }
}

Extent layout_extent(std::span<const Monitor> layout) {
  if (layout.empty()) return {};
  int64_t left = layout[0].left, top = layout[0].top, right = right_of(layout[0]),
          bottom = bottom_of(layout[0]);
  for (const Monitor& m : layout) {
    left = std::min<int64_t>(left, m.left);
    top = std::min<int64_t>(top, m.top);
    right = std::max(right, right_of(m));
    bottom = std::max(bottom, bottom_of(m));
  }
  // Sides past 32 bits are refused as a whole (kMaxDesktopSide) before anything uses them.
  return {static_cast<uint32_t>(std::min<int64_t>(right - left, UINT32_MAX)),
          static_cast<uint32_t>(std::min<int64_t>(bottom - top, UINT32_MAX))};
}

MonitorLayout in_desktop_frame(std::span<const Monitor> layout) {
  MonitorLayout out(layout.begin(), layout.end());
  if (out.empty()) return out;
  const int32_t left = std::ranges::min(out, {}, &Monitor::left).left;
  const int32_t top = std::ranges::min(out, {}, &Monitor::top).top;
  for (Monitor& m : out) {
    m.left = static_cast<int32_t>(int64_t{m.left} - left);
    m.top = static_cast<int32_t>(int64_t{m.top} - top);
  }
  return out;
}

std::vector<uint8_t> encode_monitors_refused(const LayoutProblem& p) {
  return {p.reason, p.monitor};
}

std::optional<Scale> parse_scale(std::span<const uint8_t> value) {
  if (value.size() != 8) return std::nullopt;
  return Scale{get_u32(value.data()), get_u32(value.data() + 4)};
}

std::vector<uint8_t> encode_scale(const Scale& s) {
  std::vector<uint8_t> out;
  append_u32(out, s.desktop);
  append_u32(out, s.device);
  return out;
}

}  // namespace korvane
