// Module linesift: binary delta and matching blocks of two texts, and
// whitespace normalisation. The engine does the comparing; this layer
// parses, trims the shared prefix, sizes and writes the result.
#include <cstring>

#include "linesift.h"
#include "linesift_internal.h"
#include "pyutil.h"

namespace {

constexpr char kTooLarge[] = "linesift inputs too large";

// Every engine failure is out of memory, except a line count that the
// engine cannot represent, which is the caller's input being too large.
PyObject* raise_engine(int32_t code) noexcept
{
    if (code == LINESIFT_ETOOBIG) {
        PyErr_SetString(PyExc_ValueError, kTooLarge);
        return nullptr;
    }
    return PyErr_NoMemory();
}

// The engine's working state for one call; freed with the lock held.
struct diff_state {
    qv::CPtr<line_record> a, b;
    int32_t an = 0, bn = 0;
    hunk head = {0, 0, 0, 0, nullptr};

    ~diff_state() { linesift_freehunks(head.next); }

    // Splits both texts (both always run) and matches them; returns 0 or
    // the first negative engine code.
    int32_t run(const char* sa, int64_t la, const char* sb, int64_t lb) noexcept
    {
        line_record* ra = nullptr;
        line_record* rb = nullptr;
        using linesift_detail::line_hash;
        an = linesift_detail::split_lines(sa, la, &ra, line_hash::keyed);
        a.reset(ra);
        bn = linesift_detail::split_lines(sb, lb, &rb, line_hash::keyed);
        b.reset(rb);
        if (an < 0)
            return an;
        if (bn < 0)
            return bn;
        const int32_t n = linesift_detail::match_records(a.get(), an, b.get(),
                                                         bn, &head, true);
        return n < 0 ? n : 0;
    }
};

// Length of the common prefix of whole lines: up to just after the last line
// feed inside the run of equal leading bytes. We compare eight bytes a step
// and then look back for that line feed once.
int64_t common_prefix(const char* x, const char* y, int64_t m) noexcept
{
    int64_t d = 0;
    while (m - d >= 8) {
        uint64_t u, v;
        std::memcpy(&u, x + d, 8);
        std::memcpy(&v, y + d, 8);
        if (u != v)
            break;
        d += 8;
    }
    while (d < m && x[d] == y[d])
        ++d;
#if defined(__GLIBC__)
    const void* lf = d > 0 ? memrchr(x, '\n', static_cast<size_t>(d)) : nullptr;
    return lf ? static_cast<const char*>(lf) - x + 1 : 0;
#else
    while (d > 0 && x[d - 1] != '\n')
        --d;
    return d;
#endif
}

inline void put_be32(char* p, int64_t v) noexcept
{
    const auto u = static_cast<uint32_t>(v);  // the low 32 bits
    p[0] = static_cast<char>(u >> 24);
    p[1] = static_cast<char>(u >> 16);
    p[2] = static_cast<char>(u >> 8);
    p[3] = static_cast<char>(u);
}

// Size of the delta: one 12-byte header plus the target lines of every
// non-empty gap between consecutive blocks.
int64_t delta_size(const diff_state& s) noexcept
{
    int64_t total = 0;
    int32_t pa = 0, pb = 0;
    for (const hunk* h = s.head.next; h != nullptr; h = h->next) {
        if (h->a1 != pa || h->b1 != pb)
            total += 12 + (s.b.get()[h->b1].begin - s.b.get()[pb].begin);
        pa = h->a2;
        pb = h->b2;
    }
    return total;
}

// Writes the fragments into out, which holds exactly delta_size() bytes.
// Offsets are made relative to the whole texts by adding the prefix back.
void write_delta(const diff_state& s, int64_t prefix, char* out) noexcept
{
    const line_record* a = s.a.get();
    const line_record* b = s.b.get();
    int32_t pa = 0, pb = 0;
    for (const hunk* h = s.head.next; h != nullptr; h = h->next) {
        if (h->a1 != pa || h->b1 != pb) {
            const int64_t len = b[h->b1].begin - b[pb].begin;
            put_be32(out, a[pa].begin - a[0].begin + prefix);
            put_be32(out + 4, a[h->a1].begin - a[0].begin + prefix);
            put_be32(out + 8, len);
            std::memcpy(out + 12, b[pb].begin, static_cast<size_t>(len));
            out += 12 + len;
        }
        pa = h->a2;
        pb = h->b2;
    }
}

// A text argument as "s#" accepts it: a str (its UTF-8, owned by the str,
// which the argument tuple keeps alive) or a read-only bytes-like object,
// whose buffer we hold for the whole call so nothing can resize or free it.
struct text_arg {
    qv::Buffer view;
    const char* data = nullptr;
    int64_t size = 0;

    bool hold(PyObject* obj, const char* parsed, Py_ssize_t len) noexcept
    {
        if (PyUnicode_Check(obj)) {
            data = parsed;
            size = len;
            return true;
        }
        if (!view.acquire(obj))
            return false;
        data = view.data();
        size = view.size();
        return true;
    }
};

PyObject* linesift_method(PyObject*, PyObject* args)
{
    const char* pa;
    const char* pb;
    Py_ssize_t la, lb;
    if (!PyArg_ParseTuple(args, "s#s#:linesift", &pa, &la, &pb, &lb))
        return nullptr;
    text_arg src, tgt;
    if (!src.hold(PyTuple_GET_ITEM(args, 0), pa, la) ||
        !tgt.hold(PyTuple_GET_ITEM(args, 1), pb, lb))
        return nullptr;
    if (src.size > 4294967295LL || tgt.size > 4294967295LL) {
        PyErr_SetString(PyExc_ValueError, kTooLarge);
        return nullptr;
    }

    diff_state s;
    int64_t prefix = 0, total = 0;
    int32_t rc;
    {
        qv::GilRelease unlocked;
        prefix = common_prefix(src.data, tgt.data,
                               src.size < tgt.size ? src.size : tgt.size);
        rc = s.run(src.data + prefix, src.size - prefix, tgt.data + prefix,
                   tgt.size - prefix);
        if (rc == 0)
            total = delta_size(s);
    }
    if (rc < 0)
        return raise_engine(rc);

    qv::Ref result = qv::Ref::steal(PyBytes_FromStringAndSize(nullptr, total));
    if (!result)
        return PyErr_NoMemory();
    write_delta(s, prefix, PyBytes_AS_STRING(result.get()));
    return result.release();
}

PyObject* blocks_method(PyObject*, PyObject* args)
{
    PyObject* sa;
    PyObject* sb;
    if (!PyArg_ParseTuple(args, "SS:linesift", &sa, &sb))
        return nullptr;

    diff_state s;
    const int32_t rc = s.run(PyBytes_AS_STRING(sa), PyBytes_GET_SIZE(sa),
                             PyBytes_AS_STRING(sb), PyBytes_GET_SIZE(sb));
    if (rc < 0)
        return raise_engine(rc);
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
        PyList_SET_ITEM(list.get(), k, t);
    }
    return list.release();
}

PyObject* fixws_method(PyObject*, PyObject* args)
{
    PyObject* text;
    unsigned char allws;
    if (!PyArg_ParseTuple(args, "Sb:fixws", &text, &allws))
        return nullptr;
    const char* in = PyBytes_AS_STRING(text);
    const Py_ssize_t n = PyBytes_GET_SIZE(text);

    auto* out = static_cast<char*>(PyMem_Malloc(n > 0 ? static_cast<size_t>(n) : 1));
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
    {"linesift", linesift_method, METH_VARARGS,
     "linesift($module, source, target, /)\n--\n\ncalculate a binary diff\n"},
    {"blocks", blocks_method, METH_VARARGS,
     "blocks($module, source, target, /)\n--\n\nfind a list of matching lines\n"},
    {"fixws", fixws_method, METH_VARARGS,
     "fixws($module, text, allws, /)\n--\n\nnormalize diff whitespaces\n"},
    {nullptr, nullptr, 0, nullptr}};

PyModuleDef linesift_module = {
    PyModuleDef_HEAD_INIT, "linesift", "Efficient binary diff.", -1, methods,
    nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_linesift(void)
{
    PyObject* m = PyModule_Create2(&linesift_module, 1013);
    if (m == nullptr)
        return nullptr;
    if (!qv::add_version(m)) {
        Py_DECREF(m);
        return nullptr;
    }
    return m;
}
