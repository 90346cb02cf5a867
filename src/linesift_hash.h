// Keyed line hash of the matching engine. Internal: not exported.
//
// Class assignment indexes its table by this hash, never by the defined
// rotate-and-add hash that linesift_splitlines stores: distinct lines with
// one defined hash are easy to build, and they would all share one probe
// run. The key is drawn once per process, so such lines cannot be computed
// in advance for this hash.
#pragma once

#include <cstdint>

namespace linesift_detail {

// 32-bit keyed hash of a line's bytes. Equal lines always hash equal; for
// two distinct lines, over the random key, the chance of equal values is
// about 2^-32. Thread-safe; the first call draws the key.
uint32_t keyed_hash(const char* begin, int64_t length) noexcept;

}  // namespace linesift_detail
