// The pentacode engine's entries: whole inputs through a path's kernels,
// then the short final group, and the exact place of a fault.
#include <cstdint>
#include <cstring>

#include "pentacode/internal.h"

using pentacode_detail::kDec;
using pentacode_detail::kMaxPrefix;

namespace {

// Runs the chain over whole groups; every encoder chain converts them all.
void encode_groups(const pentacode_path* path, const uint8_t* src,
                   size_t groups, uint8_t* dst) noexcept
{
    size_t done = 0;
    for (const pentacode_kernel* k = path->encode; *k && done < groups; ++k)
        done += (*k)(src + 4 * done, groups - done, dst + 5 * done);
}

// The number of whole groups before the first bad one (all if none).
size_t decode_groups(const pentacode_path* path, const uint8_t* src,
                     size_t groups, uint8_t* dst) noexcept
{
    size_t done = 0;
    for (const pentacode_kernel* k = path->decode; *k && done < groups; ++k)
        done += (*k)(src + 5 * done, groups - done, dst + 4 * done);
    return done;
}

// Accumulates the k digits of a group at g (position pos); the fault of
// the first bad one, if any. The last character of a group is reported one
// past its position, and so is an overflow of five digits.
int read_group(const uint8_t* g, size_t k, int64_t pos, uint32_t* value,
               int64_t* at) noexcept
{
    uint32_t v = 0;
    for (size_t j = 0; j < k; ++j) {
        const int d = kDec[g[j]];
        const bool last = j + 1 == k;
        if (d == 0) {
            *at = pos + int64_t(j) + (last ? 1 : 0);
            return PENTACODE_EBADCHAR;
        }
        // Four or fewer digits stay below 85^4, so only a fifth can
        // overflow; the test comes before the product can wrap.
        if (last && k == 5 &&
            (v > kMaxPrefix || v * 85u > 0xFFFFFFFFu - uint32_t(d - 1))) {
            *at = pos + 5;
            return PENTACODE_EBADSEQ;
        }
        v = v * 85u + uint32_t(d - 1);
    }
    *value = v;
    return PENTACODE_OK;
}

}  // namespace

int64_t pentacode_encoded_size(int64_t n, bool pad) noexcept
{
    const int64_t groups = n / 4, rem = n % 4;
    if (groups + 1 > PTRDIFF_MAX / 5)
        return PENTACODE_ETOOBIG;
    if (pad)
        return 5 * (groups + (rem > 0));
    return 5 * groups + (rem ? rem + 1 : 0);
}

void pentacode_encode(const pentacode_path* path, const uint8_t* src,
                      int64_t n, bool pad, uint8_t* dst) noexcept
{
    const size_t groups = size_t(n / 4), rem = size_t(n % 4);
    encode_groups(path, src, groups, dst);
    if (rem) {
        // The short last group, zero-filled, encoded whole: padded, all its
        // five characters are kept; unpadded, its first rem + 1.
        uint8_t last[4] = {0, 0, 0, 0};
        uint8_t chars[5];
        std::memcpy(last, src + 4 * groups, rem);
        pentacode_encode_scalar(last, 1, chars);
        std::memcpy(dst + 5 * groups, chars, pad ? 5 : rem + 1);
    }
}

int64_t pentacode_decoded_size(int64_t n) noexcept
{
    const int64_t rem = n % 5;
    return 4 * (n / 5) + (rem ? rem - 1 : 0);
}

int pentacode_decode(const pentacode_path* path, const uint8_t* src, int64_t n,
                     uint8_t* dst, int64_t* at) noexcept
{
    const size_t groups = size_t(n / 5), rem = size_t(n % 5);
    uint32_t v;
    const size_t done = decode_groups(path, src, groups, dst);
    if (done < groups) {
        // The chain ends with the scalar kernel, which stops exactly at the
        // first group that read_group refuses.
        const int64_t pos = int64_t(5 * done);
        const int rc = read_group(src + 5 * done, 5, pos, &v, at);
        if (rc == PENTACODE_OK)
            *at = pos + 5;
        return rc != PENTACODE_OK ? rc : PENTACODE_EBADSEQ;
    }
    if (rem == 0)
        return PENTACODE_OK;
    const int rc =
        read_group(src + 5 * groups, rem, int64_t(5 * groups), &v, at);
    if (rc != PENTACODE_OK)
        return rc;
    // A lone character gives no byte. Otherwise missing digits count as 0;
    // ones in the dropped low bytes restore the top bytes of what the
    // encoder saw. Wraps modulo 2^32 by design (unsigned arithmetic).
    const size_t owed = rem - 1;
    if (owed == 0)
        return PENTACODE_OK;
    for (size_t j = rem; j < 5; ++j)
        v *= 85u;
    v += (uint32_t(1) << (8 * (4 - owed))) - 1u;
    uint8_t* out = dst + 4 * groups;
    for (size_t j = 0; j < owed; ++j)
        out[j] = uint8_t(v >> (24 - 8 * j));
    return PENTACODE_OK;
}
