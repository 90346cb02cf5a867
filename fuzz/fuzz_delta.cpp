// Decodes, sizes and applies one arbitrary delta against a source text, and
// reads its size from the headers alone, each step checked against
// testkit/reference.py (expect_delta, which also cuts the input).
#include "fuzz_python.h"  // first: it includes Python.h

#include <cstring>

#include "deltafold/deltafold.h"
#include "deltafold/internal.h"

namespace {
PyObject* g_expect;  // reference.expect_delta
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    g_expect = fz::reference_function("expect_delta");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const fz::Expect want(g_expect, data, size);
    const std::string src = fz::bytes_of(want.at(0));
    const std::string delta = fz::bytes_of(want.at(1));
    PyObject* frags = want.at(2);  // [(start, end, data offset, len)] or None
    PyObject* patched = want.at(3);  // text or message
    PyObject* sized = want.at(4);    // size or message
    const fz::Exact s(src), d(delta);

    // The size-only reading, which never decodes.
    int64_t n = -12345;
    const int rc_size = deltafold_sizeonly(s.size, d.data, d.size, &n);
    if (fz::is_int(sized)) {
        QV_CHECK(rc_size == DELTAFOLD_OK && n == fz::int_of(sized));
    } else {
        QV_CHECK(rc_size == DELTAFOLD_EDECODE && n == -12345);
    }

    fragment_list sentinel_list{};
    fragment_list* sentinel = &sentinel_list;
    fragment_list* l = sentinel;
    const int rc = deltafold_decode(d.data, d.size, &l);
    if (fz::is_none(frags)) {
        QV_CHECK(rc == DELTAFOLD_EDECODE);
        QV_CHECK(l == sentinel);  // left untouched on refusal
        return 0;
    }
    QV_CHECK(rc == DELTAFOLD_OK && l != nullptr && l != sentinel);
    QV_CHECK(l->tail - l->head == PyList_GET_SIZE(frags));
    int64_t room = s.size;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(frags); ++i) {
        PyObject* f = PyList_GET_ITEM(frags, i);
        const delta_fragment& g = l->head[i];
        QV_CHECK(g.start == fz::int_of(PyTuple_GET_ITEM(f, 0)));
        QV_CHECK(g.end == fz::int_of(PyTuple_GET_ITEM(f, 1)));
        QV_CHECK(g.data == d.data + fz::int_of(PyTuple_GET_ITEM(f, 2)));
        QV_CHECK(g.len == fz::int_of(PyTuple_GET_ITEM(f, 3)));
        room += g.len;
    }

    const int64_t out_size = deltafold_calcsize(s.size, l);
    if (fz::is_bytes(patched)) {
        const std::string text = fz::bytes_of(patched);
        QV_CHECK(out_size == static_cast<int64_t>(text.size()));
        const fz::Exact out(std::string(text.size(), '\0'));
        QV_CHECK(deltafold_apply(out.data, s.data, s.size, l) == 0);
        QV_CHECK(std::memcmp(out.data, text.data(), text.size()) == 0);
    } else {
        QV_CHECK(fz::message_of(patched) == "invalid patch");
        QV_CHECK(out_size == DELTAFOLD_EPATCH);
        // Refused lists must be refused by apply as well; give it room for
        // everything it might write before it notices.
        const fz::Exact out(std::string(size_t(room), '\0'));
        QV_CHECK(deltafold_apply(out.data, s.data, s.size, l) ==
                 DELTAFOLD_EPATCH);
    }
    deltafold_lfree(l);
    return 0;
}
