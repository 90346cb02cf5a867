// Line matching: recursive longest match over the classes that classes.cpp
// assigns, then boundary sliding.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "linesift/classes.h"
#include "linesift/hash.h"
#include "linesift/internal.h"
#include "linesift/lines.h"
#include "linesift/linesift.h"
#include "qv/alloc.h"

using linesift_detail::class_table;
using linesift_detail::memo_entry;

namespace {

// ---- Longest match -------------------------------------------------------

struct match {
    int32_t i, j, k;
};

// Only the last this many source lines of a range are searched for seeds.
constexpr int32_t kWindow = 30000;

// What every level of the matching shares.
struct matcher {
    const int32_t* acls;
    const int32_t* achain;
    memo_entry* memo;
    class_table* classes;
};

match longest_match(const matcher& mt, int32_t a1, int32_t a2, int32_t b1,
                    int32_t b2) noexcept
{
    const int32_t* acls = mt.acls;
    memo_entry* memo = mt.memo;
    int32_t bi = a1, bj = b1, bk = 0;
    const int32_t w = a2 - a1 > kWindow ? a2 - kWindow : a1;
    // Ties go towards the middles of the ranges. The sums can pass 2^31.
    const int64_t mid_a = (int64_t{w} + a2 - 1) / 2;
    const int64_t mid_b = (int64_t{b1} + b2 - 1) / 2;

    // One candidate pair: count the run back from (i, j); a memo hit on the
    // diagonal supplies the rest of it at once. Inlined into both loops by
    // force: called, it keeps the best match in memory (13% slower on a
    // periodic text).
    const auto visit = [&](int32_t i, int32_t j) __attribute__((always_inline))
    {
        int32_t k = 1;
        while (j - k >= b1 && i - k >= w) {
            const memo_entry& m = memo[j - k];
            if (m.line == i - k) {
                k += m.run;
                break;
            }
            if (acls[i - k] != m.eqclass)
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
    };

    for (int32_t i = w; i < a2; ++i) {
        int32_t j = mt.achain[i];
        if (j < -1) {
            // A long class: its target lines from its sorted list, in the
            // chain's order. Unlike the chain, whose next line is known only
            // once the last one's memo entry has arrived, the list lets the
            // processor fetch many entries at once.
            const int32_t* list;
            const int32_t n = mt.classes->below(memo, acls[i], b2, &list);
            if (n >= 0) {
                for (int32_t x = n - 1; x >= 0 && list[x] >= b1; --x)
                    visit(i, list[x]);
                continue;
            }
            j = -2 - j;  // no memory for the list: down the chain
        }
        // The chain runs from the class's highest target line down. Where
        // it starts above the range, the class table finds its first line
        // below b2 without visiting the ones in between.
        if (j >= b2)
            j = mt.classes->last_below(memo, acls[i], j, b2);
        for (; j >= b1; j = memo[j].chain)
            visit(i, j);
    }
    if (bk > 0) {
        bi -= bk - 1;
        bj -= bk - 1;
    }
    while (bi + bk < a2 && bj + bk < b2 &&
           acls[bi + bk] == memo[bj + bk].eqclass)
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
void slide(hunk* first, const int32_t* acls, int32_t an,
           const memo_entry* memo, int32_t bn) noexcept
{
    for (hunk* c = first; c != nullptr && c->next != nullptr; c = c->next) {
        hunk* n = c->next;
        if (c->a2 != n->a1 && c->b2 != n->b1)
            continue;
        while (c->a2 < an && c->b2 < bn && n->a1 < n->a2 && n->b1 < n->b2 &&
               acls[c->a2] == memo[c->b2].eqclass) {
            ++c->a2;
            ++n->a1;
            ++c->b2;
            ++n->b1;
        }
    }
}

}  // namespace

template <class Lines>
int32_t linesift_detail::match_lines(match_view& v, const Lines& a,
                                     const Lines& b, hunk* head) noexcept
{
    class_table classes;
    if (!classes.assign(v, a, b))
        return LINESIFT_ENOMEM;
    hunk* tail =
        recurse({v.acls, v.achain, v.memo, &classes}, 0, v.an, 0, v.bn, head);
    if (tail == nullptr || append(tail, v.an, v.an, v.bn, v.bn) == nullptr)
        return LINESIFT_ENOMEM;

    slide(head->next, v.acls, v.an, v.memo, v.bn);
    int32_t count = 0;
    for (const hunk* h = head->next; h != nullptr; h = h->next)
        ++count;
    return count;
}

template int32_t linesift_detail::match_lines(match_view&, const record_lines&,
                                              const record_lines&,
                                              hunk*) noexcept;
template int32_t linesift_detail::match_lines(match_view&, const offset_lines&,
                                              const offset_lines&,
                                              hunk*) noexcept;

int32_t linesift_diff(line_record* a, int32_t an, line_record* b, int32_t bn,
                      hunk* head) noexcept
{
    using namespace linesift_detail;
    if (head == nullptr || head->next != nullptr || an < 0 || bn < 0)
        return LINESIFT_EINVAL;
    // Checked before any record is read: line numbers stay below 2^31 - 1
    // and the class table's entries below 2^31.
    if (an > LINESIFT_MAX_LINES || bn > LINESIFT_MAX_LINES ||
        bn > LINESIFT_MAX_TARGET_LINES)
        return LINESIFT_ETOOBIG;
    if ((a == nullptr && an > 0) || (b == nullptr && bn > 0))
        return LINESIFT_EINVAL;

    // The matching's own arrays, one block; the records' hash fields hold
    // the defined hash, so every line is hashed again with the keyed one.
    // Below 2^31 lines each, so this fits 64 bits; where size_t is
    // narrower it may not fit that.
    const uint64_t bytes = uint64_t(an) * 2 * sizeof(int32_t) +
                           (bn > 0 ? uint64_t(bn) : 1) * sizeof(memo_entry);
    if (bytes > SIZE_MAX)
        return LINESIFT_ENOMEM;
    auto* memo =
        static_cast<memo_entry*>(qv::mem_alloc(static_cast<size_t>(bytes)));
    if (memo == nullptr)
        return LINESIFT_ENOMEM;
    auto* acls = reinterpret_cast<int32_t*>(memo + (bn > 0 ? bn : 1));
    match_view v{an, bn, acls, acls + an, memo};
    const hash_key& key = process_key();
    for (int32_t j = 0; j < bn; ++j)
        memo[j] = {
            0, 0,
            static_cast<int32_t>(keyed_hash(key, b[j].begin, b[j].length)), 0};
    for (int32_t i = 0; i < an; ++i)
        acls[i] =
            static_cast<int32_t>(keyed_hash(key, a[i].begin, a[i].length));
    const int32_t count =
        match_lines(v, record_lines{a}, record_lines{b}, head);
    if (count >= 0) {
        // The records' working fields, for callers that read them.
        for (int32_t i = 0; i < an; ++i) {
            a[i].eqclass = acls[i];
            a[i].chain = v.achain[i] < -1 ? -2 - v.achain[i] : v.achain[i];
        }
        for (int32_t j = 0; j < bn; ++j) {
            b[j].eqclass = memo[j].eqclass;
            b[j].chain = memo[j].chain;
        }
    }
    qv::mem_free(memo);
    return count;
}
