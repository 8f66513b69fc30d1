// The FreeRDP command line korvane builds from a connect request.
#pragma once

#include <string>
#include <vector>

#include "host_link/protocol.hpp"

namespace korvane {

// The password never goes into the list: it is set directly on the settings, so it cannot
// show up in the library's logging of the command line.
std::vector<std::string> build_connect_args(const ConnectParams& params);

}  // namespace korvane
