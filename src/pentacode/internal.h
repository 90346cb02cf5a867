// Internals of the pentacode engine, shared by its units and the fuzz
// target: the alphabet and its tables, the kernels and the paths that chain
// them. Not for the module layer, which uses pentacode.h.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "pentacode/pentacode.h"

namespace pentacode_detail {

// The 85 digits in order of value.
inline constexpr char kChars[86] =
    "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ"
    "abcdefghijklmnopqrstuvwxyz!#$%&()*+-;<=>?@^_`{|}~";

constexpr int digit_of(int c)
{
    for (int d = 0; d < 85; ++d)
        if (kChars[d] == c)
            return d;
    return -1;
}

// Digit value + 1 for each alphabet byte, 0 for every other byte.
inline constexpr std::array<int8_t, 256> kDec = [] {
    std::array<int8_t, 256> t{};
    for (int c = 0; c < 256; ++c)
        t[size_t(c)] = int8_t(digit_of(c) + 1);
    return t;
}();

// The largest value of four digits that a fifth can still follow without
// passing 0xFFFFFFFF ('|NsC').
inline constexpr uint32_t kMaxPrefix = 0x03030303u;  // 0xFFFFFFFF / 85

}  // namespace pentacode_detail

// A kernel converts a prefix of `groups` whole groups and returns how many
// groups it converted.
//   Encoders: 4 bytes to 5 characters each; they may leave a tail of fewer
//   groups than their block for the next kernel.
//   Decoders: 5 characters to 4 bytes each. A vector decoder stops before a
//   block that holds a character outside the alphabet or a group above
//   0xFFFFFFFF; the scalar decoder stops at that very group, which is then
//   group number <return value>. A vector decoder may also write bytes of
//   the groups after those it reports (never past dst + 4 * groups); the
//   next kernel writes them again.
using pentacode_kernel = size_t (*)(const uint8_t* src, size_t groups,
                                    uint8_t* dst) noexcept;

// One way to run the codec: kernels to try in order, widest first, each
// taking over where the previous one stopped. Every chain ends with the
// scalar kernel, which converts whatever is left.
struct pentacode_path {
    const char* name;            // "scalar", "avx2" or "avx512"
    pentacode_kernel encode[4];  // null-terminated
    pentacode_kernel decode[4];  // null-terminated
};

size_t pentacode_encode_scalar(const uint8_t*, size_t, uint8_t*) noexcept;
size_t pentacode_decode_scalar(const uint8_t*, size_t, uint8_t*) noexcept;
// The vector kernels exist on x86-64 only (g++ or clang); elsewhere, or when
// built with -DPENTACODE_PORTABLE_ONLY, the portable kernels are all there is.
#if defined(__x86_64__) && defined(__GNUC__) && \
    !defined(PENTACODE_PORTABLE_ONLY)
#define PENTACODE_X86 1
size_t pentacode_encode_avx2(const uint8_t*, size_t, uint8_t*) noexcept;
size_t pentacode_decode_avx2(const uint8_t*, size_t, uint8_t*) noexcept;
size_t pentacode_encode_avx512(const uint8_t*, size_t, uint8_t*) noexcept;
size_t pentacode_decode_avx512(const uint8_t*, size_t, uint8_t*) noexcept;
#endif
