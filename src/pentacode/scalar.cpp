// Portable kernels of the pentacode engine: plain C++, any target.
#include "pentacode/internal.h"

using pentacode_detail::kChars;
using pentacode_detail::kDec;
using pentacode_detail::kMaxPrefix;

namespace {

inline uint32_t load_be32(const uint8_t* p) noexcept
{
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) |
           (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

}  // namespace

// On x86-64 g++ also builds an AVX2 clone of the encoder, picked at load
// time when the CPU has it: the blocked digit arithmetic below vectorises
// well with wider registers. (The explicit vector kernels take over on such
// CPUs anyway; the clone keeps this path as fast as it has always been.)
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define QV_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define QV_CLONES
#endif

// We work in blocks of 16 groups and compute all the digits of a block
// before looking any of them up: the divisions are then independent lane by
// lane and the compiler can vectorise them. Each digit comes from one
// division by a power of 85, which the compiler turns into a multiply and
// shift; the top digit is at most 82 and needs no reduction.
QV_CLONES size_t pentacode_encode_scalar(const uint8_t* src, size_t groups,
                                         uint8_t* dst) noexcept
{
    constexpr size_t kBlock = 16;
    size_t i = 0;
    for (; i + kBlock <= groups; i += kBlock) {
        uint32_t v[kBlock];
        uint8_t digit[5][kBlock];
        for (size_t k = 0; k < kBlock; ++k)
            v[k] = load_be32(src + 4 * (i + k));
        for (size_t k = 0; k < kBlock; ++k) {
            digit[0][k] = uint8_t(v[k] / 52200625u);
            digit[1][k] = uint8_t((v[k] / 614125u) % 85u);
            digit[2][k] = uint8_t((v[k] / 7225u) % 85u);
            digit[3][k] = uint8_t((v[k] / 85u) % 85u);
            digit[4][k] = uint8_t(v[k] % 85u);
        }
        uint8_t* out = dst + 5 * i;
        for (size_t k = 0; k < kBlock; ++k)
            for (size_t d = 0; d < 5; ++d)
                out[5 * k + d] = uint8_t(kChars[digit[d][k]]);
    }
    for (; i < groups; ++i) {
        const uint32_t v = load_be32(src + 4 * i);
        uint8_t* out = dst + 5 * i;
        out[0] = uint8_t(kChars[v / 52200625u]);
        out[1] = uint8_t(kChars[(v / 614125u) % 85u]);
        out[2] = uint8_t(kChars[(v / 7225u) % 85u]);
        out[3] = uint8_t(kChars[(v / 85u) % 85u]);
        out[4] = uint8_t(kChars[v % 85u]);
    }
    return groups;
}

size_t pentacode_decode_scalar(const uint8_t* src, size_t groups,
                               uint8_t* dst) noexcept
{
    for (size_t g = 0; g < groups; ++g, src += 5, dst += 4) {
        const int d0 = kDec[src[0]], d1 = kDec[src[1]], d2 = kDec[src[2]],
                  d3 = kDec[src[3]], d4 = kDec[src[4]];
        // One test for the common case; the caller finds the culprit.
        if ((d0 == 0) | (d1 == 0) | (d2 == 0) | (d3 == 0) | (d4 == 0))
            return g;
        uint32_t v = uint32_t(d0 - 1) * 85u + uint32_t(d1 - 1);
        v = v * 85u + uint32_t(d2 - 1);
        v = v * 85u + uint32_t(d3 - 1);
        const uint32_t last = uint32_t(d4 - 1);
        if (v > kMaxPrefix || v * 85u > 0xFFFFFFFFu - last)
            return g;
        const uint32_t w = v * 85u + last;
        dst[0] = uint8_t(w >> 24);
        dst[1] = uint8_t(w >> 16);
        dst[2] = uint8_t(w >> 8);
        dst[3] = uint8_t(w);
    }
    return groups;
}
