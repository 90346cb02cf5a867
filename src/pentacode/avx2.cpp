// AVX2 kernels of the pentacode engine. Only the functions marked QV_AVX2
// use AVX2; the file builds with the baseline flags, and nothing here runs
// unless the CPU has AVX2 and FMA (pentacode_select checks).
#include "pentacode/internal.h"

#ifdef PENTACODE_X86
#include "pentacode/simd.h"

#include <immintrin.h>

#include <cstring>

#define QV_AVX2 __attribute__((target("avx2,fma")))

namespace {

using Wide = pentacode_simd::Wide<32>;
using pentacode_simd::widen;
constexpr pentacode_simd::WideTables<32> kWide{};

QV_AVX2 inline __m256i load(const Wide& w) noexcept
{
    return _mm256_load_si256(reinterpret_cast<const __m256i*>(w.b));
}

// Digits (0-84, one per byte) to their characters.
QV_AVX2 inline __m256i to_chars(__m256i d) noexcept
{
    const __m256i seven = _mm256_set1_epi8(7), six = _mm256_set1_epi8(6);
    __m256i r = _mm256_add_epi8(d, _mm256_set1_epi8('0'));
    r = _mm256_add_epi8(
        r, _mm256_and_si256(_mm256_cmpgt_epi8(d, _mm256_set1_epi8(9)), seven));
    r = _mm256_add_epi8(
        r, _mm256_and_si256(_mm256_cmpgt_epi8(d, _mm256_set1_epi8(35)), six));
    // Punctuation: index d - 62 into the first table (kept below 0x80 only
    // for 0-15 by the saturating add) or d - 78 into the second (negative,
    // so zero, below 78).
    const __m256i t = _mm256_sub_epi8(d, _mm256_set1_epi8(62));
    const __m256i lo = _mm256_shuffle_epi8(
        load(kWide.punct_lo), _mm256_adds_epu8(t, _mm256_set1_epi8(0x70)));
    const __m256i hi = _mm256_shuffle_epi8(
        load(kWide.punct_hi), _mm256_sub_epi8(t, _mm256_set1_epi8(16)));
    return _mm256_blendv_epi8(r, _mm256_or_si256(lo, hi),
                              _mm256_cmpgt_epi8(d, _mm256_set1_epi8(61)));
}

// Characters to digits (garbage for bytes outside the alphabet); *bad gets
// 0xFF in those bytes.
QV_AVX2 inline __m256i to_digits(__m256i c, __m256i* bad) noexcept
{
    const __m256i nib = _mm256_set1_epi8(0x0F);
    const __m256i hi = _mm256_and_si256(_mm256_srli_epi16(c, 4), nib);
    const __m256i lo = _mm256_and_si256(c, nib);
    const __m256i ok =
        _mm256_and_si256(_mm256_shuffle_epi8(load(kWide.row_bit), hi),
                         _mm256_shuffle_epi8(load(kWide.col_mask), lo));
    *bad = _mm256_cmpeq_epi8(ok, _mm256_setzero_si256());
    const __m256i above =
        _mm256_cmpgt_epi8(lo, _mm256_shuffle_epi8(load(kWide.split), hi));
    __m256i off = _mm256_add_epi8(
        _mm256_shuffle_epi8(load(kWide.off_low), hi),
        _mm256_and_si256(above,
                         _mm256_shuffle_epi8(load(kWide.off_step), hi)));
    const __m256i row2 =
        _mm256_or_si256(lo, _mm256_shuffle_epi8(load(kWide.row2_gate), hi));
    off =
        _mm256_add_epi8(off, _mm256_shuffle_epi8(load(kWide.row2_off), row2));
    return _mm256_add_epi8(c, off);
}

// The digits of eight groups (32 bytes): *top gets digit 0 of each group in
// the group's low byte (other bytes 0); the result holds the characters of
// digits 3, 4, 1, 2 in each group's four bytes.
QV_AVX2 inline __m256i digits8(const uint8_t* src, __m256i* top) noexcept
{
    static constexpr Wide kBswapW = widen<32>(pentacode_simd::kEncBswap);
    const __m256i v = _mm256_shuffle_epi8(
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src)),
        load(kBswapW));

    // q = v / 85^2 exactly, by 32x32->64 multiplies on even and odd lanes.
    const __m256i m = _mm256_set1_epi32(int(pentacode_simd::kDiv7225));
    const __m256i pe = _mm256_mul_epu32(v, m);
    const __m256i po = _mm256_mul_epu32(_mm256_srli_epi64(v, 32), m);
    const __m256i q = _mm256_blend_epi32(_mm256_srli_epi64(pe, 44),
                                         _mm256_srli_epi64(po, 12), 0xAA);
    const __m256i k7225 = _mm256_set1_epi32(7225);
    const __m256i r1 = _mm256_sub_epi32(v, _mm256_mullo_epi32(q, k7225));
    // Top digit = q / 85^2 (q < 594451): exact in single precision once
    // biased by half a step, since the quotient's fraction is then at least
    // 0.5 / 7225 away from an integer, far above the rounding error.
    const __m256i d0 = _mm256_cvttps_epi32(
        _mm256_fmadd_ps(_mm256_cvtepi32_ps(q), _mm256_set1_ps(1.0f / 7225),
                        _mm256_set1_ps(0.5f / 7225)));
    // d0 < 2^15 and its high half is 0: one 16-bit multiply-add is d0*7225.
    const __m256i r2 = _mm256_sub_epi32(q, _mm256_madd_epi16(d0, k7225));
    *top = d0;

    // r2 (digits 1, 2) and r1 (digits 3, 4) in the two halves of a lane.
    const __m256i w = _mm256_or_si256(r1, _mm256_slli_epi32(r2, 16));
    const __m256i div85 = _mm256_set1_epi16(int16_t(pentacode_simd::kDiv85));
    const __m256i wq = _mm256_srli_epi16(_mm256_mulhi_epu16(w, div85), 4);
    const __m256i wr =
        _mm256_sub_epi16(w, _mm256_mullo_epi16(wq, _mm256_set1_epi16(85)));
    return to_chars(_mm256_or_si256(wq, _mm256_slli_epi16(wr, 8)));
}

// Writes the 40 characters of eight groups. `c0` holds the characters of
// their top digits at byte `at` (0 or 1) of each group.
QV_AVX2 inline void store8(uint8_t* dst, __m256i ch, __m256i c0,
                           int at) noexcept
{
    // Per 128-bit lane (four groups): its first 16 characters, then 4.
    using pentacode_simd::kEncTop;
    static constexpr Wide kHeadW = widen<32>(pentacode_simd::kEncHead);
    static constexpr Wide kTailW = widen<32>(pentacode_simd::kEncTail);
    static constexpr Wide kTopW[2] = {widen<32>(kEncTop[0]),
                                      widen<32>(kEncTop[1])};
    const __m256i head =
        _mm256_or_si256(_mm256_shuffle_epi8(ch, load(kHeadW)),
                        _mm256_shuffle_epi8(c0, load(kTopW[at])));
    const __m256i tail = _mm256_shuffle_epi8(ch, load(kTailW));
    const int t0 = _mm256_cvtsi256_si32(tail);
    const int t1 = _mm_cvtsi128_si32(_mm256_extracti128_si256(tail, 1));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst),
                     _mm256_castsi256_si128(head));
    std::memcpy(dst + 16, &t0, 4);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 20),
                     _mm256_extracti128_si256(head, 1));
    std::memcpy(dst + 36, &t1, 4);
}

}  // namespace

// Sixteen groups a step where it can, so that the top digits of both
// halves share one translation to characters; then eight.
QV_AVX2 size_t pentacode_encode_avx2(const uint8_t* src, size_t groups,
                                     uint8_t* dst) noexcept
{
    size_t g = 0;
    __m256i top_a, top_b;
    for (; g + 16 <= groups; g += 16) {
        const __m256i a = digits8(src + 4 * g, &top_a);
        const __m256i b = digits8(src + 4 * g + 32, &top_b);
        const __m256i c0 =
            to_chars(_mm256_or_si256(top_a, _mm256_slli_epi32(top_b, 8)));
        store8(dst + 5 * g, a, c0, 0);
        store8(dst + 5 * g + 40, b, c0, 1);
    }
    if (g + 8 <= groups) {
        const __m256i a = digits8(src + 4 * g, &top_a);
        store8(dst + 5 * g, a, to_chars(top_a), 0);
        g += 8;
    }
    return g;
}

// Each 128-bit lane takes three groups: 15 characters, and a 16th byte (the
// next group's first) that is loaded and ignored. One step reads 31 bytes
// and stores 32 (24 of them final), so it runs while 8 groups remain: the
// 2 beyond cover the extra byte read and the 8 extra bytes stored.
QV_AVX2 size_t pentacode_decode_avx2(const uint8_t* src, size_t groups,
                                     uint8_t* dst) noexcept
{
    static constexpr Wide kQuadW = widen<32>(pentacode_simd::kDecQuad);
    static constexpr Wide kLastW = widen<32>(pentacode_simd::kDecLast);
    static constexpr Wide kWeightsW = widen<32>(pentacode_simd::kDecWeights);
    static constexpr Wide kBswapW = widen<32>(pentacode_simd::kDecBswap);
    const __m256i pair_w = _mm256_set1_epi32(7225 | 1 << 16);
    const __m256i one = _mm256_set1_epi32(1);
    const __m256i max_prefix = _mm256_set1_epi32(0x03030303);
    const __m256i pack = _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 3, 7);

    size_t g = 0;
    for (; g + 8 <= groups; g += 6) {
        const uint8_t* p = src + 5 * g;
        const __m256i c = _mm256_inserti128_si256(
            _mm256_castsi128_si256(
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(p))),
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 15)), 1);
        __m256i bad;
        const __m256i d = to_digits(c, &bad);
        // Digits 0-3 of a group make v4 = d0*85^3 + d1*85^2 + d2*85 + d3
        // through two multiply-adds; digit 4 sits alone in its lane.
        const __m256i v4 = _mm256_madd_epi16(
            _mm256_maddubs_epi16(_mm256_shuffle_epi8(d, load(kQuadW)),
                                 load(kWeightsW)),
            pair_w);
        const __m256i d4 = _mm256_shuffle_epi8(d, load(kLastW));
        // Five digits stay within 32 bits exactly when
        // v4 * 85 + d4 <= 0xFFFFFFFF = 0x03030303 * 85, that is when
        // v4 + (d4 != 0) <= 0x03030303.
        const __m256i over = _mm256_cmpgt_epi32(
            _mm256_add_epi32(v4, _mm256_min_epu32(d4, one)), max_prefix);
        const unsigned faults =
            (unsigned(_mm256_movemask_epi8(bad)) & 0x7FFF7FFFu) |
            unsigned(_mm256_movemask_epi8(over));
        if (faults != 0)
            break;  // the scalar kernel finds the exact group
        const __m256i v = _mm256_add_epi32(
            _mm256_mullo_epi32(v4, _mm256_set1_epi32(85)), d4);
        const __m256i out = _mm256_permutevar8x32_epi32(
            _mm256_shuffle_epi8(v, load(kBswapW)), pack);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + 4 * g), out);
    }
    return g;
}

#endif  // PENTACODE_X86
