// Class assignment: equal lines share a class, found by their keyed hash.
#include "linesift/classes.h"

#include <cstring>

#include "linesift/hash.h"
#include "qv/alloc.h"

namespace linesift_detail {

namespace {

// How many lines ahead assignment fetches table entries and target records:
// on large texts both are far bigger than the caches.
constexpr int32_t kAhead = 16;

// Chain steps taken before last_below turns to a class's sorted list. Most
// chains on ordinary input already start inside the range, or a step or two
// above it; a binary search would only cost more there.
constexpr int kShortWalk = 8;

// The keyed hash of a record, wherever it comes from. Before assignment
// reaches a record, its eqclass field holds the rehashed value (written by
// prehash below), since that field is the engine's to use.
template <line_hash S>
inline uint32_t key_of(const line_record& x) noexcept
{
    if constexpr (S == line_hash::keyed)
        return x.hash;
    else
        return static_cast<uint32_t>(x.eqclass);
}

void prehash(line_record* r, int32_t n) noexcept
{
    const hash_key& key = process_key();
    for (int32_t i = 0; i < n; ++i)
        r[i].eqclass =
            static_cast<int32_t>(keyed_hash(key, r[i].begin, r[i].length));
}

// Full equality of two lines whose keyed hashes agree, so nearly always of
// equal lines: short ones (most lines of code) are compared in registers
// rather than through a call.
inline bool same_bytes(const line_record& x, const line_record& y) noexcept
{
    using namespace hash_impl;
    if (x.length != y.length)
        return false;
    const int64_t n = x.length;
    const auto* p = reinterpret_cast<const unsigned char*>(x.begin);
    const auto* q = reinterpret_cast<const unsigned char*>(y.begin);
    if (n < 8)
        return n == 0 || load_short(p, n) == load_short(q, n);
    if (n <= 16)
        return load8(p) == load8(q) && load8(p + n - 8) == load8(q + n - 8);
    return std::memcmp(p, q, static_cast<size_t>(n)) == 0;
}

}  // namespace

class_table::~class_table()
{
    qv::mem_free(entries_);
    qv::mem_free(pool_);
}

bool class_table::allocate(int32_t bn) noexcept
{
    unsigned bits = 0;
    while ((int64_t{1} << bits) <= bn)
        ++bits;
    // bn < 2^28, so 2 * B <= 2^29 entries. Two entries at least, so that
    // an index is always a shift of the hash by less than 32.
    for (unsigned extra = 1;; --extra) {
        const uint64_t size = uint64_t{1}
                              << (bits + extra > 0 ? bits + extra : 1);
        // Where size_t is 32 bits wide the largest tables do not fit it.
        size_t bytes;
        entries_ = __builtin_mul_overflow(size, sizeof(class_entry), &bytes)
                       ? nullptr
                       : static_cast<class_entry*>(qv::mem_alloc(bytes));
        if (entries_ != nullptr) {
            mask_ = static_cast<uint32_t>(size - 1);
            shift_ = 32 - static_cast<unsigned>(__builtin_ctzll(size));
            for (uint64_t p = 0; p < size; ++p)
                entries_[p] = {-1, 0, 0};
            bn_ = bn;
            return true;
        }
        if (extra == 0)
            return false;
    }
}

namespace {

// Probing, shared by both loops of assign. Returns the entry of x's class
// or the empty entry that ends x's probe run; the table always has one,
// since it is larger than the target's line count.
struct prober {
    class_entry* entries;
    uint32_t mask;
    unsigned shift;

    uint32_t home(uint32_t key) const noexcept { return key >> shift; }

    uint32_t find(const line_record& x, uint32_t key,
                  const line_record* b) const noexcept
    {
        uint32_t p = home(key);
        for (;; p = (p + 1) & mask) {
            const class_entry& e = entries[p];
            if (e.head == -1 || (e.tag == key && same_bytes(b[e.head], x)))
                return p;
        }
    }
};

template <line_hash S>
void enter_and_assign(const prober& t, line_record* a, int32_t an,
                      line_record* b, int32_t bn) noexcept
{
    for (int32_t j = 0; j < bn; ++j) {
        if (j + kAhead < bn)
            __builtin_prefetch(&t.entries[t.home(key_of<S>(b[j + kAhead]))]);
        const uint32_t key = key_of<S>(b[j]);
        const uint32_t p = t.find(b[j], key, b);
        class_entry& e = t.entries[p];
        b[j].chain = e.head;
        b[j].eqclass = static_cast<int32_t>(p);
        e.head = j;
        e.tag = key;
        ++e.count;
    }
    // Lines that occur too often in the target seed no candidates.
    const int32_t limit = bn >= 31000 ? bn / 1000 : 1000000 / (bn + 1);
    for (int32_t i = 0; i < an; ++i) {
        // Two stages ahead: first the line's home entry, then (once that
        // entry has arrived) the target record it names.
        if (i + kAhead < an)
            __builtin_prefetch(&t.entries[t.home(key_of<S>(a[i + kAhead]))]);
        if (i + kAhead / 2 < an) {
            const int32_t h =
                t.entries[t.home(key_of<S>(a[i + kAhead / 2]))].head;
            if (h >= 0)
                __builtin_prefetch(&b[h]);
        }
        const uint32_t p = t.find(a[i], key_of<S>(a[i]), b);
        const class_entry& e = t.entries[p];
        a[i].eqclass = static_cast<int32_t>(p);
        a[i].chain = e.count <= limit ? e.head : -1;
    }
}

}  // namespace

bool class_table::assign(line_record* a, int32_t an, line_record* b,
                         int32_t bn, line_hash hashes) noexcept
{
    if (!allocate(bn))
        return false;
    const prober t{entries_, mask_, shift_};
    if (hashes == line_hash::keyed) {
        enter_and_assign<line_hash::keyed>(t, a, an, b, bn);
    } else {
        prehash(b, bn);
        prehash(a, an);
        enter_and_assign<line_hash::defined>(t, a, an, b, bn);
    }
    return true;
}

// The class's target lines in ascending order, built on first need by one
// walk down its chain; null if the pool cannot be had.
const int32_t* class_table::members(const line_record* b,
                                    class_entry& e) noexcept
{
    if (e.head < -1)
        return pool_ + (-2 - e.head);
    if (pool_ == nullptr) {
        if (pool_failed_)
            return nullptr;
        size_t bytes;
        if (!__builtin_mul_overflow(static_cast<size_t>(bn_), sizeof(int32_t),
                                    &bytes))
            pool_ = static_cast<int32_t*>(qv::mem_alloc(bytes));
        if (pool_ == nullptr) {
            pool_failed_ = true;
            return nullptr;
        }
    }
    int32_t* list = pool_ + pool_used_;
    int32_t k = e.count;
    for (int32_t j = e.head; j >= 0; j = b[j].chain)
        list[--k] = j;
    e.head = -2 - pool_used_;
    pool_used_ += e.count;
    return list;
}

int32_t class_table::last_below(const line_record* b, int32_t cls, int32_t top,
                                int32_t end) noexcept
{
    int32_t j = top;
    for (int step = 0; step < kShortWalk; ++step) {
        j = b[j].chain;
        if (j < end)
            return j;
    }
    class_entry& e = entries_[cls];
    const int32_t* list = members(b, e);
    if (list == nullptr) {  // no memory for the list: walk on
        while (j >= end)
            j = b[j].chain;
        return j;
    }
    // Largest member below end: the members are ascending.
    int32_t lo = 0, hi = e.count;  // answer index in [lo - 1, hi)
    while (lo < hi) {
        const int32_t mid = lo + (hi - lo) / 2;
        if (list[mid] < end)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo > 0 ? list[lo - 1] : -1;
}

}  // namespace linesift_detail
