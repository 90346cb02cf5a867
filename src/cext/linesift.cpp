// Module linesift: binary delta and matching blocks of two texts, and
// whitespace normalisation. The engine does the comparing, trimming and
// delta writing; this layer parses, releases the lock around the engine's
// work, builds the result objects and maps engine codes to exceptions.

#include "linesift/linesift.h"
#include "linesift/internal.h"
#include "pyutil.h"

namespace {

constexpr char kTooLarge[] = "linesift inputs too large";
constexpr char kMisuse[] = "linesift engine called with invalid arguments";

// Raises for an engine code unless an exception is already pending.
// LINESIFT_EINVAL means this layer passed bad arguments: our bug, not the
// caller's, hence SystemError.
PyObject* linesift_raise(int32_t code) noexcept
{
    return qv::raise_code(code,
                          {{LINESIFT_ETOOBIG, PyExc_ValueError, kTooLarge},
                           {LINESIFT_EINVAL, PyExc_SystemError, kMisuse},
                           {LINESIFT_ENOMEM, nullptr, nullptr}});
}

// The engine's working state for one call; freed with the lock held.
struct diff_state {
    qv::CPtr<line_record> records;  // both texts' records, one block
    line_record* a = nullptr;
    line_record* b = nullptr;
    hunk head = {0, 0, 0, 0, nullptr};

    ~diff_state() { linesift_freehunks(head.next); }

    // Splits both texts and matches them; returns 0 or a negative engine
    // code.
    int32_t run(const char* sa, int64_t la, const char* sb,
                int64_t lb) noexcept
    {
        linesift_detail::split_texts t;
        const int32_t rc = linesift_detail::split_pair(sa, la, sb, lb, &t);
        records.reset(t.block);
        if (rc < 0)
            return rc;
        a = t.a;
        b = t.b;
        const int32_t n =
            linesift_detail::match_records(a, t.an, b, t.bn, &head, true);
        return n < 0 ? n : 0;
    }
};

// "s#" takes a str (its UTF-8, owned by the str) or a read-only bytes-like
// object whose buffer needs no release, so nothing can resize or free the
// bytes while the argument tuple keeps the objects alive for the call.
PyObject* linesift_linesift(PyObject*, PyObject* args) noexcept
{
    const char* sa;
    const char* sb;
    Py_ssize_t la, lb;
    if (!PyArg_ParseTuple(args, "s#s#:linesift", &sa, &la, &sb, &lb))
        return nullptr;
    if (la > 4294967295LL || lb > 4294967295LL)
        return linesift_raise(LINESIFT_ETOOBIG);

    diff_state s;
    int64_t prefix = 0, total = 0;
    int32_t rc;
    {
        qv::GilRelease unlocked;
        prefix = linesift_detail::common_prefix(sa, sb, la < lb ? la : lb);
        rc = s.run(sa + prefix, la - prefix, sb + prefix, lb - prefix);
        if (rc == 0)
            total = linesift_detail::delta_size(s.b, s.head.next);
    }
    if (rc < 0)
        return linesift_raise(rc);

    qv::Ref result = qv::Ref::steal(PyBytes_FromStringAndSize(nullptr, total));
    if (!result)
        return PyErr_NoMemory();
    linesift_detail::write_delta(s.a, s.b, s.head.next, prefix,
                                 qv::bytes_data(result.get()));
    return result.release();
}

PyObject* linesift_blocks(PyObject*, PyObject* args) noexcept
{
    PyObject* sa;
    PyObject* sb;
    if (!PyArg_ParseTuple(args, "SS:linesift", &sa, &sb))
        return nullptr;

    diff_state s;
    const int32_t rc = s.run(qv::bytes_data(sa), qv::bytes_size(sa),
                             qv::bytes_data(sb), qv::bytes_size(sb));
    if (rc < 0)
        return linesift_raise(rc);
    Py_ssize_t count = 0;
    for (const hunk* h = s.head.next; h != nullptr; h = h->next)
        ++count;

    qv::Ref list = qv::Ref::steal(PyList_New(count));
    if (!list)
        return PyErr_NoMemory();
    Py_ssize_t k = 0;
    for (const hunk* h = s.head.next; h != nullptr; h = h->next, ++k) {
        PyObject* t = Py_BuildValue("iiii", h->a1, h->a2, h->b1, h->b2);
        if (t == nullptr)
            return PyErr_NoMemory();  // the list, partly filled, goes with it
        qv::list_fill(list.get(), k, t);
    }
    return list.release();
}

PyObject* linesift_fixws(PyObject*, PyObject* args) noexcept
{
    PyObject* text;
    unsigned char allws;
    if (!PyArg_ParseTuple(args, "Sb:fixws", &text, &allws))
        return nullptr;
    const char* in = qv::bytes_data(text);
    const Py_ssize_t n = qv::bytes_size(text);

    auto* out =
        static_cast<char*>(PyMem_Malloc(n > 0 ? static_cast<size_t>(n) : 1));
    if (out == nullptr)
        return PyErr_NoMemory();
    Py_ssize_t w = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        const char c = in[i];
        if (c == ' ' || c == '\t' || c == '\r') {
            if (!allws && !(w > 0 && out[w - 1] == ' '))
                out[w++] = ' ';
        } else if (c == '\n' && !allws && w > 0 && out[w - 1] == ' ') {
            out[w - 1] = '\n';
        } else {
            out[w++] = c;
        }
    }
    PyObject* result = PyBytes_FromStringAndSize(out, w);
    PyMem_Free(out);
    if (result == nullptr)
        return PyErr_NoMemory();
    return result;
}

PyMethodDef methods[] = {
    {"linesift", linesift_linesift, METH_VARARGS,
     "linesift($module, source, target, /)\n--\n\ncalculate a binary diff\n"},
    {"blocks", linesift_blocks, METH_VARARGS,
     "blocks($module, source, target, /)\n--\n\nfind a list of matching "
     "lines\n"},
    {"fixws", linesift_fixws, METH_VARARGS,
     "fixws($module, text, allws, /)\n--\n\nnormalize diff whitespaces\n"},
    {nullptr, nullptr, 0, nullptr}};

PyModuleDef linesift_module = {PyModuleDef_HEAD_INIT,
                               "linesift",
                               "Efficient binary diff.",
                               -1,
                               methods,
                               nullptr,
                               nullptr,
                               nullptr,
                               nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_linesift(void)
{
    return qv::create_module(&linesift_module).release();
}
