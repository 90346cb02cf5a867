// Patch engine, fragment lists: decoding a binary delta, sizing and applying
// a list against a source text, freeing a list; and the size-only reading of
// a delta's headers. The fold lives in fold.cpp.
#include "deltafold/deltafold.h"

#include <cstdlib>
#include <cstring>

#include "deltafold/internal.h"
#include "qv/alloc.h"

namespace {

// Header fields are big-endian 32-bit values. The applying reader takes
// them signed, the size-only reading unsigned.
inline uint32_t read_be32u(const unsigned char* p) noexcept
{
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) |
           (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

inline int32_t read_be32(const unsigned char* p) noexcept
{
    return static_cast<int32_t>(read_be32u(p));  // two's complement (C++20)
}

constexpr int64_t kHeader = 12;

}  // namespace

fragment_list* deltafold_newlist(size_t capacity) noexcept
{
    auto* l =
        static_cast<fragment_list*>(qv::mem_alloc(sizeof(fragment_list)));
    if (l == nullptr)
        return nullptr;
    if (capacity < 1)
        capacity = 1;
    if (capacity > SIZE_MAX / sizeof(delta_fragment)) {
        qv::mem_free(l);
        return nullptr;
    }
    l->base = static_cast<delta_fragment*>(
        qv::mem_alloc(capacity * sizeof(delta_fragment)));
    if (l->base == nullptr) {
        qv::mem_free(l);
        return nullptr;
    }
    l->head = l->tail = l->base;
    return l;
}

int deltafold_decode(const char* bin, int64_t len,
                     fragment_list** out) noexcept
{
    // Every fragment takes at least its 12-byte header, so len / 12 + 1 slots
    // always suffice. Only the first 2^31 - 1 bytes can ever be taken (the
    // position is a 32-bit count), which caps the array for huge inputs.
    int64_t usable = len < INT32_MAX ? len : INT32_MAX;
    size_t capacity = usable > 0 ? size_t(usable / kHeader) + 1 : 1;
    fragment_list* l = deltafold_newlist(capacity);
    if (l == nullptr)
        return DELTAFOLD_ENOMEM;

    const auto* data = reinterpret_cast<const unsigned char*>(bin);
    delta_fragment* slot = l->base;
    int64_t p = 0;  // stays within 0..2^31 - 1, as the 32-bit count demands
    while (p < len) {
        if (len - p < kHeader)
            break;
        const unsigned char* h = data + p;
        int32_t start = read_be32(h);
        int32_t end = read_be32(h + 4);
        int32_t flen = read_be32(h + 8);
        // Sanity test first, so one bad fragment refuses the whole delta
        // wherever it stands, the last one included.
        if (start > end || flen < 0)
            break;
        int64_t next = p + kHeader + flen;  // < 2^32: no overflow in 64 bits
        if (next > INT32_MAX)
            break;
        slot->start = start;
        slot->end = end;
        slot->len = flen;
        slot->data = bin + p + kHeader;
        ++slot;
        p = next;
    }
    // A fragment that was refused, a short trailing header, or data that
    // runs past the end all leave p != len.
    if (p != len) {
        deltafold_lfree(l);
        return DELTAFOLD_EDECODE;
    }
    l->tail = slot;
    *out = l;
    return DELTAFOLD_OK;
}

int deltafold_sizeonly(int64_t srclen, const char* bin, int64_t len,
                       int64_t* out) noexcept
{
    // The size is srclen + sum(start - previous end + len) - last end, which
    // telescopes to srclen + sum(len) - sum(end - start). We keep the two
    // sums apart: sum(len) is at most the delta's length, and sum(end -
    // start) grows by less than 2^32 a header, so neither overflows before a
    // delta of 24 GiB; past that we refuse rather than wrap.
    const auto* d = reinterpret_cast<const unsigned char*>(bin);
    int64_t p = 0;
    int64_t added = 0;    // sum of len
    int64_t removed = 0;  // sum of end - start
    while (p < len) {
        if (len - p < kHeader)
            return DELTAFOLD_EDECODE;
        uint32_t start = read_be32u(d + p);
        uint32_t end = read_be32u(d + p + 4);
        uint32_t flen = read_be32u(d + p + 8);
        if (start > end || int64_t(flen) > len - p - kHeader)
            return DELTAFOLD_EDECODE;
        p += kHeader + flen;
        added += flen;
        if (__builtin_add_overflow(removed, int64_t(end - start), &removed))
            return DELTAFOLD_ERANGE;
    }
    // added and removed both lie in 0..2^63 - 1: their difference fits.
    if (__builtin_add_overflow(srclen, added - removed, out))
        return DELTAFOLD_ERANGE;
    return DELTAFOLD_OK;
}

int64_t deltafold_calcsize(int64_t srclen, const fragment_list* l) noexcept
{
    // Unchanged stretches between fragments cannot overlap (start >= last),
    // so they sum to at most srclen; replacement lengths are summed with an
    // overflow test since a list is not bounded by anything but memory.
    int64_t running = 0;
    int64_t last = 0;
    for (const delta_fragment* f = l->head; f < l->tail; ++f) {
        if (f->start < last)
            return DELTAFOLD_EPATCH;
        if (f->end > srclen)
            return DELTAFOLD_EPATCH;
        // Decoding guarantees start <= end and len >= 0, but a fold of
        // deltas whose fragments are out of order may not; apply would then
        // copy from before the source, so such a list is refused here too.
        if (f->start > f->end || f->len < 0)
            return DELTAFOLD_EPATCH;
        if (__builtin_add_overflow(running, int64_t(f->start) - last + f->len,
                                   &running))
            return DELTAFOLD_EPATCH;
        last = f->end;
    }
    int64_t size;
    if (__builtin_add_overflow(running, srclen - last, &size))
        return DELTAFOLD_EPATCH;
    return size;
}

int deltafold_apply(char* out, const char* src, int64_t srclen,
                    const fragment_list* l) noexcept
{
    // The tests are those of the size operation, so a list it accepted for
    // this srclen is applied whole and fills exactly its result; any other
    // list is refused before a byte outside the source is read.
    int64_t last = 0;
    char* w = out;
    for (const delta_fragment* f = l->head; f < l->tail; ++f) {
        if (f->start < last || f->end > srclen)
            return DELTAFOLD_EPATCH;
        if (f->start > f->end || f->len < 0)
            return DELTAFOLD_EPATCH;
        size_t keep = size_t(f->start - last);
        if (keep != 0) {
            std::memcpy(w, src + last, keep);
            w += keep;
        }
        if (f->len != 0) {
            std::memcpy(w, f->data, size_t(f->len));
            w += f->len;
        }
        last = f->end;
    }
    if (srclen > last)
        std::memcpy(w, src + last, size_t(srclen - last));
    return DELTAFOLD_OK;
}

void deltafold_lfree(fragment_list* l) noexcept
{
    if (l == nullptr)
        return;
    qv::mem_free(l->base);
    qv::mem_free(l);
}
