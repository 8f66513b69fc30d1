// Handing freed memory back to the system, for the moments korvane frees a lot at once.
#pragma once

namespace korvane {

// Returns the allocator's free pages to the system (glibc keeps freed memory in its arenas for
// reuse, and a session that drops tens of MiB of codec buffers would otherwise hold them).
void return_free_memory();

}  // namespace korvane
