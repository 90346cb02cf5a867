// AVX-512 kernels of the pentacode engine: the AVX2 kernels' arithmetic on
// 512-bit registers, with mask registers for the selections and two-source
// permutes to pack the output. Needs AVX-512F and BW only (no VBMI), so it
// runs on every AVX-512 Xeon as well as on AMD Zen 4 and later. Only the
// functions marked QV_AVX512 use it; pentacode_select checks the CPU.
#include "pentacode/internal.h"

#ifdef PENTACODE_X86
#include "pentacode/simd.h"

// g++ 12 warns inside its own AVX-512 headers: their "undefined" registers
// are initialised from themselves on purpose (a known false positive).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>

#define QV_AVX512 __attribute__((target("avx512f,avx512bw,avx2,fma")))

namespace {

using Wide = pentacode_simd::Wide<64>;
using pentacode_simd::widen;
constexpr pentacode_simd::WideTables<64> kWide{};

QV_AVX512 inline __m512i load(const Wide& w) noexcept
{
    return _mm512_load_si512(w.b);
}

// Digits (0-84, one per byte) to their characters.
QV_AVX512 inline __m512i to_chars(__m512i d) noexcept
{
    __m512i r = _mm512_add_epi8(d, _mm512_set1_epi8('0'));
    const __mmask64 past9 = _mm512_cmpgt_epi8_mask(d, _mm512_set1_epi8(9));
    const __mmask64 past35 = _mm512_cmpgt_epi8_mask(d, _mm512_set1_epi8(35));
    r = _mm512_mask_add_epi8(r, past9, r, _mm512_set1_epi8(7));
    r = _mm512_mask_add_epi8(r, past35, r, _mm512_set1_epi8(6));
    const __m512i t = _mm512_sub_epi8(d, _mm512_set1_epi8(62));
    r = _mm512_mask_shuffle_epi8(
        r, _mm512_cmpgt_epi8_mask(d, _mm512_set1_epi8(61)),
        load(kWide.punct_lo), t);
    return _mm512_mask_shuffle_epi8(
        r, _mm512_cmpgt_epi8_mask(d, _mm512_set1_epi8(77)),
        load(kWide.punct_hi), _mm512_sub_epi8(t, _mm512_set1_epi8(16)));
}

// Characters to digits (garbage for bytes outside the alphabet); *bad gets
// a bit for each of those bytes.
QV_AVX512 inline __m512i to_digits(__m512i c, __mmask64* bad) noexcept
{
    const __m512i nib = _mm512_set1_epi8(0x0F);
    const __m512i hi = _mm512_and_si512(_mm512_srli_epi16(c, 4), nib);
    const __m512i lo = _mm512_and_si512(c, nib);
    *bad =
        _mm512_testn_epi8_mask(_mm512_shuffle_epi8(load(kWide.row_bit), hi),
                               _mm512_shuffle_epi8(load(kWide.col_mask), lo));
    const __mmask64 above =
        _mm512_cmpgt_epi8_mask(lo, _mm512_shuffle_epi8(load(kWide.split), hi));
    __m512i off = _mm512_shuffle_epi8(load(kWide.off_low), hi);
    off = _mm512_mask_add_epi8(off, above, off,
                               _mm512_shuffle_epi8(load(kWide.off_step), hi));
    const __m512i row2 =
        _mm512_or_si512(lo, _mm512_shuffle_epi8(load(kWide.row2_gate), hi));
    off =
        _mm512_add_epi8(off, _mm512_shuffle_epi8(load(kWide.row2_off), row2));
    return _mm512_add_epi8(c, off);
}

// The digits of sixteen groups (64 bytes), as in the AVX2 kernel: *top gets
// digit 0 in each group's low byte; the result holds the characters of
// digits 3, 4, 1, 2.
QV_AVX512 inline __m512i digits16(const uint8_t* src, __m512i* top) noexcept
{
    static constexpr Wide kBswapW = widen<64>(pentacode_simd::kEncBswap);
    const __m512i m = _mm512_set1_epi32(int(pentacode_simd::kDiv7225));
    const __m512i k7225 = _mm512_set1_epi32(7225);
    const __m512i v =
        _mm512_shuffle_epi8(_mm512_loadu_si512(src), load(kBswapW));
    const __m512i pe = _mm512_mul_epu32(v, m);
    const __m512i po = _mm512_mul_epu32(_mm512_srli_epi64(v, 32), m);
    const __m512i q = _mm512_mask_blend_epi32(
        0xAAAA, _mm512_srli_epi64(pe, 44), _mm512_srli_epi64(po, 12));
    const __m512i r1 = _mm512_sub_epi32(v, _mm512_mullo_epi32(q, k7225));
    const __m512i d0 = _mm512_cvttps_epi32(
        _mm512_fmadd_ps(_mm512_cvtepi32_ps(q), _mm512_set1_ps(1.0f / 7225),
                        _mm512_set1_ps(0.5f / 7225)));
    const __m512i r2 = _mm512_sub_epi32(q, _mm512_madd_epi16(d0, k7225));
    *top = d0;
    const __m512i w = _mm512_or_si512(r1, _mm512_slli_epi32(r2, 16));
    const __m512i wq = _mm512_srli_epi16(
        _mm512_mulhi_epu16(w,
                           _mm512_set1_epi16(int16_t(pentacode_simd::kDiv85))),
        4);
    const __m512i wr =
        _mm512_sub_epi16(w, _mm512_mullo_epi16(wq, _mm512_set1_epi16(85)));
    return to_chars(_mm512_or_si512(wq, _mm512_slli_epi16(wr, 8)));
}

// Writes the 80 characters of sixteen groups; `c0` holds the characters of
// their top digits at byte `at` (0 or 1) of each group.
QV_AVX512 inline void store16(uint8_t* dst, __m512i ch, __m512i c0,
                              int at) noexcept
{
    using pentacode_simd::kEncTop;
    static constexpr Wide kHeadW = widen<64>(pentacode_simd::kEncHead);
    static constexpr Wide kTailW = widen<64>(pentacode_simd::kEncTail);
    static constexpr Wide kTopW[2] = {widen<64>(kEncTop[0]),
                                      widen<64>(kEncTop[1])};
    // Output dwords: each lane's 4 head dwords, then its tail dword (dword
    // 16 + 4k of the second source); 20 in all.
    const __m512i first = _mm512_setr_epi32(0, 1, 2, 3, 16, 4, 5, 6, 7, 20, 8,
                                            9, 10, 11, 24, 12);
    const __m512i second =
        _mm512_setr_epi32(13, 14, 15, 28, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
    const __m512i head =
        _mm512_or_si512(_mm512_shuffle_epi8(ch, load(kHeadW)),
                        _mm512_shuffle_epi8(c0, load(kTopW[at])));
    const __m512i tail = _mm512_shuffle_epi8(ch, load(kTailW));
    _mm512_storeu_si512(dst, _mm512_permutex2var_epi32(head, first, tail));
    _mm_storeu_si128(
        reinterpret_cast<__m128i*>(dst + 64),
        _mm512_castsi512_si128(_mm512_permutex2var_epi32(head, second, tail)));
}

}  // namespace

// Thirty-two groups a step where it can (the top digits of both halves
// share one translation), then sixteen.
QV_AVX512 size_t pentacode_encode_avx512(const uint8_t* src, size_t groups,
                                         uint8_t* dst) noexcept
{
    size_t g = 0;
    __m512i top_a, top_b;
    for (; g + 32 <= groups; g += 32) {
        const __m512i a = digits16(src + 4 * g, &top_a);
        const __m512i b = digits16(src + 4 * g + 64, &top_b);
        const __m512i c0 =
            to_chars(_mm512_or_si512(top_a, _mm512_slli_epi32(top_b, 8)));
        store16(dst + 5 * g, a, c0, 0);
        store16(dst + 5 * g + 80, b, c0, 1);
    }
    if (g + 16 <= groups) {
        const __m512i a = digits16(src + 4 * g, &top_a);
        store16(dst + 5 * g, a, to_chars(top_a), 0);
        g += 16;
    }
    return g;
}

// Each 128-bit lane takes three groups, as in the AVX2 kernel: a step reads
// 61 bytes and stores exactly 48 (masked).
QV_AVX512 size_t pentacode_decode_avx512(const uint8_t* src, size_t groups,
                                         uint8_t* dst) noexcept
{
    static constexpr Wide kQuadW = widen<64>(pentacode_simd::kDecQuad);
    static constexpr Wide kLastW = widen<64>(pentacode_simd::kDecLast);
    static constexpr Wide kWeightsW = widen<64>(pentacode_simd::kDecWeights);
    static constexpr Wide kBswapW = widen<64>(pentacode_simd::kDecBswap);
    const __m512i pair_w = _mm512_set1_epi32(7225 | 1 << 16);
    const __m512i one = _mm512_set1_epi32(1);
    const __m512i max_prefix = _mm512_set1_epi32(0x03030303);
    const __m512i pack = _mm512_setr_epi32(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13,
                                           14, 3, 7, 11, 15);
    // Byte 15 of each lane belongs to the next lane's first group.
    constexpr __mmask64 kLaneBytes = 0x7FFF7FFF7FFF7FFFull;

    size_t g = 0;
    for (; g + 13 <= groups; g += 12) {
        const uint8_t* p = src + 5 * g;
        __m512i c = _mm512_castsi128_si512(
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
        c = _mm512_inserti32x4(
            c, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 15)), 1);
        c = _mm512_inserti32x4(
            c, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 30)), 2);
        c = _mm512_inserti32x4(
            c, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 45)), 3);
        __mmask64 bad;
        const __m512i d = to_digits(c, &bad);
        const __m512i v4 = _mm512_madd_epi16(
            _mm512_maddubs_epi16(_mm512_shuffle_epi8(d, load(kQuadW)),
                                 load(kWeightsW)),
            pair_w);
        const __m512i d4 = _mm512_shuffle_epi8(d, load(kLastW));
        const __mmask16 over = _mm512_cmpgt_epu32_mask(
            _mm512_add_epi32(v4, _mm512_min_epu32(d4, one)), max_prefix);
        if ((bad & kLaneBytes) != 0 || over != 0)
            break;  // the narrower kernels find the exact group
        const __m512i v = _mm512_add_epi32(
            _mm512_mullo_epi32(v4, _mm512_set1_epi32(85)), d4);
        _mm512_mask_storeu_epi32(
            dst + 4 * g, 0x0FFF,
            _mm512_permutexvar_epi32(pack,
                                     _mm512_shuffle_epi8(v, load(kBswapW))));
    }
    return g;
}

#endif  // PENTACODE_X86
