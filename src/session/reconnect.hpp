// Reconnection after a dropped connection, for hosts that asked for it (EXT_RECONNECT): the same
// parameters, the host's number of attempts with a growing wait, EVT_RECONNECT at each step.
#pragma once

#include <freerdp/freerdp.h>

namespace korvane {

enum class ReconnectOutcome {
  not_wanted,   // the host did not ask, or the session ended in a way not to be undone
  reconnected,  // the session is back: run the event loop again
  gave_up,      // every attempt failed, or one failed for good; EVT_RECONNECT said so
  stopped,      // the host asked to disconnect meanwhile
};

// Main thread, after the event loop ended. Sends EVT_RECONNECT as it goes; on reconnected the
// host has had the desktop size, the whole picture and the cursor again, and input flows again.
ReconnectOutcome reconnect_session(rdpContext* context, bool& timed_out);

}  // namespace korvane
