// Tables shared by the vector kernels of the pentacode engine, derived from
// the alphabet at compile time and checked against it there.
//
// Digits to characters: 0-61 are three runs ('0', 'A', 'a') that a digit
// reaches by adding '0', then 7 past 9 and 6 past 35. The 23 punctuation
// digits 62-84 have no such pattern; two 16-entry byte shuffles look them
// up (62-77, then 78-84).
//
// Characters to digits: the high nibble picks a row of 16 characters.
// Rows 3-7 each hold at most two runs of digits, split at one low nibble,
// so a row gives an offset below the split and one above it. Row 2 (the
// punctuation '!' to '-') needs its own offset per low nibble. A character
// is in the alphabet when its row bit (by high nibble) and its column mask
// (by low nibble) meet.
#pragma once

#include <cstdint>

#include "pentacode/internal.h"

namespace pentacode_simd {

using pentacode_detail::digit_of;
using pentacode_detail::kChars;

struct Tables {
    // Encoding: characters of digits 62-77 and 78-84.
    uint8_t punct_lo[16] = {};
    uint8_t punct_hi[16] = {};
    // Decoding, by high nibble: row bit, split, offset below or at the
    // split, offset above minus offset below, and 0 for row 2 (0x80 for
    // every other row, which turns the row-2 lookup off).
    uint8_t row_bit[16] = {};
    uint8_t split[16] = {};
    uint8_t off_low[16] = {};
    uint8_t off_step[16] = {};
    uint8_t row2_gate[16] = {};
    // By low nibble: the rows where that column is a digit; row 2 offsets.
    uint8_t col_mask[16] = {};
    uint8_t row2_off[16] = {};
};

constexpr Tables make_tables()
{
    Tables t;
    for (int i = 0; i < 16; ++i) {
        t.punct_lo[i] = uint8_t(kChars[62 + i]);
        t.punct_hi[i] = i < 7 ? uint8_t(kChars[78 + i]) : 0;
        t.split[i] = 15;
        t.row2_gate[i] = i == 2 ? 0 : 0x80;
    }
    for (int h = 2; h < 8; ++h) {
        t.row_bit[h] = uint8_t(1u << (h - 2));
        bool seen = false;
        int low = 0;
        for (int l = 0; l < 16; ++l) {
            const int c = h * 16 + l;
            const int d = digit_of(c);
            if (d < 0)
                continue;
            t.col_mask[l] = uint8_t(t.col_mask[l] | t.row_bit[h]);
            const int off = d - c;
            if (h == 2) {
                t.row2_off[l] = uint8_t(off);
            } else if (!seen) {
                seen = true;
                low = off;
                t.off_low[h] = uint8_t(off);
            } else if (off != low && t.split[h] == 15) {
                t.split[h] = uint8_t(l - 1);
                t.off_step[h] = uint8_t(off - low);
            }
        }
    }
    return t;
}

constexpr Tables kTables = make_tables();

// What the vector code computes for one byte, in scalar form: checked here
// against the alphabet for all 256 bytes, so a wrong table cannot build.
constexpr int simulate_decode(int c)
{
    const Tables& t = kTables;
    const int h = (c >> 4) & 15, l = c & 15;
    if ((t.row_bit[h] & t.col_mask[l]) == 0)
        return -1;
    int off = t.off_low[h];
    if (l > t.split[h])
        off += t.off_step[h];
    const int idx = l | t.row2_gate[h];
    if ((idx & 0x80) == 0)
        off += t.row2_off[idx & 15];
    return (c + off) & 0xFF;
}

constexpr int simulate_encode(int d)
{
    const Tables& t = kTables;
    if (d >= 78)
        return t.punct_hi[d - 78];
    if (d >= 62)
        return t.punct_lo[d - 62];
    return '0' + d + (d > 9 ? 7 : 0) + (d > 35 ? 6 : 0);
}

constexpr bool tables_agree()
{
    for (int c = 0; c < 256; ++c)
        if (simulate_decode(c) != digit_of(c))
            return false;
    for (int d = 0; d < 85; ++d)
        if (simulate_encode(d) != uint8_t(kChars[d]))
            return false;
    return true;
}
static_assert(tables_agree(), "vector tables disagree with the alphabet");

// Byte shuffles of 128 bits, the same in every lane of the AVX2 and AVX-512
// kernels; -1 gives a zero byte.
//
// Encoding. Four big-endian groups to host order:
inline constexpr int8_t kEncBswap[16] = {3,  2,  1, 0, 7,  6,  5,  4,
                                         11, 10, 9, 8, 15, 14, 13, 12};
// The characters of digits 3, 4, 1, 2 of four groups (one per 32 bits) to
// their places: the first 16 characters of the lane (with gaps for the top
// digits), the top digits at byte 0 or 1 of each group, and the last 4.
inline constexpr int8_t kEncHead[16] = {-1, 2, 3,  0,  1,  -1, 6, 7,
                                        4,  5, -1, 10, 11, 8,  9, -1};
inline constexpr int8_t kEncTop[2][16] = {
    {0, -1, -1, -1, -1, 4, -1, -1, -1, -1, 8, -1, -1, -1, -1, 12},
    {1, -1, -1, -1, -1, 5, -1, -1, -1, -1, 9, -1, -1, -1, -1, 13}};
inline constexpr int8_t kEncTail[16] = {14, 15, 12, 13, -1, -1, -1, -1,
                                        -1, -1, -1, -1, -1, -1, -1, -1};
// Decoding, three groups (15 characters) a lane: digits 0-3 of each group,
// weighted 85 and 1 in pairs; digit 4 alone in its 32 bits; and the three
// values back to big-endian bytes.
inline constexpr int8_t kDecQuad[16] = {0,  1,  2,  3,  5,  6,  7,  8,
                                        10, 11, 12, 13, -1, -1, -1, -1};
inline constexpr int8_t kDecLast[16] = {4,  -1, -1, -1, 9,  -1, -1, -1,
                                        14, -1, -1, -1, -1, -1, -1, -1};
inline constexpr int8_t kDecWeights[16] = {85, 1, 85, 1, 85, 1, 85, 1,
                                           85, 1, 85, 1, 85, 1, 85, 1};
inline constexpr int8_t kDecBswap[16] = {3,  2,  1, 0, 7,  6,  5,  4,
                                         11, 10, 9, 8, -1, -1, -1, -1};

// A 16-byte table repeated to fill an N-byte register at compile time, so
// that the loops read it from memory; g++ otherwise broadcasts it again
// inside them, a shuffle each time.
template <int N>
struct alignas(N) Wide {
    uint8_t b[N];
};

template <int N, class T>
constexpr Wide<N> widen(const T (&t)[16])
{
    Wide<N> w{};
    for (int i = 0; i < N; ++i)
        w.b[i] = uint8_t(t[i % 16]);
    return w;
}

template <int N>
struct WideTables {
    Wide<N> punct_lo = widen<N>(kTables.punct_lo);
    Wide<N> punct_hi = widen<N>(kTables.punct_hi);
    Wide<N> row_bit = widen<N>(kTables.row_bit);
    Wide<N> split = widen<N>(kTables.split);
    Wide<N> off_low = widen<N>(kTables.off_low);
    Wide<N> off_step = widen<N>(kTables.off_step);
    Wide<N> row2_gate = widen<N>(kTables.row2_gate);
    Wide<N> col_mask = widen<N>(kTables.col_mask);
    Wide<N> row2_off = widen<N>(kTables.row2_off);
};

// Exact division by 7225 = 85^2 for every 32-bit v: (v * kDiv7225) >> 44.
// (The multiplier overshoots 2^44 / 7225 by 1259 / 7225, and 1259 * 2^32
// < 2^44, so the error never reaches the next integer.)
constexpr uint32_t kDiv7225 = 0x9121B243u;
// Exact division by 85 for x < 7225 with a 16-bit multiply-high:
// (x * 12337) >> 20.
constexpr uint16_t kDiv85 = 12337;

}  // namespace pentacode_simd
