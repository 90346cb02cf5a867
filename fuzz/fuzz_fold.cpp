// Folds a chain of deltas into one list and checks it against applying the
// deltas one at a time (testkit/reference.py, expect_fold, which also cuts the
// input). Deltas may be arbitrary bytes or, when the input asks for it,
// repaired into deltas that fit the running text, so that most runs
// exercise the merge itself.
#include "fuzz_python.h"  // first: it includes Python.h

#include <cstring>
#include <memory>
#include <vector>

#include "deltafold/deltafold.h"

namespace {

PyObject* g_expect;  // reference.expect_fold

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
    if (deltafold_decode(d.data, d.size, &l) != DELTAFOLD_OK) {
        items->failed = true;
        return nullptr;
    }
    return l;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    g_expect = fz::reference_function("expect_fold");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const fz::Expect want(g_expect, data, size);
    const fz::Exact base(fz::bytes_of(want.at(0)));
    PyObject* deltas = want.at(1);
    PyObject* result = want.at(2);  // text, message, or None: undefined
    Items items;
    const Py_ssize_t count = PyList_GET_SIZE(deltas);
    for (Py_ssize_t i = 0; i < count; ++i)
        items.deltas.push_back(std::make_unique<fz::Exact>(
            fz::bytes_of(PyList_GET_ITEM(deltas, i))));

    fragment_list* r = deltafold_fold(&items, fetch, 0, count);
    QV_CHECK(items.next_pos == count);
    const std::string message = fz::message_of(result);
    QV_CHECK(items.failed == (message == "patch cannot be decoded"));
    if (items.failed) {
        QV_CHECK(r == nullptr);
        return 0;
    }
    QV_CHECK(r != nullptr);

    const int64_t n = deltafold_calcsize(base.size, r);
    if (fz::is_bytes(result)) {
        QV_CHECK(n == PyBytes_GET_SIZE(result));
    } else if (message == "invalid patch") {
        QV_CHECK(n == DELTAFOLD_EPATCH);
    }
    if (n >= 0) {
        // Whatever the fold produced, an accepted list must stay inside the
        // base text and inside an output of exactly the announced size.
        const fz::Exact out(std::string(size_t(n), '\0'));
        QV_CHECK(deltafold_apply(out.data, base.data, base.size, r) == 0);
        if (fz::is_bytes(result))
            QV_CHECK(std::memcmp(out.data, PyBytes_AS_STRING(result),
                                 size_t(n)) == 0);
    }
    deltafold_lfree(r);
    return 0;
}
