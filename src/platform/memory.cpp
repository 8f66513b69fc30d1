#include "platform/memory.hpp"

#include <malloc.h>

namespace korvane {

void return_free_memory() { malloc_trim(0); }

}  // namespace korvane
