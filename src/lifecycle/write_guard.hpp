// Keeps what a server said before it closed the connection readable. A server that ends a
// session sends its reason (error info, then the disconnect ultimatum) and closes; korvane may
// still be reading what came before, with channel replies queued. The library takes a failed
// write for a dead connection and stops reading, and the reason is lost: the host would hear
// "server shut down" instead of "logged off" whenever korvane lags (a loaded machine, a slow
// host, Windows under Wine). Writes to a server that has closed are skipped instead (it reads
// nothing more), and the connection ends when the reading reaches the end.
#pragma once

#include <freerdp/freerdp.h>

namespace korvane {

// Wraps the library's transport for this context: records the server's socket at each
// connection and skips writes once the server has closed it. Call before connecting.
bool write_guard_install(rdpContext* context);

// Forgets the socket (after the library closed it). Main thread.
void write_guard_reset();

}  // namespace korvane
