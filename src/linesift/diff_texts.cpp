// The whole diff of two texts: prefix trim, split, matching, delta size.
#include <cstdlib>

#include "linesift/internal.h"
#include "linesift/lines.h"
#include "qv/alloc.h"

namespace linesift_detail {

text_diff::~text_diff()
{
    linesift_freehunks(head_.next);
    qv::mem_free(block_);
    qv::mem_free(ra_);
    qv::mem_free(rb_);
}

int32_t text_diff::run(const char* sa, int64_t la, const char* sb, int64_t lb,
                       diff_output what) noexcept
{
    if (la < 0 || lb < 0 || (sa == nullptr && la > 0) ||
        (sb == nullptr && lb > 0) || head_.next != nullptr)
        return LINESIFT_EINVAL;
    if (la > 4294967295LL || lb > 4294967295LL) {
        // The delta's header fields hold 32-bit offsets.
        if (what == diff_output::delta)
            return LINESIFT_ETOOBIG;
        return run_records(sa, la, sb, lb);
    }
    if (what == diff_output::delta)
        prefix_ = common_prefix(sa, sb, la < lb ? la : lb);
    const int32_t rc =
        run_compact(sa + prefix_, la - prefix_, sb + prefix_, lb - prefix_);
    if (rc == 0 && what == diff_output::delta)
        delta_bytes_ = delta_size(bo_, head_.next);
    return rc;
}

int32_t text_diff::run_compact(const char* sa, int64_t la, const char* sb,
                               int64_t lb) noexcept
{
    const int64_t an = count_lines(sa, la);
    const int64_t bn = count_lines(sb, lb);
    if (an < 0 || bn < 0 || bn > LINESIFT_MAX_TARGET_LINES)
        return LINESIFT_ETOOBIG;
    // One block: the target's memo entries first (they carry its keys, then
    // its classes and chains), then the source's line starts, classes and
    // chains, then the target's line starts. Below 2^31 lines each, so the
    // sum fits 64 bits; where size_t is narrower it may not fit that.
    const uint64_t memo_n = bn > 0 ? uint64_t(bn) : 1;
    const uint64_t bytes = memo_n * sizeof(memo_entry) +
                           (uint64_t(an) * 3 + 1) * sizeof(int32_t) +
                           (uint64_t(bn) + 1) * sizeof(uint32_t);
    if (bytes > SIZE_MAX)
        return LINESIFT_ENOMEM;
    block_ = qv::mem_alloc(static_cast<size_t>(bytes));
    if (block_ == nullptr)
        return LINESIFT_ENOMEM;
    auto* memo = static_cast<memo_entry*>(block_);
    ao_ = reinterpret_cast<uint32_t*>(memo + memo_n);
    auto* acls = reinterpret_cast<int32_t*>(ao_ + an + 1);
    int32_t* achain = acls + an;
    bo_ = reinterpret_cast<uint32_t*>(achain + an);
    tb_ = sb;

    match_view v;
    v.an = fill_lines(sa, la, an, ao_, acls, 1);
    v.bn = fill_lines(sb, lb, bn, bo_, &memo[0].eqclass,
                      sizeof(memo_entry) / sizeof(int32_t));
    v.acls = acls;
    v.achain = achain;
    v.memo = memo;
    const int32_t n =
        match_lines(v, offset_lines{sa, ao_}, offset_lines{sb, bo_}, &head_);
    if (n < 0)
        return n;
    count_ = n;
    return 0;
}

int32_t text_diff::run_records(const char* sa, int64_t la, const char* sb,
                               int64_t lb) noexcept
{
    const int32_t an = linesift_splitlines(sa, la, &ra_);
    if (an < 0)
        return an;
    const int32_t bn = linesift_splitlines(sb, lb, &rb_);
    if (bn < 0)
        return bn;
    const int32_t n = linesift_diff(ra_, an, rb_, bn, &head_);
    if (n < 0)
        return n;
    count_ = n;
    return 0;
}

void text_diff::write_delta(char* out) const noexcept
{
    linesift_detail::write_delta(ao_, bo_, tb_, head_.next, prefix_, out);
}

}  // namespace linesift_detail
