// Internals of the patch engine, shared by its units, the module layer and
// the fuzz targets. Not exported.
#pragma once

#include <cstddef>
#include <cstdint>

#include "deltafold/deltafold.h"

// A new empty list whose array holds capacity fragments (at least 1), or
// null when memory runs out. Two allocations: the header and the array.
fragment_list* deltafold_newlist(size_t capacity) noexcept;

// The size-only reading behind `patchedsize`: walks the headers of a delta
// of len bytes without decoding it or allocating, fields unsigned, and
// tests only the framing and start <= end. On DELTAFOLD_OK *out holds the
// length of the text that applying the delta to srclen bytes yields (which
// may be negative for a delta that does not fit); otherwise
// DELTAFOLD_EDECODE, or DELTAFOLD_ERANGE when that length is beyond 64 bits.
int deltafold_sizeonly(int64_t srclen, const char* bin, int64_t len,
                       int64_t* out) noexcept;
