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

// What the session driver does around a reconnection, with what only it reaches.
struct ReconnectHooks {
  // Before the connection is taken down to be made again: input is held.
  void (*connection_down)();
  // Once it is back: the host gets its picture of the session again and input flows again.
  void (*session_back)(rdpContext* context);
};

// Main thread, after the event loop ended. Sends EVT_RECONNECT as it goes, and calls the hooks.
ReconnectOutcome reconnect_session(rdpContext* context, const ReconnectHooks& hooks,
                                   bool& timed_out);

}  // namespace korvane
