// Host-driven resize: CMD_RESIZE and CMD_MONITORS requests, coalesced (resize_policy.hpp), become
// a monitor layout on the display control channel; a server without that channel gets the host an
// EVT_RESIZE_REFUSED or EVT_MONITORS_REFUSED instead. A host granted monitors is told the layout
// the server took (EVT_MONITORS) after EVT_CONNECTED and after each change.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

#include <freerdp/client/disp.h>
#include <freerdp/settings_types.h>

#include "host_link/monitors.hpp"

namespace korvane {

// Main thread: start before the input thread can deliver requests, stop before the context is
// released. Only for a host that was granted resize or monitors; requests are ignored
// otherwise. `layout` and `scale` are what the connection asks for (empty: one monitor at 100).
void resize_start(bool monitors, const Scale& scale, const MonitorLayout& layout);
void resize_stop();

// Input thread: the host's latest wish replaces any earlier one still waiting. The scale is
// clamped, the layout checked (monitors_problem) and clamped.
void resize_request(uint32_t width, uint32_t height, const Scale& scale);
void monitors_request(MonitorLayout layout);

// Main thread: the connection is up (requests wait for it), EVT_CONNECTED is out with the
// desktop's size, and the desktop's size whenever it changes, once EVT_RESIZE is out (a request
// for the size the desktop has changes nothing).
void resize_connection_up();
void monitors_connected(uint32_t width, uint32_t height);
void resize_note_desktop(uint32_t width, uint32_t height);
// Main or channel thread: the server's own word on its monitors (its monitor layout PDU, or the
// graphics pipeline's reset), edges inclusive as the protocol has them.
void monitors_server_said(uint32_t count, const MONITOR_DEF* defs);

// Main thread, the event loop (session/deadlines.hpp): when resize_tick has something to do
// next, and doing it (the layout to the channel, or the refusal to the host).
std::optional<std::chrono::steady_clock::time_point> resize_deadline();
void resize_tick();

// Channel-event thread: the display control channel came and went.
void disp_attach(DispClientContext* disp);
void disp_detach();

}  // namespace korvane
