#include "session/session.hpp"

int main() { return korvane::session_main(); }
