// Class assignment: equal lines share a class, found by their keyed hash.
#include "linesift/classes.h"

#include <cstring>

#include "linesift/hash.h"
#include "qv/alloc.h"

namespace linesift_detail {

namespace {

// How many lines ahead assignment fetches table entries and target lines:
// on large texts both are far bigger than the caches.
constexpr int32_t kAhead = 16;

// Chain steps taken before last_below turns to a class's sorted list. Most
// chains on ordinary input already start inside the range, or a step or two
// above it; a binary search would only cost more there.
constexpr int kShortWalk = 8;

constexpr uint32_t kPopular = 0x80000000u;
constexpr uint32_t kLong = 0x40000000u;
constexpr uint32_t kFlags = kPopular | kLong;

// Full equality of two lines whose keyed hashes agree, so nearly always of
// equal lines: short ones (most lines of code) are compared in registers
// rather than through a call.
inline bool same_bytes(const char* x, int64_t nx, const char* y,
                       int64_t ny) noexcept
{
    using namespace hash_impl;
    if (nx != ny)
        return false;
    const int64_t n = nx;
    const auto* p = reinterpret_cast<const unsigned char*>(x);
    const auto* q = reinterpret_cast<const unsigned char*>(y);
    if (n < 8)
        return n == 0 || load_short(p, n) == load_short(q, n);
    if (n <= 16)
        return load8(p) == load8(q) && load8(p + n - 8) == load8(q + n - 8);
    return std::memcmp(p, q, static_cast<size_t>(n)) == 0;
}

// Probing, shared by both loops of assign. Returns the entry of the line's
// class or the empty entry that ends its probe run; the table always has
// one, since it is larger than the target's line count.
template <class Lines>
struct prober {
    class_entry* entries;
    uint32_t size;
    const Lines& b;

    uint32_t home(uint32_t key) const noexcept
    {
        return static_cast<uint32_t>((uint64_t{key} * size) >> 32);
    }

    uint32_t find(const char* x, int64_t nx, uint32_t key) const noexcept
    {
        const uint32_t tag = key & ~kFlags;
        for (uint32_t p = home(key);; p = p + 1 == size ? 0 : p + 1) {
            const class_entry& e = entries[p];
            if (e.head == -1)
                return p;
            if ((e.tag & ~kFlags) == tag &&
                same_bytes(b.begin(e.head), b.length(e.head), x, nx))
                return p;
        }
    }
};

}  // namespace

class_table::~class_table()
{
    qv::mem_free(entries_);
    qv::mem_free(pool_);
}

template <class Lines>
bool class_table::assign(match_view& v, const Lines& a,
                         const Lines& b) noexcept
{
    const int32_t an = v.an, bn = v.bn;
    // bn < 2^28, so the size fits 32 bits; 2 entries at least.
    const uint64_t size = uint64_t(bn) + uint64_t(bn) / 2 + 2;
    size_t bytes;
    if (__builtin_mul_overflow(size, sizeof(class_entry), &bytes))
        return false;
    entries_ = static_cast<class_entry*>(qv::mem_alloc(bytes));
    if (entries_ == nullptr)
        return false;
    size_ = static_cast<uint32_t>(size);
    bn_ = bn;
    std::memset(static_cast<void*>(entries_), 0xFF, bytes);  // head -1

    const prober<Lines> t{entries_, size_, b};
    memo_entry* memo = v.memo;
    // Lines that occur too often in the target seed no candidates. Counts
    // are kept in the memo's run fields while the target is entered.
    const int32_t limit = bn >= 31000 ? bn / 1000 : 1000000 / (bn + 1);
    for (int32_t j = 0; j < bn; ++j) {
        if (j + kAhead < bn)
            __builtin_prefetch(&entries_[t.home(
                static_cast<uint32_t>(memo[j + kAhead].eqclass))]);
        const auto key = static_cast<uint32_t>(memo[j].eqclass);
        const uint32_t p = t.find(b.begin(j), b.length(j), key);
        class_entry& e = entries_[p];
        const int32_t count = e.head == -1 ? 1 : memo[e.head].run + 1;
        memo[j].chain = e.head;
        memo[j].eqclass = static_cast<int32_t>(p);
        memo[j].run = count;
        e.head = j;
        e.tag = (key & ~kFlags) | (count > limit ? kPopular : 0) |
                (count > kLongClass ? kLong : 0);
    }
    for (int32_t j = 0; j < bn; ++j) {
        memo[j].line = 0;  // an entry never written reads as line 0, run 0
        memo[j].run = 0;
    }

    int32_t* cls = v.acls;
    for (int32_t i = 0; i < an; ++i) {
        // Two stages ahead: first the line's home entry, then (once that
        // entry has arrived) the target line it names.
        if (i + kAhead < an)
            __builtin_prefetch(
                &entries_[t.home(static_cast<uint32_t>(cls[i + kAhead]))]);
        if (i + kAhead / 2 < an) {
            const int32_t h =
                entries_[t.home(static_cast<uint32_t>(cls[i + kAhead / 2]))]
                    .head;
            if (h >= 0)
                __builtin_prefetch(b.begin(h));
        }
        const uint32_t p =
            t.find(a.begin(i), a.length(i), static_cast<uint32_t>(cls[i]));
        const class_entry& e = entries_[p];
        cls[i] = static_cast<int32_t>(p);
        v.achain[i] = (e.tag & kPopular) ? -1
                      : (e.tag & kLong)  ? -2 - e.head
                                         : e.head;
    }
    return true;
}

template bool class_table::assign(match_view&, const record_lines&,
                                  const record_lines&) noexcept;
template bool class_table::assign(match_view&, const offset_lines&,
                                  const offset_lines&) noexcept;

// The class's target lines in ascending order, after their count, built on
// first need by one walk down its chain; null if the pool cannot be had.
const int32_t* class_table::members(const memo_entry* memo,
                                    class_entry& e) noexcept
{
    if (e.head < -1)
        return pool_ + (-2 - e.head);
    int32_t n = 0;
    for (int32_t j = e.head; j >= 0; j = memo[j].chain)
        ++n;
    if (pool_used_ + 1 + n > pool_size_) {
        if (pool_failed_)
            return nullptr;
        const int64_t most = int64_t{bn_} + bn_ / kShortWalk + 1;
        int64_t size = pool_size_ > 0 ? pool_size_ * 2 : 4096;
        while (size < pool_used_ + 1 + n)
            size *= 2;
        size = size < most ? size : most;
        auto* p = static_cast<int32_t*>(qv::mem_realloc(
            pool_, static_cast<size_t>(size) * sizeof(int32_t)));
        if (p == nullptr || size < pool_used_ + 1 + n) {
            if (p != nullptr)
                pool_ = p;
            pool_failed_ = true;
            return nullptr;
        }
        pool_ = p;
        pool_size_ = size;
    }
    int32_t* list = pool_ + pool_used_;
    int32_t k = 0;
    for (int32_t j = e.head; j >= 0; j = memo[j].chain)
        list[1 + k++] = j;
    for (int32_t x = 1, y = k; x < y; ++x, --y) {
        const int32_t s = list[x];
        list[x] = list[y];
        list[y] = s;
    }
    list[0] = k;
    e.head = static_cast<int32_t>(-2 - pool_used_);
    pool_used_ += 1 + k;
    return list;
}

int32_t class_table::below(const memo_entry* memo, int32_t cls, int32_t end,
                           const int32_t** list) noexcept
{
    const int32_t* l = members(memo, entries_[cls]);
    if (l == nullptr)
        return -1;
    // Members below end: the first one at or above it ends them.
    int32_t lo = 0, hi = l[0];
    while (lo < hi) {
        const int32_t mid = lo + (hi - lo) / 2;
        if (l[1 + mid] < end)
            lo = mid + 1;
        else
            hi = mid;
    }
    *list = l + 1;
    return lo;
}

int32_t class_table::last_below(const memo_entry* memo, int32_t cls,
                                int32_t top, int32_t end) noexcept
{
    int32_t j = top;
    for (int step = 0; step < kShortWalk; ++step) {
        j = memo[j].chain;
        if (j < end)
            return j;
    }
    const int32_t* list = members(memo, entries_[cls]);
    if (list == nullptr) {  // no memory for the list: walk on
        while (j >= end)
            j = memo[j].chain;
        return j;
    }
    // Largest member below end: the members are ascending.
    const int32_t* m = list + 1;
    int32_t lo = 0, hi = list[0];  // answer index in [lo - 1, hi)
    while (lo < hi) {
        const int32_t mid = lo + (hi - lo) / 2;
        if (m[mid] < end)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo > 0 ? m[lo - 1] : -1;
}

}  // namespace linesift_detail
