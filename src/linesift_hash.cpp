// The process's key of the keyed line hash.
#include "linesift_hash.h"

#include <cerrno>
#include <ctime>

#include <sys/random.h>

namespace linesift_detail {

namespace {

// Draws the key from the kernel's generator. If that is unavailable (a
// kernel without getrandom), the clock and the addresses that layout
// randomisation gives us are the last resort: weaker, but still unknown
// to someone who only writes the input.
hash_key draw_key() noexcept
{
    uint64_t words[2] = {0, 0};
    size_t got = 0;
    while (got < sizeof words) {
        const ssize_t n = getrandom(reinterpret_cast<char*>(words) + got,
                                    sizeof words - got, 0);
        if (n > 0)
            got += static_cast<size_t>(n);
        else if (n < 0 && errno != EINTR)
            break;
    }
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

}  // namespace

const hash_key& process_key() noexcept
{
    // Written once, on first use (the compiler guards the initialisation),
    // and only read afterwards.
    static const hash_key k = draw_key();
    return k;
}

}  // namespace linesift_detail
