// Folders of korvane's own in the system's temporary directory.
#pragma once

#include <string>

namespace korvane {

// Creates a new folder, readable only by this user, in the temporary directory (TMPDIR, or
// the system's) and returns its path; empty when none could be made.
std::string make_private_dir(const char* prefix);

// Removes the folder and everything in it, without following links.
void remove_private_dir(const std::string& path);

}  // namespace korvane
