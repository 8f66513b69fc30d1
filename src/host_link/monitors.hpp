// The monitors extension's layouts, and the scale factors a single monitor may carry: what a
// host may ask for, checked before anything reaches the server. Pure code over bytes; what the
// RDP library makes of a layout is session/settings.cpp's and resize/resize.cpp's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace korvane {

inline constexpr size_t kMaxMonitors = 16;
// A monitor's record on the wire: left, top (i32), width, height, flags, physical width,
// physical height, orientation, desktop scale, device scale (u32 each).
inline constexpr size_t kMonitorRecordSize = 40;
// What the display control channel takes for one monitor's side.
inline constexpr uint32_t kMinMonitorSide = 200;
inline constexpr uint32_t kMaxMonitorSide = 8192;
// The desktop korvane draws is the layout's bounding box: each side, and its area (the renderer
// holds 4 bytes a pixel), within these.
inline constexpr uint32_t kMaxDesktopSide = 16384;
inline constexpr uint64_t kMaxDesktopArea = uint64_t{8192} * 8192;

enum : uint32_t {
  MONITOR_FLAG_PRIMARY = 1,  // the record's flags
};

// Why a layout (FIELD_MONITORS at connect, CMD_MONITORS later) is refused: EVT_MONITORS_REFUSED's
// reason. 1 and 2 come from the server's side, the others from the layout itself.
enum : uint8_t {
  MONITORS_REFUSED_NO_CHANNEL = 1,    // the server offers no display control channel
  MONITORS_REFUSED_SERVER_LIMIT = 2,  // more monitors, or a larger one, than the server takes
  MONITORS_REFUSED_MALFORMED = 3,     // not a count and that many records
  MONITORS_REFUSED_COUNT = 4,         // 0 monitors, or more than 16
  MONITORS_REFUSED_PRIMARY = 5,       // none, or more than one, is primary
  MONITORS_REFUSED_SIZE = 6,          // a side outside 200..8192, or an odd width
  MONITORS_REFUSED_ORIENTATION = 7,   // not 0, 90, 180 or 270
  MONITORS_REFUSED_OVERLAP = 8,       // two monitors share pixels
  MONITORS_REFUSED_GAP = 9,           // the monitors do not form one connected desktop
  MONITORS_REFUSED_DESKTOP = 10,      // the bounding box is too large for korvane's renderer
};

struct Monitor {
  int32_t left = 0, top = 0;
  uint32_t width = 0, height = 0;
  bool primary = false;
  uint32_t physical_width = 0, physical_height = 0;  // millimetres; 0: not known
  uint32_t orientation = 0;                          // degrees
  uint32_t desktop_scale = 100;                      // percent
  uint32_t device_scale = 100;                       // percent
  bool operator==(const Monitor&) const = default;
};

using MonitorLayout = std::vector<Monitor>;

// The scale factors a host may give a single monitor (FIELD_SCALE, CMD_RESIZE's optional part).
struct Scale {
  uint32_t desktop = 100, device = 100;
  bool operator==(const Scale&) const = default;
};

// Clamped as the protocol clamps, so that what the server gets is what the host is told it took:
// a desktop scale into 100..500, a device scale to the nearest of 100, 140 and 180, and a
// physical size outside 10..10000 mm (either side) to 0, "not known".
Scale clamp_scale(Scale s);
Monitor clamp_monitor(Monitor m);

// A count (u8), then that many records.
std::vector<uint8_t> encode_layout(std::span<const Monitor> layout);
// nullopt unless the payload is exactly a count and that many records. The values are as sent:
// monitors_problem checks them.
std::optional<MonitorLayout> parse_layout(std::span<const uint8_t> payload);

// What is wrong with a layout (MONITORS_REFUSED_*), or 0, and the monitor at fault (0xFF: none
// in particular). The positions may be in any frame: only their relations matter.
struct LayoutProblem {
  uint8_t reason = 0;
  uint8_t monitor = 0xFF;
  bool operator==(const LayoutProblem&) const = default;
};
LayoutProblem monitors_problem(std::span<const Monitor> layout);
// The same reasons as words, for the host's EVT_ERROR at connect.
const char* monitors_reason_text(uint8_t reason);

// The layout moved so that its bounding box starts at 0,0: the desktop's frame, in which
// EVT_RECT draws and the host cuts its windows.
MonitorLayout in_desktop_frame(std::span<const Monitor> layout);
// The bounding box's size.
struct Extent {
  uint32_t width = 0, height = 0;
};
Extent layout_extent(std::span<const Monitor> layout);

// EVT_MONITORS_REFUSED: reason (u8), the monitor at fault (u8).
std::vector<uint8_t> encode_monitors_refused(const LayoutProblem& p);

// FIELD_SCALE and CMD_RESIZE's optional part: desktop scale, device scale (u32 each).
std::optional<Scale> parse_scale(std::span<const uint8_t> value);
std::vector<uint8_t> encode_scale(const Scale& s);

}  // namespace korvane
