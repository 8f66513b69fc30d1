// The gateway's plain HTTP: the page's static files, the target list, POST /session (which
// issues a token), and the upgrade of /ws, which a valid token turns into a tab. On the io thread.
#pragma once

#include "gateway.hpp"

namespace korvane::web {

// Accepts connections until the acceptor closes.
void accept_next(Gateway& g, tcp::acceptor& acceptor);

}  // namespace korvane::web
