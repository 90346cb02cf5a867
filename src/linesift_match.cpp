// Line matching: equivalence classes, recursive longest match, boundary
// sliding.
#include <cstdlib>
#include <cstring>

#include "linesift.h"
#include "linesift_lines.h"
#include "qv_alloc.h"

using linesift_detail::lines_equal;

namespace {

// ---- Class assignment ----------------------------------------------------

struct class_entry {
    int32_t head;   // highest target line of the class so far, -1 if empty
    int32_t count;  // target lines in the class
};

// The table index comes from a well-mixed form of the hash: multiplying by
// an odd constant and keeping the top bits spreads hashes that differ only
// in their low bits (lines differing in their last characters) over the
// whole table. With the plain low bits such lines would fill one long run
// of neighbouring entries and linear probing would turn quadratic.
struct class_table {
    class_entry* entries = nullptr;
    uint32_t mask = 0;
    unsigned shift = 32;  // 32 - log2(size); 32 means a one-entry table

    ~class_table() { qv::mem_free(entries); }

    uint32_t home(uint32_t hash) const noexcept
    {
        if (shift >= 32)
            return 0;
        return (hash * 0x9E3779B1u) >> shift;
    }

    // Allocates 4 * B entries, falling back to 2 * B and then B, where B is
    // the smallest power of two above bn (bn < 2^28, so 4 * B <= 2^30).
    bool allocate(int32_t bn) noexcept
    {
        unsigned bits = 0;
        while ((int64_t{1} << bits) <= bn)
            ++bits;
        for (unsigned extra = 2;; --extra) {
            const uint64_t size = uint64_t{1} << (bits + extra);
            // Where size_t is 32 bits wide the largest tables do not fit it.
            entries = size > SIZE_MAX / sizeof(class_entry)
                          ? nullptr
                          : static_cast<class_entry*>(qv::mem_alloc(
                                static_cast<size_t>(size) * sizeof(class_entry)));
            if (entries != nullptr) {
                mask = static_cast<uint32_t>(size - 1);
                shift = 32 - (bits + extra);
                for (uint64_t p = 0; p < size; ++p)
                    entries[p] = {-1, 0};
                return true;
            }
            if (extra == 0)
                return false;
        }
    }

    // Entry of line x's class: the one whose head equals x, or the empty
    // entry that ends x's probe sequence. The table always has an empty
    // entry (its size exceeds bn), so the loop ends.
    uint32_t find(const line_record& x, const line_record* b) const noexcept
    {
        uint32_t p = home(x.hash);
        while (entries[p].head != -1 && !lines_equal(b[entries[p].head], x))
            p = (p + 1) & mask;
        return p;
    }
};

// How many lines ahead class assignment fetches table entries and target
// records. On large texts the table and the records are far bigger than the
// caches and every probe would otherwise wait for memory.
constexpr int32_t kAhead = 16;

// Returns false when the table cannot be had at any size.
bool assign_classes(line_record* a, int32_t an, line_record* b,
                    int32_t bn) noexcept
{
    class_table t;
    if (!t.allocate(bn))
        return false;
    for (int32_t j = 0; j < bn; ++j) {
        if (j + kAhead < bn)
            __builtin_prefetch(&t.entries[t.home(b[j + kAhead].hash)]);
        const uint32_t p = t.find(b[j], b);
        class_entry& e = t.entries[p];
        b[j].chain = e.head;
        b[j].eqclass = static_cast<int32_t>(p);
        e.head = j;
        ++e.count;
    }
    // Lines that occur too often in the target seed no candidates.
    const int32_t limit = bn >= 31000 ? bn / 1000 : 1000000 / (bn + 1);
    for (int32_t i = 0; i < an; ++i) {
        // Two stages ahead: first the line's home entry, then (once that
        // entry has arrived) the target record it names.
        if (i + kAhead < an)
            __builtin_prefetch(&t.entries[t.home(a[i + kAhead].hash)]);
        if (i + kAhead / 2 < an) {
            const int32_t h = t.entries[t.home(a[i + kAhead / 2].hash)].head;
            if (h >= 0)
                __builtin_prefetch(&b[h]);
        }
        const uint32_t p = t.find(a[i], b);
        const class_entry& e = t.entries[p];
        a[i].eqclass = static_cast<int32_t>(p);
        a[i].chain = e.count <= limit ? e.head : -1;
    }
    return true;
}

// ---- Longest match -------------------------------------------------------

// Run memo entry of one target line: the source line it was last examined
// with as a candidate pair and the run of equal pairs ending there.
struct memo_entry {
    int32_t line;
    int32_t run;
};

struct match {
    int32_t i, j, k;
};

// Only the last this many source lines of a range are searched for seeds.
constexpr int32_t kWindow = 30000;

match longest_match(const line_record* a, const line_record* b,
                    memo_entry* memo, int32_t a1, int32_t a2, int32_t b1,
                    int32_t b2) noexcept
{
    int32_t bi = a1, bj = b1, bk = 0;
    const int32_t w = a2 - a1 > kWindow ? a2 - kWindow : a1;
    // Ties go towards the middles of the ranges. The sums can pass 2^31.
    const int64_t mid_a = (int64_t{w} + a2 - 1) / 2;
    const int64_t mid_b = (int64_t{b1} + b2 - 1) / 2;

    for (int32_t i = w; i < a2; ++i) {
        int32_t j = a[i].chain;
        while (j >= b2)
            j = b[j].chain;
        for (; j >= b1; j = b[j].chain) {
            // Count the run back from (i, j); a memo hit on the diagonal
            // supplies the rest of it at once.
            int32_t k = 1;
            while (j - k >= b1 && i - k >= w) {
                const memo_entry& m = memo[j - k];
                if (m.line == i - k) {
                    k += m.run;
                    break;
                }
                if (a[i - k].eqclass != b[j - k].eqclass)
                    break;
                ++k;
            }
            memo[j] = {i, k};
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
            auto* p = static_cast<frame*>(qv::mem_realloc(items, grown * sizeof(frame)));
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
hunk* recurse(const line_record* a, const line_record* b, memo_entry* memo,
              int32_t a1, int32_t a2, int32_t b1, int32_t b2,
              hunk* tail) noexcept
{
    frame_stack stack;
    if (!stack.push({a1, a2, b1, b2, {0, 0, 0}}))
        return nullptr;
    while (stack.size > 0) {
        frame& f = stack.items[stack.size - 1];
        const match m = longest_match(a, b, memo, f.a1, f.a2, f.b1, f.b2);
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
// or deleted run lands at its latest possible place.
void slide(hunk* first, const line_record* a, int32_t an,
           const line_record* b, int32_t bn) noexcept
{
    for (hunk* c = first; c != nullptr && c->next != nullptr; c = c->next) {
        hunk* n = c->next;
        if (c->a2 != n->a1 && c->b2 != n->b1)
            continue;
        while (c->a2 < an && c->b2 < bn && n->a1 < n->a2 && n->b1 < n->b2 &&
               lines_equal(a[c->a2], b[c->b2])) {
            ++c->a2;
            ++n->a1;
            ++c->b2;
            ++n->b1;
        }
    }
}

}  // namespace

int32_t linesift_diff(line_record* a, int32_t an, line_record* b, int32_t bn,
                      hunk* head) noexcept
{
    if (head == nullptr || head->next != nullptr || an < 0 || bn < 0)
        return LINESIFT_EINVAL;
    // Checked before any record is read: line numbers stay below 2^31 - 1
    // and the class table's 4 * B entries below 2^31.
    if (an > LINESIFT_MAX_LINES || bn > LINESIFT_MAX_LINES ||
        bn > LINESIFT_MAX_TARGET_LINES)
        return LINESIFT_ETOOBIG;
    if ((a == nullptr && an > 0) || (b == nullptr && bn > 0))
        return LINESIFT_EINVAL;

    if (!assign_classes(a, an, b, bn))
        return LINESIFT_ENOMEM;

    auto* memo = static_cast<memo_entry*>(
        qv::mem_calloc(bn > 0 ? static_cast<size_t>(bn) : 1, sizeof(memo_entry)));
    if (memo == nullptr)
        return LINESIFT_ENOMEM;
    hunk* tail = recurse(a, b, memo, 0, an, 0, bn, head);
    qv::mem_free(memo);
    if (tail == nullptr || append(tail, an, an, bn, bn) == nullptr)
        return LINESIFT_ENOMEM;

    slide(head->next, a, an, b, bn);
    int32_t count = 0;
    for (const hunk* h = head->next; h != nullptr; h = h->next)
        ++count;
    return count;
}
