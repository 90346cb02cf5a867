// Engine allocation. Every engine allocation goes through these, so a test
// build can make chosen allocations fail; in a normal build they are the
// C library's functions and cost nothing.
#pragma once

#include <cstddef>
#include <cstdlib>

namespace qv {

inline void* mem_alloc(std::size_t n) noexcept { return std::malloc(n); }
inline void* mem_calloc(std::size_t n, std::size_t size) noexcept
{
    return std::calloc(n, size);
}
inline void* mem_realloc(void* p, std::size_t n) noexcept
{
    return std::realloc(p, n);
}
inline void mem_free(void* p) noexcept { std::free(p); }

}  // namespace qv
