// Splits two texts into lines, matches them and checks the records and
// blocks through the exported functions; the engine entry that the module
// layer calls must give the same blocks. Then the delta of that entry (the
// common prefix trimmed, checked against the plain reading of that rule)
// must turn the source back into the target through the patch engine.
// Input: 2-byte big-endian source length k, k source bytes, then the target.
#include <string>

#include "deltafold/deltafold.h"
#include "fuzz_common.h"
#include "linesift/internal.h"
#include "linesift/linesift.h"

namespace {

uint32_t ref_hash(const char* p, int64_t n)
{
    uint32_t h = 0;
    for (int64_t i = 0; i < n; ++i)
        h = ((h << 7) | (h >> 25)) + uint32_t(int32_t(int8_t(p[i])));
    return h;
}

// Splits text and checks the records against the definition of a line and
// of the hash.
int32_t split(const fz::Exact& t, line_record** out)
{
    int32_t want = 0;
    for (int64_t i = 0; i < t.size; ++i)
        if (t.data[i] == '\n' || i == t.size - 1)
            ++want;
    const int32_t n = linesift_splitlines(t.data, t.size, out);
    QV_CHECK(n == want && *out != nullptr);
    const char* at = t.data;
    for (int32_t i = 0; i < n; ++i) {
        const line_record& r = (*out)[i];
        QV_CHECK(r.begin == at && r.length > 0);
        QV_CHECK(r.chain == INT32_MAX);
        QV_CHECK(r.hash == ref_hash(r.begin, r.length));
        for (int64_t j = 0; j + 1 < r.length; ++j)
            QV_CHECK(r.begin[j] != '\n');
        at += r.length;
    }
    QV_CHECK(at == t.data + t.size && (*out)[n].begin == at);
    return n;
}

bool same_line(const line_record& x, const line_record& y)
{
    return x.length == y.length &&
           std::memcmp(x.begin, y.begin, size_t(x.length)) == 0;
}

// Runs the exported engine on a and b and checks the blocks; returns the
// list (head owned by the caller).
void diff(const fz::Exact& a, const fz::Exact& b, line_record*& ra,
          line_record*& rb, hunk& head)
{
    const int32_t an = split(a, &ra);
    const int32_t bn = split(b, &rb);
    head.next = nullptr;
    const int32_t count = linesift_diff(ra, an, rb, bn, &head);
    QV_CHECK(count >= 1);
    int32_t seen = 0, pa = 0, pb = 0;
    const hunk* last = nullptr;
    for (const hunk* h = head.next; h != nullptr; h = h->next) {
        ++seen;
        QV_CHECK(h->a1 >= pa && h->b1 >= pb);
        QV_CHECK(h->a2 - h->a1 == h->b2 - h->b1 && h->a1 <= h->a2);
        QV_CHECK(h->a2 <= an && h->b2 <= bn);
        for (int32_t i = 0; i < h->a2 - h->a1; ++i)
            QV_CHECK(same_line(ra[h->a1 + i], rb[h->b1 + i]));
        pa = h->a2;
        pb = h->b2;
        last = h;
    }
    QV_CHECK(seen == count);
    QV_CHECK(last->a1 == an && last->a2 == an && last->b1 == bn &&
             last->b2 == bn);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fz::Reader in{data, size};
    const std::string src = in.take(in.u16());
    const std::string tgt = in.rest();

    using linesift_detail::diff_output;
    using linesift_detail::text_diff;
    // The matching blocks of the whole texts, both ways.
    {
        const fz::Exact a(src), b(tgt);
        line_record *ra = nullptr, *rb = nullptr;
        hunk head{};
        diff(a, b, ra, rb, head);
        text_diff entry;
        QV_CHECK(entry.run(a.data, a.size, b.data, b.size,
                           diff_output::blocks) == 0);
        int32_t seen = 0;
        const hunk* e = entry.blocks();
        for (const hunk* h = head.next; h != nullptr; h = h->next) {
            QV_CHECK(e != nullptr && e->a1 == h->a1 && e->a2 == h->a2 &&
                     e->b1 == h->b1 && e->b2 == h->b2);
            e = e->next;
            ++seen;
        }
        QV_CHECK(e == nullptr && seen == entry.block_count());
        std::free(ra);
        std::free(rb);
        linesift_freehunks(head.next);
    }

    // The delta as the module writes it, after trimming the common prefix
    // of whole lines (checked against the plain reading of that rule).
    size_t c = 0;
    for (size_t i = 0; i < src.size() && i < tgt.size() && src[i] == tgt[i];
         ++i)
        if (src[i] == '\n')
            c = i + 1;
    {
        const fz::Exact s(src), t(tgt);
        const int64_t m = s.size < t.size ? s.size : t.size;
        QV_CHECK(linesift_detail::common_prefix(s.data, t.data, m) ==
                 int64_t(c));
    }
    std::string delta;
    {
        const fz::Exact a(src), b(tgt);
        text_diff entry;
        QV_CHECK(entry.run(a.data, a.size, b.data, b.size,
                           diff_output::delta) == 0);
        const fz::Exact written(
            std::string(size_t(entry.delta_bytes()), '\0'));
        entry.write_delta(written.data);
        delta.assign(written.data, size_t(entry.delta_bytes()));
    }
    QV_CHECK(delta.empty() == (src == tgt));

    const fz::Exact s(src), d(delta);
    fragment_list* l = nullptr;
    QV_CHECK(deltafold_decode(d.data, d.size, &l) == DELTAFOLD_OK);
    // No empty fragment, and each starts at or after the one before ends.
    int64_t prev_end = 0;
    for (const delta_fragment* f = l->head; f < l->tail; ++f) {
        QV_CHECK(f->end > f->start || f->len > 0);
        QV_CHECK(f->start >= prev_end);
        prev_end = f->end;
    }
    const int64_t n = deltafold_calcsize(s.size, l);
    QV_CHECK(n == static_cast<int64_t>(tgt.size()));
    const fz::Exact out(std::string(tgt.size(), '\0'));
    QV_CHECK(deltafold_apply(out.data, s.data, s.size, l) == 0);
    QV_CHECK(std::memcmp(out.data, tgt.data(), tgt.size()) == 0);
    deltafold_lfree(l);
    return 0;
}
