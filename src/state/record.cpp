#include "state/record.hpp"

namespace korvane {

SessionRecord session;

}  // namespace korvane
