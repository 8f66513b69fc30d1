// The remote cursor for hosts that asked for it: the library's pointer callbacks (main thread)
// become cursor events, and the host may ask for the current state again (input thread).
#pragma once

#include <freerdp/freerdp.h>

namespace korvane {

// Registers korvane's pointer with the library. Called by post_connect, after the renderer is set
// up, only when the host was granted the cursor.
void cursor_register(rdpContext* context);

// Sends the current shape and state again (CMD_CURSOR_STATE): the default arrow when the server
// has set none yet.
void cursor_resend();

// Forgets every shape: the next session starts empty.
void cursor_reset();

}  // namespace korvane
