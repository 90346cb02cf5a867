// Allocation faults for test builds (QV_FAULTS=ON) only: a countdown shared
// by every engine of the process makes one chosen allocation fail. It is a
// library of its own, linked by the modules, so that the countdown is one
// for all of them and the modules export nothing they would not otherwise.
#include <atomic>
#include <cstdint>

#include "qv/alloc.h"

namespace {
// Allocations left before the failing one; negative when disarmed. Atomic
// because linesift allocates without the interpreter lock.
std::atomic<int64_t> g_countdown{-1};
}  // namespace

// Makes the n-th engine allocation from now fail (0: the next one), once;
// a negative n disarms.
QV_API void qv_faults_arm(int64_t n) noexcept { g_countdown.store(n); }

// Whether the armed allocation is still to come: 0 once it has failed, or
// when disarmed; 1 while armed.
QV_API int qv_faults_armed() noexcept { return g_countdown.load() >= 0; }

QV_API bool qv_faults_hit() noexcept
{
    int64_t left = g_countdown.load(std::memory_order_relaxed);
    while (left >= 0) {
        if (g_countdown.compare_exchange_weak(left, left - 1))
            return left == 0;
    }
    return false;
}
