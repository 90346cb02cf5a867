// The delta stage of the line diff: the common prefix trim before the
// split, and the binary delta written from the matching blocks.
#include <cstring>

#include "linesift/internal.h"

namespace linesift_detail {

namespace {

inline void put_be32(char* p, int64_t v) noexcept
{
    const auto u = static_cast<uint32_t>(v);  // the low 32 bits
    p[0] = static_cast<char>(u >> 24);
    p[1] = static_cast<char>(u >> 16);
    p[2] = static_cast<char>(u >> 8);
    p[3] = static_cast<char>(u);
}

}  // namespace

int64_t common_prefix(const char* x, const char* y, int64_t m) noexcept
{
    // Eight bytes a step, then one; then back to the last line feed once.
    int64_t d = 0;
    while (m - d >= 8) {
        uint64_t u, v;
        std::memcpy(&u, x + d, 8);
        std::memcpy(&v, y + d, 8);
        if (u != v)
            break;
        d += 8;
    }
    while (d < m && x[d] == y[d])
        ++d;
#if defined(__GLIBC__)
    const void* lf =
        d > 0 ? memrchr(x, '\n', static_cast<size_t>(d)) : nullptr;
    return lf ? static_cast<const char*>(lf) - x + 1 : 0;
#else
    while (d > 0 && x[d - 1] != '\n')
        --d;
    return d;
#endif
}

int64_t delta_size(const uint32_t* bo, const hunk* first) noexcept
{
    int64_t total = 0;
    int32_t pa = 0, pb = 0;
    for (const hunk* h = first; h != nullptr; h = h->next) {
        if (h->a1 != pa || h->b1 != pb)
            total += 12 + (int64_t{bo[h->b1]} - bo[pb]);
        pa = h->a2;
        pb = h->b2;
    }
    return total;
}

void write_delta(const uint32_t* ao, const uint32_t* bo, const char* tb,
                 const hunk* first, int64_t prefix, char* out) noexcept
{
    int32_t pa = 0, pb = 0;
    for (const hunk* h = first; h != nullptr; h = h->next) {
        if (h->a1 != pa || h->b1 != pb) {
            const int64_t len = int64_t{bo[h->b1]} - bo[pb];
            put_be32(out, ao[pa] + prefix);
            put_be32(out + 4, ao[h->a1] + prefix);
            put_be32(out + 8, len);
            std::memcpy(out + 12, tb + bo[pb], static_cast<size_t>(len));
            out += 12 + len;
        }
        pa = h->a2;
        pb = h->b2;
    }
}

}  // namespace linesift_detail
