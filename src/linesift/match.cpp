// Line matching: equivalence classes, recursive longest match, boundary
// sliding.
#include <cstdlib>
#include <cstring>

#include "linesift/classes.h"
#include "linesift/internal.h"
#include "linesift/linesift.h"
#include "qv/alloc.h"

using linesift_detail::class_table;
using linesift_detail::hash_source;

namespace {

// ---- Longest match -------------------------------------------------------

// Run memo entry of one target line: the source line it was last examined
// with as a candidate pair and the run of equal pairs ending there; beside
// them, copies of the line's class and chain. The search reads all four of
// the same target line together, so they share one cache line here instead
// of two arrays of records and memo that together outgrow the cache.
struct memo_entry {
    int32_t line;
    int32_t run;
    int32_t eqclass;
    int32_t chain;
};

struct match {
    int32_t i, j, k;
};

// Only the last this many source lines of a range are searched for seeds.
constexpr int32_t kWindow = 30000;

// What every level of the matching shares.
struct matcher {
    const line_record* a;
    const line_record* b;
    memo_entry* memo;
    class_table* classes;
};

match longest_match(const matcher& mt, int32_t a1, int32_t a2, int32_t b1,
                    int32_t b2) noexcept
{
    const line_record* a = mt.a;
    const line_record* b = mt.b;
    memo_entry* memo = mt.memo;
    int32_t bi = a1, bj = b1, bk = 0;
    const int32_t w = a2 - a1 > kWindow ? a2 - kWindow : a1;
    // Ties go towards the middles of the ranges. The sums can pass 2^31.
    const int64_t mid_a = (int64_t{w} + a2 - 1) / 2;
    const int64_t mid_b = (int64_t{b1} + b2 - 1) / 2;

    for (int32_t i = w; i < a2; ++i) {
        // The chain runs from the class's highest target line down. Where
        // it starts above the range, the class table finds its first line
        // below b2 without visiting the ones in between.
        int32_t j = a[i].chain;
        if (j >= b2)
            j = mt.classes->last_below(b, a[i].eqclass, j, b2);
        for (; j >= b1; j = memo[j].chain) {
            // Count the run back from (i, j); a memo hit on the diagonal
            // supplies the rest of it at once.
            int32_t k = 1;
            while (j - k >= b1 && i - k >= w) {
                const memo_entry& m = memo[j - k];
                if (m.line == i - k) {
                    k += m.run;
                    break;
                }
                if (a[i - k].eqclass != m.eqclass)
                    break;
                ++k;
            }
            memo[j].line = i;
            memo[j].run = k;
            if (k > bk) {
                bi = i;
                bj = j;
                bk = k;
            } else if (k == bk) {
                if (i > bi && i <= mid_a && j > b1) {
                    bi = i;
                    bj = j;
                } else if (i == bi && (bj > mid_b || i == w)) {
                    bj = j;
                }
            }
        }
    }
    if (bk > 0) {
        bi -= bk - 1;
        bj -= bk - 1;
    }
    while (bi + bk < a2 && bj + bk < b2 &&
           a[bi + bk].eqclass == b[bj + bk].eqclass)
        ++bk;
    return {bi, bj, bk};
}

// ---- Recursive matching, with an explicit stack ----------------------------

// One level of the recursion: its ranges, and the match whose left part is
// being matched by the level above it on the stack.
struct frame {
    int32_t a1, a2, b1, b2;
    match pending;
};

struct frame_stack {
    frame* items = nullptr;
    size_t size = 0, capacity = 0;

    ~frame_stack() { qv::mem_free(items); }

    bool push(const frame& f) noexcept
    {
        if (size == capacity) {
            const size_t grown = capacity ? capacity * 2 : 64;
            auto* p = static_cast<frame*>(
                qv::mem_realloc(items, grown * sizeof(frame)));
            if (p == nullptr)
                return false;
            items = p;
            capacity = grown;
        }
        items[size++] = f;
        return true;
    }
};

hunk* append(hunk* tail, int32_t a1, int32_t a2, int32_t b1,
             int32_t b2) noexcept
{
    auto* h = static_cast<hunk*>(qv::mem_alloc(sizeof(hunk)));
    if (h == nullptr)
        return nullptr;
    *h = {a1, a2, b1, b2, nullptr};
    tail->next = h;
    return h;
}

// Matches source lines a1..a2 against target lines b1..b2, appending the
// blocks behind tail in ascending order; returns the last block appended
// (tail itself if none), or null when an allocation fails.
//
// Each level finds the longest match, matches the part before it one level
// down, appends the match and goes on with the part after it at the same
// level. The levels live on a heap stack rather than the C stack, since
// their depth grows with the number of blocks to the left of a match and
// can reach the line count. The longest-match searches run in exactly the
// order of the plain recursion: the run memo they share depends on it.
hunk* recurse(const matcher& mt, int32_t a1, int32_t a2, int32_t b1,
              int32_t b2, hunk* tail) noexcept
{
    frame_stack stack;
    if (!stack.push({a1, a2, b1, b2, {0, 0, 0}}))
        return nullptr;
    while (stack.size > 0) {
        frame& f = stack.items[stack.size - 1];
        const match m = longest_match(mt, f.a1, f.a2, f.b1, f.b2);
        if (m.k == 0) {
            // This level is done: back to the one above, which now appends
            // its pending match and continues after it.
            if (--stack.size == 0)
                break;
            frame& up = stack.items[stack.size - 1];
            const match& p = up.pending;
            tail = append(tail, p.i, p.i + p.k, p.j, p.j + p.k);
            if (tail == nullptr)
                return nullptr;
            up.a1 = p.i + p.k;
            up.b1 = p.j + p.k;
            continue;
        }
        f.pending = m;
        const frame left = {f.a1, m.i, f.b1, m.j, {0, 0, 0}};
        if (left.a1 < left.a2 && left.b1 < left.b2) {
            if (!stack.push(left))  // may move f
                return nullptr;
            continue;
        }
        // An empty side has no match (and a search there would touch no
        // memo entry), so we append at once instead of going down a level.
        tail = append(tail, m.i, m.i + m.k, m.j, m.j + m.k);
        if (tail == nullptr)
            return nullptr;
        f.a1 = m.i + m.k;
        f.b1 = m.j + m.k;
    }
    return tail;
}

// ---- Boundary sliding ----------------------------------------------------

// Where two neighbouring blocks touch in one text, moves the boundary
// between them towards the end as far as the lines allow, so an inserted
// or deleted run lands at its latest possible place. A source and a target
// line are equal exactly when their classes are, so one integer comparison
// decides, whatever the lines' length or hash.
void slide(hunk* first, const line_record* a, int32_t an, const line_record* b,
           int32_t bn) noexcept
{
    for (hunk* c = first; c != nullptr && c->next != nullptr; c = c->next) {
        hunk* n = c->next;
        if (c->a2 != n->a1 && c->b2 != n->b1)
            continue;
        while (c->a2 < an && c->b2 < bn && n->a1 < n->a2 && n->b1 < n->b2 &&
               a[c->a2].eqclass == b[c->b2].eqclass) {
            ++c->a2;
            ++n->a1;
            ++c->b2;
            ++n->b1;
        }
    }
}

}  // namespace

int32_t linesift_detail::match_records(line_record* a, int32_t an,
                                       line_record* b, int32_t bn, hunk* head,
                                       bool keyed) noexcept
{
    if (head == nullptr || head->next != nullptr || an < 0 || bn < 0)
        return LINESIFT_EINVAL;
    // Checked before any record is read: line numbers stay below 2^31 - 1
    // and the class table's entries below 2^31.
    if (an > LINESIFT_MAX_LINES || bn > LINESIFT_MAX_LINES ||
        bn > LINESIFT_MAX_TARGET_LINES)
        return LINESIFT_ETOOBIG;
    if ((a == nullptr && an > 0) || (b == nullptr && bn > 0))
        return LINESIFT_EINVAL;

    class_table classes;
    if (!classes.assign(a, an, b, bn,
                        keyed ? hash_source::in_records : hash_source::rehash))
        return LINESIFT_ENOMEM;

    auto* memo = static_cast<memo_entry*>(qv::mem_alloc(
        (bn > 0 ? static_cast<size_t>(bn) : 1) * sizeof(memo_entry)));
    if (memo == nullptr)
        return LINESIFT_ENOMEM;
    // An entry never written reads as line 0 with run 0.
    for (int32_t j = 0; j < bn; ++j)
        memo[j] = {0, 0, b[j].eqclass, b[j].chain};
    hunk* tail = recurse({a, b, memo, &classes}, 0, an, 0, bn, head);
    qv::mem_free(memo);
    if (tail == nullptr || append(tail, an, an, bn, bn) == nullptr)
        return LINESIFT_ENOMEM;

    slide(head->next, a, an, b, bn);
    int32_t count = 0;
    for (const hunk* h = head->next; h != nullptr; h = h->next)
        ++count;
    return count;
}

int32_t linesift_diff(line_record* a, int32_t an, line_record* b, int32_t bn,
                      hunk* head) noexcept
{
    return linesift_detail::match_records(a, an, b, bn, head, false);
}
