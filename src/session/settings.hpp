// The one place korvane writes the RDP library's settings: a SettingsPlan (settings_plan.hpp),
// each write checked. A refused write is named on stderr and fails the call.
#pragma once

#include <string>

#include <freerdp/freerdp.h>

#include "session/settings_plan.hpp"

namespace korvane {

// The command line. Main thread, once the client context exists, before connecting.
bool apply_command_line(rdpSettings* settings, const SettingsPlan& plan);

// What follows the command line: the password, the profile, then korvane's own. Main thread,
// before connecting. A profile the library cannot take fails it with `problem` saying why
// (empty for a refused write).
bool apply_settings_before_connect(rdpSettings* settings, const SettingsPlan& plan,
                                   std::string& problem);

// What the library takes as the connection starts; from its pre-connect callback (main thread,
// at every connection). config_dir: the private configuration folder when the plan has one.
bool apply_settings_at_connect(rdpSettings* settings, const SettingsPlan& plan,
                               const std::string& config_dir);

}  // namespace korvane
