// Folds a chain of deltas into one list and checks it against applying the
// deltas one at a time. Deltas may be arbitrary bytes or, when the input asks
// for it, "repaired" into deltas that are valid against the running text, so
// that most runs exercise the merge itself.
// Input: flags byte f (count = (f & 7) + 1 deltas; repair when f & 8), then
// a 2-byte big-endian base length and the base, then per delta a 2-byte
// big-endian length and its bytes (cut short when the input ends).
#include <memory>

#include "deltafold.h"
#include "fuzz_common.h"

namespace {

struct Items {
    std::vector<std::unique_ptr<fz::Exact>> deltas;
    int64_t next_pos = 0;  // fetches must come once each, in order
    bool failed = false;
};

fragment_list* fetch(void* p, int64_t pos)
{
    auto* items = static_cast<Items*>(p);
    QV_CHECK(pos == items->next_pos);
    QV_CHECK(pos >= 0 && pos < static_cast<int64_t>(items->deltas.size()));
    items->next_pos = pos + 1;
    const fz::Exact& d = *items->deltas[size_t(pos)];
    fragment_list* l = nullptr;
    if (deltafold_decode(d.data, d.size, &l) != DF_OK) {
        items->failed = true;
        return nullptr;
    }
    return l;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fz::Reader in{data, size};
    const size_t flags = in.u8();
    const size_t count = (flags & 7) + 1;
    const bool repair = (flags & 8) != 0;
    const std::string base = in.take(in.u16());

    Items items;
    std::string text = base;
    bool chain_ok = true;
    for (size_t i = 0; i < count; ++i) {
        std::string delta = in.take(in.u16());
        const bool was_ok = chain_ok;
        if (repair && was_ok)
            delta = fz::repair_delta(delta, static_cast<int64_t>(text.size()));
        std::string next;
        if (chain_ok && fz::ref_patch(text, delta, next))
            text.swap(next);
        else
            chain_ok = false;
        // A repaired delta always applies to the text it was repaired for.
        QV_CHECK(!(repair && was_ok && !chain_ok));
        items.deltas.push_back(std::make_unique<fz::Exact>(delta));
    }

    const fz::Exact b(base);
    fragment_list* r =
        deltafold_fold(&items, fetch, 0, static_cast<int64_t>(count));
    QV_CHECK(items.next_pos == static_cast<int64_t>(count));
    if (items.failed) {
        QV_CHECK(r == nullptr);
        return 0;
    }
    QV_CHECK(r != nullptr);

    const int64_t n = deltafold_calcsize(b.size, r);
    if (chain_ok) {
        QV_CHECK(n == static_cast<int64_t>(text.size()));
    }
    if (n >= 0) {
        // Whatever the fold produced, an accepted list must stay inside the
        // base text and inside an output of exactly the announced size.
        const fz::Exact out(std::string(size_t(n), '\0'));
        QV_CHECK(deltafold_apply(out.data, b.data, b.size, r) == 0);
        if (chain_ok)
            QV_CHECK(std::memcmp(out.data, text.data(), text.size()) == 0);
    }
    deltafold_lfree(r);
    return 0;
}
