// Keeps a server inside the redirected folder: every path the server names on the drive is
// checked (drive_path.hpp) before the library's drive device sees it, and refused otherwise.
#pragma once

namespace korvane {

// Puts the check between the library's device redirection and its drive device. Call after the
// client context exists (it installs the library's own add-in provider, which is wrapped) and
// before the add-ins are loaded. Main thread; harmless when called again.
void drive_guard_install();

}  // namespace korvane
