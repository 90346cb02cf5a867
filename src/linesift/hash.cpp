// The process's key of the keyed line hash.
#include "linesift/hash.h"

#include <atomic>
#include <cerrno>
#include <ctime>

#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace linesift_detail {

namespace {

// Draws the key from the kernel's generator. If that is unavailable (a
// kernel without getrandom), the clock and the addresses that layout
// randomisation gives us are the last resort: weaker, but still unknown
// to someone who only writes the input. The system call is made directly:
// the C library's wrapper would raise the glibc the wheels require.
hash_key draw_key() noexcept
{
    uint64_t words[2] = {0, 0};
    size_t got = 0;
#ifdef SYS_getrandom
    while (got < sizeof words) {
        const long n =
            syscall(SYS_getrandom, reinterpret_cast<char*>(words) + got,
                    sizeof words - got, 0);
        if (n > 0)
            got += static_cast<size_t>(n);
        else if (n < 0 && errno != EINTR)
            break;
    }
#endif
    if (got < sizeof words) {
        timespec ts{};
        clock_gettime(CLOCK_MONOTONIC, &ts);
        words[0] ^= static_cast<uint64_t>(ts.tv_nsec) * 0x9E3779B97F4A7C15ull ^
                    reinterpret_cast<uintptr_t>(&words);
        words[1] ^= static_cast<uint64_t>(ts.tv_sec) * 0xC2B2AE3D27D4EB4Full ^
                    reinterpret_cast<uintptr_t>(&draw_key);
    }
    return {words[0] % (hash_impl::kPrime - 1) + 1, words[1]};
}

hash_key key;
// 0: not drawn, 1: being drawn, 2: ready. A plain atomic rather than a
// guarded static: the guard's runtime support would raise the glibc the
// wheels require.
std::atomic<int> key_state{0};

}  // namespace

const hash_key& process_key() noexcept
{
    // Written once, on first use, and only read afterwards.
    if (key_state.load(std::memory_order_acquire) == 2)
        return key;
    int expected = 0;
    if (key_state.compare_exchange_strong(expected, 1,
                                          std::memory_order_acquire)) {
        key = draw_key();
        key_state.store(2, std::memory_order_release);
    } else {
        while (key_state.load(std::memory_order_acquire) != 2)
            sched_yield();
    }
    return key;
}

}  // namespace linesift_detail
