// Graphics-pipeline hooks: H.264 surface commands go to the host undecoded as EVT_H264, in
// desktop coordinates; everything else is left to the renderer and reaches the host as EVT_RECT.
#pragma once

#include <freerdp/client/rdpgfx.h>
#include <freerdp/freerdp.h>

namespace korvane {

// Called from the library's channel events, on whatever thread publishes them.
void gfx_attach(rdpContext* context, RdpgfxClientContext* gfx);
void gfx_detach(rdpContext* context);

UINT surface_command_hook(RdpgfxClientContext* gfx, const RDPGFX_SURFACE_COMMAND* command);
UINT map_surface_to_output_hook(RdpgfxClientContext* gfx,
                                const RDPGFX_MAP_SURFACE_TO_OUTPUT_PDU* pdu);
UINT update_surfaces_hook(RdpgfxClientContext* gfx);
UINT reset_graphics_hook(RdpgfxClientContext* gfx, const RDPGFX_RESET_GRAPHICS_PDU* pdu);
UINT caps_confirm_hook(RdpgfxClientContext* gfx, const RDPGFX_CAPS_CONFIRM_PDU* pdu);

// Forgets every surface origin (start-up; surfaces otherwise keep their slots for the whole
// process, across detach and re-attach).
void gfx_reset_surfaces();

}  // namespace korvane
