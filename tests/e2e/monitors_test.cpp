// The monitors extension against the scripted server: the layout and scale fields reach the
// server field for field (its CLIENT and DISP lines), the host hears the layout the server took
// before the first picture and after each change, and a bad layout never leaves korvane.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

#include "host/options.hpp"
#include "rig.hpp"

using namespace korvane;
using namespace korvane::e2e;

namespace {

MonitorLayout layout(const char* text) { return *host::parse_layout_text(text); }

std::vector<uint8_t> block(uint32_t mask, const MonitorLayout& l) {
  const ExtensionField fields[] = {{FIELD_MONITORS, encode_layout(l)}};
  return encode_extensions(mask, fields);
}

// The host's side: its canvas, and what it was told, in order.
struct Heard {
  host::Canvas canvas;
  std::vector<std::string> told;  // "RESIZE WxH", "MONITORS <layout>", "REFUSED r m", "RECT"
  void operator()(const host::Frame& f) {
    if (f.type == EVT_CONNECTED || f.type == EVT_RESIZE) {
      host::resize_canvas(canvas, u32_at(f, 0), u32_at(f, 4));
      if (f.type == EVT_RESIZE)
        told.push_back("RESIZE " + std::to_string(canvas.width) + "x" +
                       std::to_string(canvas.height));
    } else if (f.type == EVT_RECT) {
      host::paint_rect(canvas, f.payload);
      if (told.empty() || told.back() != "RECT") told.push_back("RECT");
    } else if (f.type == EVT_MONITORS) {
      told.push_back("MONITORS " + host::layout_text(*parse_layout(f.payload)));
    } else if (f.type == EVT_MONITORS_REFUSED) {
      told.push_back("REFUSED " + std::to_string(f.payload[0]) + " " +
                     std::to_string(f.payload[1]));
    }
  }
};

std::vector<std::string> lines_starting(Rig& rig, const std::string& prefix) {
  std::vector<std::string> out;
  for (const std::string& l : test::lines_of(*rig.server.process))
    if (l.rfind(prefix, 0) == 0) out.push_back(l);
  return out;
}

TEST(Monitors, LayoutsReachTheServerFieldForFieldAndTheHostHearsWhatItTook) {
  test::TempDir scratch = test::make_temp_dir("korvane-monitors");
  const std::string path = scratch.path + "/server.rgba";
  MonitorLayout at_connect = layout("1280x1024+0+0*,1024x768+1280+0");
  at_connect[0].physical_width = 338;
  at_connect[0].physical_height = 270;
  at_connect[0].desktop_scale = 150;
  at_connect[0].device_scale = 150;  // the nearest the protocol takes: 140
  at_connect[1].orientation = 90;
  at_connect[1].physical_width = 5;  // under 10 mm: not known
  at_connect[1].physical_height = 300;
  auto rig =
      start_rig({"wait-layouts 2 20000", "dump " + path, "sleep 300", "end"},
                {.width = 640, .height = 480}, "tls", {"--disp", "resize", "--disp-monitors", "3"},
                block(EXT_MONITORS | EXT_RESIZE, at_connect));
  ASSERT_TRUE(rig);
  Heard heard;
  ASSERT_TRUE(host::wait_for_event(*rig->korvane, EVT_CONNECTED, 20000, std::ref(heard)))
      << korvane_stderr(*rig);
  EXPECT_EQ(heard.canvas.width, 2304);
  EXPECT_EQ(heard.canvas.height, 1024);
  ASSERT_TRUE(pump_until_line(*rig, std::regex("^DISP open"), 20000, std::ref(heard)))
      << server_log(*rig);
  EXPECT_EQ(lines_starting(*rig, "CLIENT"),
            (std::vector<std::string>{
                "CLIENT desktop=2304x1024 scale=150/140 physical=338x270 orientation=0 monitors=2",
                "CLIENT monitor i=0 left=0 top=0 width=1280 height=1024 primary=1 physical=338x270 "
                "orientation=0 scale=150/140",
                "CLIENT monitor i=1 left=1280 top=0 width=1024 height=768 primary=0 physical=0x0 "
                "orientation=90 scale=100/100"}));

  // Refused before anything is sent: overlapping, with a gap, no primary, an odd width.
  MonitorLayout no_primary = layout("800x600+0+0,800x600+800+0");
  no_primary[0].primary = false;
  for (const MonitorLayout& bad :
       {layout("800x600+0+0*,800x600+400+0"), layout("800x600+0+0*,800x600+801+0"), no_primary,
        layout("801x600+0+0*")})
    ASSERT_TRUE(host::send_command(*rig->korvane, CMD_MONITORS, encode_layout(bad)));
  // Four: more than the server's channel takes (it said three).
  ASSERT_TRUE(host::send_command(
      *rig->korvane, CMD_MONITORS,
      encode_layout(layout("800x600-800+0,1280x1024+0+0*,1024x768+1280+256,400x256+1280+0"))));
  for (int i = 0; i < 100 && heard.told.back() != "REFUSED 2 255"; ++i)  // after the grace
    host::pump_events(*rig->korvane, 100, std::ref(heard));
  // Three monitors around the primary, then one at scale 200 through CMD_RESIZE.
  ASSERT_TRUE(
      host::send_command(*rig->korvane, CMD_MONITORS,
                         encode_layout(layout("800x600-800+0,1280x1024+0+0*,1024x768+1280+256"))));
  ASSERT_TRUE(pump_until_line(*rig, std::regex("^DISP painted"), 20000, std::ref(heard)))
      << server_log(*rig);
  const auto size = encode_size(1600, 900);
  std::vector<uint8_t> resize(size.begin(), size.end());
  append_u32(resize, 200);  // a browser's devicePixelRatio of 2
  append_u32(resize, 200);
  ASSERT_TRUE(host::send_command(*rig->korvane, CMD_RESIZE, resize));
  const auto end = host::finish_session(*rig->korvane, 30000, std::ref(heard), false);
  EXPECT_TRUE(end.disconnected) << korvane_stderr(*rig);

  EXPECT_EQ(lines_starting(*rig, "DISP "),
            (std::vector<std::string>{
                "DISP open max_monitors=3 max_width=8192 max_height=8192",
                "DISP layout count=3 width=3104 height=1024",
                "DISP monitor i=0 left=-800 top=0 width=800 height=600 primary=0 physical=0x0 "
                "orientation=0 scale=100/100",
                "DISP monitor i=1 left=0 top=0 width=1280 height=1024 primary=1 physical=0x0 "
                "orientation=0 scale=100/100",
                "DISP monitor i=2 left=1280 top=256 width=1024 height=768 primary=0 physical=0x0 "
                "orientation=0 scale=100/100",
                "DISP painted width=3104 height=1024 seed=0x0C200400",
                "DISP layout count=1 width=1600 height=900",
                "DISP monitor i=0 left=0 top=0 width=1600 height=900 primary=1 physical=0x0 "
                "orientation=0 scale=200/180",
                "DISP painted width=1600 height=900 seed=0x06400384"}))
      << server_log(*rig);
  // The layout before the first picture; each change's after its one EVT_RESIZE.
  EXPECT_EQ(heard.told,
            (std::vector<std::string>{
                "MONITORS 1280x1024+0+0*,1024x768+1280+0", "RECT", "REFUSED 8 1", "REFUSED 9 1",
                "REFUSED 5 255", "REFUSED 6 0", "REFUSED 2 255", "RESIZE 3104x1024",
                "MONITORS 800x600+0+0,1280x1024+800+0*,1024x768+2080+256", "RECT",
                "RESIZE 1600x900", "MONITORS 1600x900+0+0*", "RECT"}));
  const std::string reference = test::read_file(path);
  ASSERT_EQ(reference.size(), size_t{1600} * 900 * 4) << server_log(*rig);
  EXPECT_EQ(first_difference(reference, heard.canvas), "");
}

}  // namespace
