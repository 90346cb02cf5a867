// Keyed line hash: a polynomial in a secret point modulo the prime 2^61 - 1,
// over 7-byte chunks of the line, then a keyed 64-bit finaliser.
//
// Why this form: two distinct lines of at most L chunks collide before the
// finaliser for at most L of the 2^61 - 1 possible points (their difference
// is a non-zero polynomial of degree L), so whatever lines an attacker
// writes, without the key a collision is a matter of chance. It costs one
// 64x64-bit multiply per 7 bytes, far fewer instructions than the defined
// hash's rotate and add per byte. Chunks are 7 bytes so that every chunk
// value lies below the prime and distinct chunks stay distinct.
#include "linesift_hash.h"

#include <cerrno>
#include <cstring>
#include <ctime>

#include <sys/random.h>

namespace linesift_detail {

namespace {

constexpr uint64_t kPrime = (uint64_t{1} << 61) - 1;

struct hash_key {
    uint64_t point;  // in [1, 2^61 - 2]
    uint64_t mask;   // xored in before the finaliser
};

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
        if (n > 0) {
            got += static_cast<size_t>(n);
        } else if (n < 0 && errno != EINTR) {
            break;
        }
    }
    if (got < sizeof words) {
        timespec ts{};
        clock_gettime(CLOCK_MONOTONIC, &ts);
        words[0] ^= static_cast<uint64_t>(ts.tv_nsec) * 0x9E3779B97F4A7C15ull ^
                    reinterpret_cast<uintptr_t>(&words);
        words[1] ^= static_cast<uint64_t>(ts.tv_sec) * 0xC2B2AE3D27D4EB4Full ^
                    reinterpret_cast<uintptr_t>(&draw_key);
    }
    hash_key k;
    k.point = words[0] % (kPrime - 1) + 1;
    k.mask = words[1];
    return k;
}

// Written once, on first use (the compiler guards the initialisation), and
// only read afterwards.
const hash_key& key() noexcept
{
    static const hash_key k = draw_key();
    return k;
}

// x * r modulo 2^61 - 1, for x < 2^63 and r < 2^61; the result is below
// 2^61 + 8, congruent but not always fully reduced, which is all the chain
// of steps needs.
inline uint64_t mul_mod(uint64_t x, uint64_t r) noexcept
{
    const unsigned __int128 m = static_cast<unsigned __int128>(x) * r;
    const uint64_t lo = static_cast<uint64_t>(m) & kPrime;
    const uint64_t hi = static_cast<uint64_t>(m >> 61);
    const uint64_t s = lo + hi;
    return (s & kPrime) + (s >> 61);
}

// Eight bytes with the first one lowest, whatever the byte order, so the
// low 56 bits are always the chunk's 7 bytes.
inline uint64_t load8(const unsigned char* p) noexcept
{
    uint64_t w;
    std::memcpy(&w, p, 8);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    w = __builtin_bswap64(w);
#endif
    return w;
}

inline uint64_t finish(uint64_t h) noexcept
{
    h ^= h >> 33;
    h *= 0xFF51AFD7ED558CCDull;
    h ^= h >> 33;
    h *= 0xC4CEB9FE1A85EC53ull;
    h ^= h >> 33;
    return h;
}

}  // namespace

uint32_t keyed_hash(const char* begin, int64_t length) noexcept
{
    const hash_key& k = key();
    const auto* p = reinterpret_cast<const unsigned char*>(begin);
    const uint64_t low56 = (uint64_t{1} << 56) - 1;
    uint64_t h = 0;
    int64_t left = length;
    // Whole 8-byte loads while they stay inside the line; 7 bytes used each.
    while (left >= 8) {
        h = mul_mod(h + (load8(p) & low56), k.point);
        p += 7;
        left -= 7;
    }
    if (left > 0) {
        unsigned char tail[8] = {0, 0, 0, 0, 0, 0, 0, 0};
        std::memcpy(tail, p, static_cast<size_t>(left));
        h = mul_mod(h + load8(tail), k.point);
    }
    // The length ends the polynomial, so zero padding of the last chunk
    // cannot make lines of different lengths alike.
    h = mul_mod(h + static_cast<uint64_t>(length), k.point);
    return static_cast<uint32_t>(finish(h ^ k.mask) >> 32);
}

}  // namespace linesift_detail
