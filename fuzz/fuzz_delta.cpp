// Decodes, sizes and applies one arbitrary delta against a source text, and
// checks every step against the reference rules of the delta format.
// Input: 2-byte big-endian source length k, k source bytes, then the delta.
#include "deltafold.h"
#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fz::Reader in{data, size};
    const std::string src = in.take(in.u16());
    const std::string delta = in.rest();
    const fz::Exact s(src), d(delta);

    std::vector<fz::Frag> frags;
    const bool decodes = fz::ref_decode(delta, frags);

    fragment_list* sentinel = reinterpret_cast<fragment_list*>(&frags);
    fragment_list* l = sentinel;
    const int rc = deltafold_decode(d.data, d.size, &l);
    if (!decodes) {
        QV_CHECK(rc == DF_EDECODE);
        QV_CHECK(l == sentinel);  // left untouched on refusal
        return 0;
    }
    QV_CHECK(rc == DF_OK);
    QV_CHECK(l != nullptr && l != sentinel);
    QV_CHECK(l->tail - l->head == static_cast<std::ptrdiff_t>(frags.size()));
    for (size_t i = 0; i < frags.size(); ++i) {
        const delta_fragment& f = l->head[i];
        QV_CHECK(f.start == frags[i].start && f.end == frags[i].end);
        QV_CHECK(f.len == frags[i].len);
        QV_CHECK(f.data == d.data + frags[i].data);
    }

    std::string want;
    const bool applies = fz::ref_apply(src, delta, frags, want);
    const int64_t n = deltafold_calcsize(s.size, l);
    if (applies) {
        QV_CHECK(n == static_cast<int64_t>(want.size()));
        const fz::Exact out(std::string(want.size(), '\0'));
        QV_CHECK(deltafold_apply(out.data, s.data, s.size, l) == 0);
        QV_CHECK(std::memcmp(out.data, want.data(), want.size()) == 0);
    } else {
        QV_CHECK(n == -1);
        // Refused lists must be refused by apply as well; give it room for
        // everything it might write before it notices.
        int64_t room = s.size;
        for (const fz::Frag& f : frags)
            room += f.len;
        const fz::Exact out(std::string(size_t(room), '\0'));
        QV_CHECK(deltafold_apply(out.data, s.data, s.size, l) == -1);
    }
    deltafold_lfree(l);
    return 0;
}
