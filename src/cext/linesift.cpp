// Module linesift: binary delta and matching blocks of two texts, and
// whitespace normalisation. The engine does the comparing, trimming and
// delta writing; this layer parses, releases the lock around the engine's
// work, builds the result objects and maps engine codes to exceptions.

#include "linesift/linesift.h"
#include "linesift/text_diff.h"
#include "pyutil.h"

namespace {

constexpr char kTooLarge[] = "linesift inputs too large";
constexpr char kMisuse[] = "linesift engine called with invalid arguments";

// Raises for an engine code unless an exception is already pending.
// LINESIFT_EINVAL means this layer passed bad arguments: our bug, not the
// caller's, hence SystemError.
std::nullptr_t linesift_raise(int32_t code) noexcept
{
    return qv::raise_code(code,
                          {{LINESIFT_ETOOBIG, PyExc_ValueError, kTooLarge},
                           {LINESIFT_EINVAL, PyExc_SystemError, kMisuse},
                           {LINESIFT_ENOMEM, nullptr, nullptr}});
}

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
    d.write_delta(qv::bytes_data(result.get()));
    return result.release();
}

PyObject* linesift_blocks(PyObject*, PyObject* args) noexcept
{
    PyObject* sa;
    PyObject* sb;
    if (!PyArg_ParseTuple(args, "SS:linesift", &sa, &sb))
        return nullptr;

    linesift_detail::text_diff d;
    const int32_t rc =
        d.run(qv::bytes_data(sa), qv::bytes_size(sa), qv::bytes_data(sb),
              qv::bytes_size(sb), linesift_detail::diff_output::blocks);
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
    const int64_t w = linesift_detail::fix_whitespace(in, n, allws != 0, out);
    PyObject* result =
        PyBytes_FromStringAndSize(out, static_cast<Py_ssize_t>(w));
    PyMem_Free(out);
    if (result == nullptr)
        return PyErr_NoMemory();
    return result;
}

PyDoc_STRVAR(linesift_linesift_doc,
             "linesift($module, source, target, /)\n--\n\n"
             "calculate a binary diff\n");
PyDoc_STRVAR(linesift_blocks_doc, "blocks($module, source, target, /)\n--\n\n"
                                  "find a list of matching lines\n");
PyDoc_STRVAR(linesift_fixws_doc, "fixws($module, text, allws, /)\n--\n\n"
                                 "normalize diff whitespaces\n");

PyMethodDef methods[] = {
    {"linesift", linesift_linesift, METH_VARARGS, linesift_linesift_doc},
    {"blocks", linesift_blocks, METH_VARARGS, linesift_blocks_doc},
    {"fixws", linesift_fixws, METH_VARARGS, linesift_fixws_doc},
    {nullptr, nullptr, 0, nullptr},
};

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
