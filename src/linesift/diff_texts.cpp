// The whole diff of two texts: prefix trim, split, matching, delta size.
#include "linesift/internal.h"
#include "qv/alloc.h"

namespace linesift_detail {

text_diff::~text_diff()
{
    linesift_freehunks(head_.next);
    qv::mem_free(records_);
}

int32_t text_diff::run(const char* sa, int64_t la, const char* sb, int64_t lb,
                       diff_output what) noexcept
{
    if (what == diff_output::delta) {
        // The delta's header fields hold 32-bit offsets.
        if (la > 4294967295LL || lb > 4294967295LL)
            return LINESIFT_ETOOBIG;
        if (la >= 0 && lb >= 0 && (sa != nullptr || la == 0) &&
            (sb != nullptr || lb == 0))
            prefix_ = common_prefix(sa, sb, la < lb ? la : lb);
    }
    split_texts t;
    const int32_t rc =
        split_pair(sa + prefix_, la - prefix_, sb + prefix_, lb - prefix_, &t);
    records_ = t.block;
    if (rc < 0)
        return rc;
    a_ = t.a;
    b_ = t.b;
    const int32_t n =
        match_records(a_, t.an, b_, t.bn, &head_, line_hash::keyed);
    if (n < 0)
        return n;
    count_ = n;
    if (what == diff_output::delta)
        delta_bytes_ = delta_size(b_, head_.next);
    return 0;
}

void text_diff::write_delta(char* out) const noexcept
{
    linesift_detail::write_delta(a_, b_, head_.next, prefix_, out);
}

}  // namespace linesift_detail
