// The session driver: the whole life of the process, on the main thread.
#pragma once

namespace korvane {

// Returns the process exit code: 0 after a session that connected and ended, 1 after any
// failure, a host whose output closed included.
int session_main();

}  // namespace korvane
