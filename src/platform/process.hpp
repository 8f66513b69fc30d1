// What the operating system needs set up once, first thing in main, before any thread starts.
#pragma once

namespace korvane {

// Allocator arenas on Linux; Winsock on Windows. False when the process cannot run at all.
bool process_init();

}  // namespace korvane
