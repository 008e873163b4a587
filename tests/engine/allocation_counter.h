// Counts the calls of the global operator new made by the calling thread, so a test can show
// that a hot path allocates nothing. The replacement lives in allocation_counter.cpp; a test
// program may contain only one replacement of the global operator new.
#pragma once

#include <cstddef>

namespace tarvik::testing {

std::size_t AllocationCount();

}  // namespace tarvik::testing
