// Line splitting: cuts a text into line records and hashes every line.
#include <cstdlib>
#include <cstring>

#include "linesift.h"

namespace {

// One step of the line hash: rotate left by 7, then add the byte taken as a
// signed 8-bit value. Unsigned arithmetic, so the wrap-around is defined.
inline uint32_t fold(uint32_t h, unsigned char c) noexcept
{
    return ((h << 7) | (h >> 25)) +
           static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(c)));
}

// Number of line feeds in p[0..n). This is the hot loop on large texts, so
// we test eight bytes per step: after x = word ^ 0x0A.., a byte of x is zero
// exactly where the text holds a line feed, and ((x & 7F) + 7F) | x has its
// top bit clear exactly at those bytes (no carry crosses a byte). The per-byte
// tallies are summed across the word every 255 steps, before a byte can wrap.
uint64_t count_linefeeds(const unsigned char* p, size_t n) noexcept
{
    const uint64_t ones = 0x0101010101010101ull;
    const uint64_t low7 = ones * 0x7F;
    const uint64_t top = ones * 0x80;
    const uint64_t lf = ones * 0x0A;
    uint64_t total = 0;
    while (n >= 8) {
        size_t words = n / 8;
        if (words > 255)
            words = 255;
        uint64_t acc = 0;
        for (size_t w = 0; w < words; ++w, p += 8) {
            uint64_t x;
            std::memcpy(&x, p, 8);
            x ^= lf;
            acc += (~(((x & low7) + low7) | x) & top) >> 7;
        }
        n -= words * 8;
        // Each byte of acc is at most 255: pair them into 16-bit lanes
        // (at most 510 each), then add the four lanes in the top lane.
        acc = (acc & 0x00FF00FF00FF00FFull) + ((acc >> 8) & 0x00FF00FF00FF00FFull);
        total += (acc * 0x0001000100010001ull) >> 48;
    }
    for (; n > 0; --n, ++p)
        total += *p == '\n';
    return total;
}

inline void put_line(line_record* r, uint32_t h, const char* begin,
                     const char* end) noexcept
{
    r->hash = h;
    r->chain = 2147483647;
    r->length = end - begin;
    r->begin = begin;
}

}  // namespace

int32_t linesift_splitlines(const char* text, int64_t size,
                            line_record** out) noexcept
{
    if (out == nullptr)
        return LINESIFT_EINVAL;
    *out = nullptr;
    if (size < 0 || (text == nullptr && size > 0))
        return LINESIFT_EINVAL;

    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    // The last byte always closes the final line, whatever it is, so it is
    // left out of the count and the final line is added on its own.
    uint64_t lines = 0;
    if (size >= 1)
        lines = count_linefeeds(bytes, static_cast<size_t>(size - 1)) + 1;
    // Line numbers and the record count are signed 32-bit values.
    if (lines > LINESIFT_MAX_LINES)
        return LINESIFT_ETOOBIG;
    const uint64_t records = lines + 1;
    if (records > SIZE_MAX / sizeof(line_record))
        return LINESIFT_ENOMEM;

    auto* recs = static_cast<line_record*>(
        std::malloc(static_cast<size_t>(records) * sizeof(line_record)));
    if (recs == nullptr)
        return LINESIFT_ENOMEM;

    line_record* r = recs;
    line_record* const last = recs + lines;  // where the final line goes
    const char* start = text;
    uint32_t h = 0;
    if (size >= 1) {
        const char* const stop = text + (size - 1);
        for (const char* p = text; p < stop; ++p) {
            h = fold(h, static_cast<unsigned char>(*p));
            // The count above bounds the writes; the text is unchanged
            // between the passes, so r never reaches last here.
            if (*p == '\n' && r < last) {
                put_line(r++, h, start, p + 1);
                h = 0;
                start = p + 1;
            }
        }
        h = fold(h, static_cast<unsigned char>(*stop));
        put_line(r++, h, start, stop + 1);
    }
    // Terminating record: its begin is the end of the text.
    r->hash = 0;
    r->length = 0;
    r->begin = text + size;
    *out = recs;
    return static_cast<int32_t>(lines);
}

void linesift_freehunks(hunk* first) noexcept
{
    while (first != nullptr) {
        hunk* next = first->next;
        std::free(first);
        first = next;
    }
}
