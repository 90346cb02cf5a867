// Internals of the patch engine, shared by its units and the fuzz targets.
// Not exported.
#pragma once

#include <cstddef>
#include <cstdint>

#include "deltafold/deltafold.h"

// A new empty list whose array holds capacity fragments (at least 1), or
// null when memory runs out. Two allocations: the header and the array.
fragment_list* deltafold_newlist(size_t capacity) noexcept;
