// Line splitting: cuts a text into line records and hashes every line.
#include <cstdlib>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "linesift/hash.h"
#include "linesift/internal.h"
#include "linesift/linesift.h"
#include "qv/alloc.h"

namespace {

// One step of the line hash: rotate left by 7, then add the byte taken as a
// signed 8-bit value. Unsigned arithmetic, so the wrap-around is defined.
inline uint32_t fold(uint32_t h, unsigned char c) noexcept
{
    return ((h << 7) | (h >> 25)) + static_cast<uint32_t>(static_cast<int32_t>(
                                        static_cast<signed char>(c)));
}

// Number of line feeds in p[0..n). This is the hot loop on large texts, so
// we test sixteen bytes per step where SSE2 is there, else eight: after
// x = word ^ 0x0A.., a byte of x is zero exactly where the text holds a
// line feed, and ((x & 7F) + 7F) | x has its top bit clear exactly at those
// bytes (no carry crosses a byte). The per-byte tallies are summed across
// the word every 255 steps, before a byte can wrap.
uint64_t count_linefeeds(const unsigned char* p, size_t n) noexcept
{
    uint64_t total = 0;
#if defined(__SSE2__)
    const __m128i lf = _mm_set1_epi8('\n');
    while (n >= 16) {
        size_t steps = n / 16;
        if (steps > 255)
            steps = 255;
        __m128i acc = _mm_setzero_si128();  // a match subtracts -1
        for (size_t w = 0; w < steps; ++w, p += 16)
            acc = _mm_sub_epi8(
                acc,
                _mm_cmpeq_epi8(
                    _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), lf));
        n -= steps * 16;
        const __m128i sums = _mm_sad_epu8(acc, _mm_setzero_si128());
        total += static_cast<uint64_t>(_mm_cvtsi128_si64(sums)) +
                 static_cast<uint64_t>(_mm_extract_epi16(sums, 4));
    }
#endif
    const uint64_t ones = 0x0101010101010101ull;
    const uint64_t low7 = ones * 0x7F;
    const uint64_t top = ones * 0x80;
    const uint64_t lf8 = ones * 0x0A;
    while (n >= 8) {
        size_t words = n / 8;
        if (words > 255)
            words = 255;
        uint64_t acc = 0;
        for (size_t w = 0; w < words; ++w, p += 8) {
            uint64_t x;
            std::memcpy(&x, p, 8);
            x ^= lf8;
            acc += (~(((x & low7) + low7) | x) & top) >> 7;
        }
        n -= words * 8;
        // Each byte of acc is at most 255: pair them into 16-bit lanes
        // (at most 510 each), then add the four lanes in the top lane.
        acc = (acc & 0x00FF00FF00FF00FFull) +
              ((acc >> 8) & 0x00FF00FF00FF00FFull);
        total += (acc * 0x0001000100010001ull) >> 48;
    }
    for (; n > 0; --n, ++p)
        total += *p == '\n';
    return total;
}

// Yields the line feeds of text[0..end) in order, a block of bytes at a
// time: each block becomes a bit mask of its line feeds, and the positions
// come from the mask's set bits, so no per-byte branch is taken.
class linefeed_scanner {
  public:
    linefeed_scanner(const char* text, const char* end) noexcept
        : p_(text), end_(end), span_(0), bits_(0)
    {
    }

    // The next line feed, or null past the last one.
    const char* next() noexcept
    {
        while (bits_ == 0) {
            p_ += span_;
            if (p_ >= end_)
                return nullptr;
            load();
        }
        const char* lf = p_ + __builtin_ctzll(bits_);
        bits_ &= bits_ - 1;
        return lf;
    }

  private:
    void load() noexcept
    {
        const size_t left = static_cast<size_t>(end_ - p_);
#if defined(__SSE2__)
        if (left >= 64) {
            const __m128i lf = _mm_set1_epi8('\n');
            uint64_t bits = 0;
            for (int q = 0; q < 4; ++q) {
                const __m128i v = _mm_loadu_si128(
                    reinterpret_cast<const __m128i*>(p_ + 16 * q));
                bits |= static_cast<uint64_t>(static_cast<uint32_t>(
                            _mm_movemask_epi8(_mm_cmpeq_epi8(v, lf))))
                        << (16 * q);
            }
            bits_ = bits;
            span_ = 64;
            return;
        }
#endif
        span_ = left < 64 ? left : 64;
        bits_ = 0;
        for (size_t t = 0; t < span_; ++t)
            bits_ |= static_cast<uint64_t>(p_[t] == '\n') << t;
    }

    const char* p_;
    const char* const end_;
    size_t span_;
    uint64_t bits_;
};

// Hashes one line.
inline uint32_t hash_line(const char* begin, int64_t n) noexcept
{
    const auto* p = reinterpret_cast<const unsigned char*>(begin);
    uint32_t h = 0;
    for (int64_t i = 0; i < n; ++i)
        h = fold(h, p[i]);
    return h;
}

// Hashes the lines of records r[0..n) two at a time. Each hash is one serial
// chain of rotate-and-add steps; running two independent chains side by side
// keeps the processor busy while each step waits for the one before.
void hash_records(line_record* r, size_t n) noexcept
{
    size_t k = 0;
    for (; k + 1 < n; k += 2) {
        const auto* x = reinterpret_cast<const unsigned char*>(r[k].begin);
        const auto* y = reinterpret_cast<const unsigned char*>(r[k + 1].begin);
        const int64_t nx = r[k].length, ny = r[k + 1].length;
        const int64_t m = nx < ny ? nx : ny;
        uint32_t hx = 0, hy = 0;
        int64_t i = 0;
        for (; i < m; ++i) {
            hx = fold(hx, x[i]);
            hy = fold(hy, y[i]);
        }
        for (int64_t t = i; t < nx; ++t)
            hx = fold(hx, x[t]);
        for (int64_t t = i; t < ny; ++t)
            hy = fold(hy, y[t]);
        r[k].hash = hx;
        r[k + 1].hash = hy;
    }
    if (k < n)
        r[k].hash = hash_line(r[k].begin, r[k].length);
}

}  // namespace

// Number of lines of a text (the last byte always closes the final line,
// whatever it is, so it is left out of the line feed count), or -1 when the
// record count would not fit a signed 32-bit line number.
int64_t linesift_detail::count_lines(const char* text, int64_t size) noexcept
{
    uint64_t lines = 0;
    if (size >= 1)
        lines = count_linefeeds(reinterpret_cast<const unsigned char*>(text),
                                static_cast<size_t>(size - 1)) +
                1;
    return lines > LINESIFT_MAX_LINES ? -1 : static_cast<int64_t>(lines);
}

namespace {

// Bytes of n line records and their terminating record, or 0 where that
// overflows size_t (32-bit hosts).
size_t records_bytes(int64_t lines) noexcept
{
    size_t bytes;
    if (__builtin_mul_overflow(static_cast<uint64_t>(lines) + 1,
                               sizeof(line_record), &bytes))
        return 0;
    return bytes;
}

// Fills recs (room for lines + 1 records) with the lines of text and the
// terminating record; returns the number of line records written.
int32_t fill_records(const char* text, int64_t size, int64_t lines,
                     line_record* recs) noexcept
{
    // Every line but the last ends at a line feed before the text's last
    // byte; the last line runs to the end of the text, whatever its last
    // byte. Records are filled a batch at a time and the batch is hashed
    // while its bytes are still in cache. Should the text hold fewer line
    // feeds than counted (a caller that changes it meanwhile breaks the
    // contract, but must not get records that were never written), the
    // last line simply runs to the end and the count is of records filled.
    line_record* r = recs;
    line_record* const last = recs + lines - (lines > 0);
    const char* start = text;
    linefeed_scanner scan(text, size > 0 ? text + (size - 1) : text);
    while (r < last) {
        line_record* const batch = r;
        line_record* const batch_end = last - r > 64 ? r + 64 : last;
        for (; r < batch_end; ++r) {
            const char* lf = scan.next();
            if (lf == nullptr)
                break;
            r->chain = 2147483647;
            r->length = lf + 1 - start;
            r->begin = start;
            start = lf + 1;
        }
        hash_records(batch, static_cast<size_t>(r - batch));
        if (r < batch_end)
            break;
    }
    if (size >= 1) {
        r->chain = 2147483647;
        r->length = text + size - start;
        r->begin = start;
        r->hash = hash_line(r->begin, r->length);
        ++r;
    }
    // Terminating record: its begin is the end of the text.
    r->hash = 0;
    r->length = 0;
    r->begin = text + size;
    return static_cast<int32_t>(r - recs);
}

// Keyed hashes of lines [k, end) of text, into keys[k * stride]. One line
// at a time: the processor already overlaps the lines' independent chains
// of multiplies (four hashed side by side by hand measured no faster).
void hash_batch(const char* text, const uint32_t* offsets, int64_t k,
                int64_t end, int32_t* keys, size_t stride) noexcept
{
    const linesift_detail::hash_key& key = linesift_detail::process_key();
    for (; k < end; ++k)
        keys[static_cast<size_t>(k) * stride] =
            static_cast<int32_t>(linesift_detail::keyed_hash(
                key, text + offsets[k], int64_t{offsets[k + 1]} - offsets[k]));
}

}  // namespace

int32_t linesift_detail::fill_lines(const char* text, int64_t size,
                                    int64_t lines, uint32_t* offsets,
                                    int32_t* keys, size_t stride) noexcept
{
    // As fill_records: a batch of line starts at a time, hashed while its
    // bytes are still in cache; fewer line feeds than counted (a text
    // changed against the contract) end the lines early.
    const int64_t last = lines - (lines > 0);
    int64_t k = 0;
    const char* start = text;
    linefeed_scanner scan(text, size > 0 ? text + (size - 1) : text);
    while (k < last) {
        const int64_t first = k;
        const int64_t batch_end = last - k > 64 ? k + 64 : last;
        for (; k < batch_end; ++k) {
            const char* lf = scan.next();
            if (lf == nullptr)
                break;
            offsets[k] = static_cast<uint32_t>(start - text);
            start = lf + 1;
        }
        offsets[k] = static_cast<uint32_t>(start - text);
        hash_batch(text, offsets, first, k, keys, stride);
        if (k < batch_end)
            break;
    }
    if (size >= 1) {
        offsets[k] = static_cast<uint32_t>(start - text);
        offsets[k + 1] = static_cast<uint32_t>(size);
        hash_batch(text, offsets, k, k + 1, keys, stride);
        ++k;
    }
    offsets[k] = static_cast<uint32_t>(size);
    return static_cast<int32_t>(k);
}

int32_t linesift_splitlines(const char* text, int64_t size,
                            line_record** out) noexcept
{
    if (out == nullptr)
        return LINESIFT_EINVAL;
    *out = nullptr;
    if (size < 0 || (text == nullptr && size > 0))
        return LINESIFT_EINVAL;
    const int64_t lines = linesift_detail::count_lines(text, size);
    if (lines < 0)
        return LINESIFT_ETOOBIG;
    const size_t bytes = records_bytes(lines);
    auto* recs =
        bytes ? static_cast<line_record*>(qv::mem_alloc(bytes)) : nullptr;
    if (recs == nullptr)
        return LINESIFT_ENOMEM;
    *out = recs;
    return fill_records(text, size, lines, recs);
}

void linesift_freehunks(hunk* first) noexcept
{
    while (first != nullptr) {
        hunk* next = first->next;
        qv::mem_free(first);
        first = next;
    }
}
