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

// "s#" takes a str (its UTF-8, owned by the str) or a read-only bytes-like
// object whose buffer needs no release, so nothing can resize or free the
// bytes while the argument tuple keeps the objects alive for the call.
PyObject* linesift_linesift(PyObject*, PyObject* args)
{
    const char* sa;
    const char* sb;
    Py_ssize_t la, lb;
    if (!PyArg_ParseTuple(args, "s#s#:linesift", &sa, &la, &sb, &lb))
        return nullptr;
    if (la > 4294967295LL || lb > 4294967295LL)
        return linesift_raise(LINESIFT_ETOOBIG);

    linesift_detail::text_diff d;  // freed with the lock held
    int32_t rc;
    {
        qv::GilRelease unlocked;
        rc = d.run(sa, la, sb, lb, linesift_detail::diff_output::delta);
    }
    if (rc < 0)
        return linesift_raise(rc);

    qv::Ref result =
        qv::Ref::steal(PyBytes_FromStringAndSize(nullptr, d.delta_bytes()));
    if (!result)
        return PyErr_NoMemory();
    d.write_delta(PyBytes_AS_STRING(result.get()));
    return result.release();
}

PyObject* linesift_blocks(PyObject*, PyObject* args)
{
    PyObject* sa;
    PyObject* sb;
    if (!PyArg_ParseTuple(args, "SS:linesift", &sa, &sb))
        return nullptr;

    linesift_detail::text_diff d;
    const int32_t rc = d.run(PyBytes_AS_STRING(sa), PyBytes_GET_SIZE(sa),
                             PyBytes_AS_STRING(sb), PyBytes_GET_SIZE(sb),
                             linesift_detail::diff_output::blocks);
    if (rc < 0)
        return linesift_raise(rc);

    qv::Ref list = qv::Ref::steal(PyList_New(d.block_count()));
    if (!list)
        return PyErr_NoMemory();
    Py_ssize_t k = 0;
    for (const hunk* h = d.blocks(); h != nullptr; h = h->next, ++k) {
        PyObject* t = Py_BuildValue("iiii", h->a1, h->a2, h->b1, h->b2);
        if (t == nullptr)
            return PyErr_NoMemory();  // the list, partly filled, goes with it
        PyList_SET_ITEM(list.get(), k, t);
    }
    return list.release();
}

PyObject* linesift_fixws(PyObject*, PyObject* args)
{
    PyObject* text;
    unsigned char allws;
    if (!PyArg_ParseTuple(args, "Sb:fixws", &text, &allws))
        return nullptr;
    const char* in = PyBytes_AS_STRING(text);
    const Py_ssize_t n = PyBytes_GET_SIZE(text);

    auto* out =
        static_cast<char*>(PyMem_Malloc(n > 0 ? static_cast<size_t>(n) : 1));
    if (out == nullptr)
        return PyErr_NoMemory();
    const int64_t w = linesift_detail::fix_whitespace(in, n, allws != 0, out);
    PyObject* result =
        PyBytes_FromStringAndSize(out, static_cast<Py_ssize_t>(w));
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
    qv::Ref m = qv::Ref::steal(PyModule_Create2(&linesift_module, 1013));
    if (!m || !qv::add_version(m.get()))
        return nullptr;
    return m.release();
}
