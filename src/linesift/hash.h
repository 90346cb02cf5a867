// Keyed line hash of the matching engine. Internal: not exported.
//
// Class assignment indexes its table by this hash, never by the defined
// rotate-and-add hash that linesift_splitlines stores: distinct lines with
// one defined hash are easy to build, and they would all share one probe
// run. The key is drawn once per process, so such lines cannot be computed
// in advance for this hash.
//
// The hash is a polynomial in a secret point modulo the prime 2^61 - 1 over
// 7-byte chunks of the line, then a multiply that also takes the length.
// Two distinct lines of the same length and at most L chunks agree before
// that step for at most L of the 2^61 - 1 possible points (their
// difference is a non-zero polynomial of degree L); lines of different
// lengths never do, as the step is a bijection of its 64-bit input. So
// whatever lines an attacker writes, without the key a collision is a matter
// of chance. It costs one 64x64-bit multiply per 7 bytes, far fewer
// instructions than the defined hash's rotate and add per byte. Chunks are
// 7 bytes so that every chunk value lies below the prime.
#pragma once

#include <cstdint>
#include <cstring>

namespace linesift_detail {

struct hash_key {
    uint64_t point;  // in [1, 2^61 - 2]
    uint64_t mask;   // mixed in before the finaliser
};

// The process's key: drawn from the kernel's generator on the first call
// (thread-safe), never changed afterwards.
const hash_key& process_key() noexcept;

namespace hash_impl {

constexpr uint64_t kPrime = (uint64_t{1} << 61) - 1;

// x * r modulo 2^61 - 1 for x < 2^63 and r < 2^61. The result is below
// 2^61 + 8: congruent, not always fully reduced, which the chain of steps
// tolerates (equal lines still take identical steps).
inline uint64_t mul_mod(uint64_t x, uint64_t r) noexcept
{
    const unsigned __int128 m = static_cast<unsigned __int128>(x) * r;
    const uint64_t s =
        (static_cast<uint64_t>(m) & kPrime) + static_cast<uint64_t>(m >> 61);
    return (s & kPrime) + (s >> 61);
}

// Loads with the first byte lowest, whatever the byte order.
inline uint64_t load8(const unsigned char* p) noexcept
{
    uint64_t w;
    std::memcpy(&w, p, 8);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    w = __builtin_bswap64(w);
#endif
    return w;
}

inline uint64_t load4(const unsigned char* p) noexcept
{
    uint32_t w;
    std::memcpy(&w, p, 4);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    w = __builtin_bswap32(w);
#endif
    return w;
}

// The n bytes p[0..n), 1 <= n <= 7, as one chunk value, reading nothing
// outside them: two overlapping loads put equal bytes in equal places.
inline uint64_t load_short(const unsigned char* p, int64_t n) noexcept
{
    if (n >= 4)
        return load4(p) | load4(p + n - 4) << (8 * (n - 4));
    return uint64_t{p[0]} | uint64_t{p[n / 2]} << (8 * (n / 2)) |
           uint64_t{p[n - 1]} << (8 * (n - 1));
}

}  // namespace hash_impl

// 32-bit keyed hash of a line's bytes under key k. Equal lines always hash
// equal; for two distinct lines, over the random key, the chance of equal
// values is about 2^-32.
inline uint32_t keyed_hash(const hash_key& k, const char* begin,
                           int64_t length) noexcept
{
    using namespace hash_impl;
    const auto* p = reinterpret_cast<const unsigned char*>(begin);
    constexpr uint64_t low56 = (uint64_t{1} << 56) - 1;
    uint64_t h = 0;
    int64_t left = length;
    // 8-byte loads while they stay inside the line; 7 bytes used each.
    for (; left >= 8; p += 7, left -= 7)
        h = mul_mod(h + (load8(p) & low56), k.point);
    if (left > 0) {
        // The last 1 to 7 bytes: from the line's last 8 bytes when it has
        // that many, so no byte past the line is read.
        const uint64_t w = length >= 8
                               ? load8(p + left - 8) >> (8 * (8 - left))
                               : load_short(p, left);
        h = mul_mod(h + w, k.point);
    }
    // The polynomial's value is already secret and spread by the point, so
    // one multiply suffices to carry its bits, and the length's, into the
    // top 32 bits that index the class table.
    h = (h ^ k.mask ^ static_cast<uint64_t>(length) * 0x9E3779B97F4A7C15ull) *
        0xD6E8FEB86659FD93ull;
    return static_cast<uint32_t>(h >> 32);
}

}  // namespace linesift_detail
