// Splits two texts into lines, matches them and checks the blocks, through
// the exported functions (defined hash) and again through the module
// layer's engine path (keyed hash), which must give the same blocks; then
// trims, sizes and writes the delta with the engine's own delta stage and
// checks that it turns the source back into the target through the patch
// engine.
// Input: 2-byte big-endian source length k, k source bytes, then the target.
#include <vector>

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

// Splits text and checks the records against the definition of a line (and
// of the defined hash, unless the keyed one was asked for).
int32_t split(const fz::Exact& t, line_record** out, bool keyed)
{
    int32_t want = 0;
    for (int64_t i = 0; i < t.size; ++i)
        if (t.data[i] == '\n' || i == t.size - 1)
            ++want;
    using linesift_detail::line_hash;
    const int32_t n = keyed ? linesift_detail::split_lines(t.data, t.size, out,
                                                           line_hash::keyed)
                            : linesift_splitlines(t.data, t.size, out);
    QV_CHECK(n == want && *out != nullptr);
    const char* at = t.data;
    for (int32_t i = 0; i < n; ++i) {
        const line_record& r = (*out)[i];
        QV_CHECK(r.begin == at && r.length > 0);
        QV_CHECK(r.chain == INT32_MAX);
        QV_CHECK(keyed || r.hash == ref_hash(r.begin, r.length));
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

// Runs the engine on a and b and checks the blocks; returns the list (head
// owned by the caller) for the delta writer.
void diff(const fz::Exact& a, const fz::Exact& b, line_record*& ra,
          line_record*& rb, hunk& head, bool keyed)
{
    const int32_t an = split(a, &ra, keyed);
    const int32_t bn = split(b, &rb, keyed);
    head.next = nullptr;
    const int32_t count =
        keyed ? linesift_detail::match_records(ra, an, rb, bn, &head, true)
              : linesift_diff(ra, an, rb, bn, &head);
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

    // The matching blocks of the whole texts, both ways.
    {
        const fz::Exact a(src), b(tgt);
        std::vector<hunk> seen[2];
        for (int keyed = 0; keyed < 2; ++keyed) {
            line_record *ra = nullptr, *rb = nullptr;
            hunk head{};
            diff(a, b, ra, rb, head, keyed != 0);
            for (const hunk* h = head.next; h != nullptr; h = h->next)
                seen[keyed].push_back({h->a1, h->a2, h->b1, h->b2, nullptr});
            std::free(ra);
            std::free(rb);
            linesift_freehunks(head.next);
        }
        QV_CHECK(seen[0].size() == seen[1].size());
        for (size_t k = 0; k < seen[0].size(); ++k)
            QV_CHECK(seen[0][k].a1 == seen[1][k].a1 &&
                     seen[0][k].a2 == seen[1][k].a2 &&
                     seen[0][k].b1 == seen[1][k].b1 &&
                     seen[0][k].b2 == seen[1][k].b2);
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
    const fz::Exact a(src.substr(c)), b(tgt.substr(c));
    line_record *ra = nullptr, *rb = nullptr;
    hunk head{};
    diff(a, b, ra, rb, head, true);
    const int64_t dsize = linesift_detail::delta_size(rb, head.next);
    const fz::Exact written(std::string(size_t(dsize), '\0'));
    linesift_detail::write_delta(ra, rb, head.next, int64_t(c), written.data);
    const std::string delta(written.data, size_t(dsize));
    std::free(ra);
    std::free(rb);
    linesift_freehunks(head.next);
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
