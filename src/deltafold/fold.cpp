// Patch engine, folding: merges a chain of fragment lists into one list that
// applies to the chain's first source text directly.
//
// Positions and the running offset are signed 32-bit quantities: every text
// of a chain is shorter than 2^31 bytes. We compute them in 64 bits so that
// a chain breaking that limit cannot overflow, note the breach, and hand back
// a list that the size operation refuses ("invalid patch") instead of a list
// built from wrapped values.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "deltafold/deltafold.h"
#include "deltafold/internal.h"

namespace {

// A fragment no list accepts: negative len (and start > end). The size and
// apply operations refuse it, and every merge step keeps it or flags it, so
// it survives any later fold.
constexpr delta_fragment kPoison = {1, 0, -1, nullptr};

inline bool out_of_i32(int64_t v) noexcept
{
    return uint64_t(v - int64_t(INT32_MIN)) > uint64_t(UINT32_MAX);
}

// One merge of A (applied first) with B (applied to A's result) into R.
// Fields are 32-bit values and we stop at the first offset outside the
// 32-bit range (`bad`), so every 64-bit sum below stays far from overflow.
struct Merge {
    fragment_list* r;
    fragment_list* a;
    bool bad = false;

    void put(int64_t start, int64_t end, int32_t len,
             const char* data) noexcept
    {
        bad = bad || out_of_i32(start) || out_of_i32(end) || len < 0;
        *r->tail++ = delta_fragment{int32_t(start), int32_t(end), len, data};
    }

    // Walks A's fragments whose replacement lies before cut (a position in
    // A's result), splitting the one that straddles it; returns the offset
    // after them. Kept fragments and pieces go to R, skipped ones are
    // dropped. The rest of a split fragment stays at A's head with its end
    // unchanged.
    template <bool Keep>
    int64_t walk_until(int64_t cut, int64_t offset) noexcept
    {
        while (!bad && a->head < a->tail) {
            delta_fragment* s = a->head;
            int64_t t = s->start + offset;
            bad = bad || out_of_i32(t);
            if (t >= cut)
                break;
            int64_t e = t + s->len;
            bad = bad || out_of_i32(e) || s->len < 0;
            if (e <= cut) {
                offset = e - s->end;
                bad = bad || out_of_i32(offset);
                if (Keep)
                    *r->tail++ = *s;
                ++a->head;
                continue;
            }
            int64_t x = cut - offset;
            int64_t c = std::min<int64_t>(s->end, x);
            int64_t l = std::min<int64_t>(s->len, x - s->start);
            bad = bad || out_of_i32(x);
            if (Keep)
                put(s->start, c, int32_t(l), s->data);
            s->start = int32_t(c);
            s->len = int32_t(s->len - l);
            s->data += l;
            offset = t + l - c;
            bad = bad || out_of_i32(offset);
            break;
        }
        return offset;
    }

    // Moves into R the fragments of A that lie before cut.
    int64_t keep_until(int64_t cut, int64_t offset) noexcept
    {
        return walk_until<true>(cut, offset);
    }

    // Drops the fragments of A that lie before cut (the stretch of A's
    // result that a fragment of B replaces).
    int64_t skip_until(int64_t cut, int64_t offset) noexcept
    {
        return walk_until<false>(cut, offset);
    }
};

// Merges A and B into a new list; consumes both on every path.
fragment_list* fold_pair(fragment_list* a, fragment_list* b) noexcept
{
    size_t na = size_t(a->tail - a->head);
    size_t nb = size_t(b->tail - b->head);
    // Every fragment of R is a whole fragment of A, or one of at most two
    // per fragment of B, so size(A) + 2 size(B) slots always suffice.
    fragment_list* r = nullptr;
    if (na <= SIZE_MAX / 4 && nb <= SIZE_MAX / 4)
        r = deltafold_newlist(2 * (na + nb));
    if (r == nullptr) {
        deltafold_lfree(a);
        deltafold_lfree(b);
        return nullptr;
    }

    Merge m{r, a};
    int64_t offset = 0;
    for (const delta_fragment* f = b->head; f < b->tail && !m.bad; ++f) {
        offset = m.keep_until(f->start, offset);
        int64_t post = m.skip_until(f->end, offset);
        m.put(f->start - offset, f->end - post, f->len, f->data);
        offset = post;
    }
    size_t rest = size_t(a->tail - a->head);
    if (rest != 0 && !m.bad) {
        std::memcpy(r->tail, a->head, rest * sizeof(delta_fragment));
        r->tail += rest;
    }
    deltafold_lfree(a);
    deltafold_lfree(b);

    if (m.bad) {
        r->head = r->base;
        r->base[0] = kPoison;
        r->tail = r->base + 1;
    }
    return r;
}

}  // namespace

fragment_list* deltafold_fold(void* items, deltafold_fetch_fn fetch,
                              int64_t lo, int64_t hi) noexcept
{
    if (lo >= hi)
        return nullptr;
    // Unsigned, so that no pair of bounds can overflow the subtraction.
    uint64_t span = uint64_t(hi) - uint64_t(lo);
    if (span == 1)
        return fetch(items, lo);
    // Balanced halves keep the depth at ceil(log2 n); for an odd count the
    // second half gets the extra item. Both halves are always folded, in
    // order, so every position is fetched exactly once even after a failure.
    int64_t mid = lo + int64_t(span / 2);
    fragment_list* a = deltafold_fold(items, fetch, lo, mid);
    fragment_list* b = deltafold_fold(items, fetch, mid, hi);
    if (a == nullptr || b == nullptr) {
        deltafold_lfree(a);
        deltafold_lfree(b);
        return nullptr;
    }
    return fold_pair(a, b);
}
