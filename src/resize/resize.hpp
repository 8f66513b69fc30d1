// Host-driven resize: CMD_RESIZE requests, coalesced (resize_policy.hpp), become one monitor layout
// on the display control channel; a server without that channel gets the host an EVT_RESIZE_REFUSED
// instead.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

#include <freerdp/client/disp.h>

namespace korvane {

// Main thread: start before the input thread can deliver requests, stop before the context is
// released. Only for a host that was granted resize; requests are ignored otherwise.
void resize_start();
void resize_stop();

// Input thread: the host's latest wish replaces any earlier one still waiting.
void resize_request(uint32_t width, uint32_t height);

// Main thread: the connection is up (requests wait for it), and the desktop's size whenever it
// changes (a request for the size the desktop has changes nothing).
void resize_connection_up();
void resize_note_desktop(uint32_t width, uint32_t height);

// Main thread, the event loop (session/deadlines.hpp): when resize_tick has something to do
// next, and doing it (the layout to the channel, or the refusal to the host).
std::optional<std::chrono::steady_clock::time_point> resize_deadline();
void resize_tick();

// Channel-event thread: the display control channel came and went.
void disp_attach(DispClientContext* disp);
void disp_detach();

}  // namespace korvane
