// What gfx.cpp offers other channel files: disp.cpp closes the graphics pipeline across a
// deactivation-reactivation and opens it again afterwards, as some servers do.
//
// These touch state the gfx steps keep on the scenario thread, so they must not run while a gfx
// step does; and the calling thread must end before the on_close hooks run (on_stop).
#pragma once

#include "peer.hpp"

#include <string>

namespace kts {

// Whether gfx-open has opened the pipeline (and nothing closed it since).
bool gfx_pipeline_open(Session& session);
// gfx-close: logs GFX-CLOSED; returns an error text.
std::string gfx_pipeline_close(Session& session);
// gfx-open at the current desktop size: logs GFX-CAPS and GFX-OPEN; returns an error text.
std::string gfx_pipeline_reopen(Session& session);

}  // namespace kts
