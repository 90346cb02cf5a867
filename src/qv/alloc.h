// Engine allocation. Every engine allocation goes through these, so that a
// test build (QV_FAULTS, see faults.cpp) can make a chosen allocation
// fail; in any other build they are the C library's functions and cost
// nothing.
#pragma once

#include <cstddef>
#include <cstdlib>

#ifdef QV_FAULTS
#include "qv/export.h"
// True when this allocation is the one armed to fail (faults.cpp).
QV_API bool qv_faults_hit() noexcept;
#endif

namespace qv {

inline bool fault_injected() noexcept
{
#ifdef QV_FAULTS
    return qv_faults_hit();
#else
    return false;
#endif
}

inline void* mem_alloc(std::size_t n) noexcept
{
    return fault_injected() ? nullptr : std::malloc(n);
}
inline void* mem_calloc(std::size_t n, std::size_t size) noexcept
{
    return fault_injected() ? nullptr : std::calloc(n, size);
}
inline void* mem_realloc(void* p, std::size_t n) noexcept
{
    return fault_injected() ? nullptr : std::realloc(p, n);
}
inline void mem_free(void* p) noexcept { std::free(p); }

}  // namespace qv
