// Internals shared by the two halves of the patch engine. Not exported.
#pragma once

#include <cstddef>

#include "deltafold.h"

// A new empty list whose array holds capacity fragments (at least 1), or
// null when memory runs out. Two allocations: the header and the array.
fragment_list* deltafold_newlist(size_t capacity) noexcept;
