// Internal helpers shared by the engine's source files.
#pragma once

#include <cstring>

#include "linesift.h"

namespace linesift_detail {

// Full line equality: hash, then length, then the bytes. The cheap tests
// come first because most unequal lines already differ in their hash.
inline bool lines_equal(const line_record& x, const line_record& y) noexcept
{
    return x.hash == y.hash && x.length == y.length &&
           std::memcmp(x.begin, y.begin, static_cast<size_t>(x.length)) == 0;
}

}  // namespace linesift_detail
