// Module layer of the base-85 engine: quorvan.cext.pentacode.
//
// Both methods size the result, make it once at that size and let the
// engine write it in one pass; decoding faults come back as a code and the
// position that the message names.
#include <cstdint>
#include <cstdlib>

#include "pentacode/pentacode.h"
#include "pyutil.h"

namespace {

// The kernels every call uses: picked once, at initialisation, from what
// the CPU can run, capped by QUORVAN_PENTACODE_ISA ("scalar", "avx2",
// "avx512") so that tests can run each narrower path on a wide machine.
// All paths give the same bytes and the same errors.
const pentacode_path* g_path = nullptr;

constexpr char kIsaVariable[] = "QUORVAN_PENTACODE_ISA";

// Positions are printed as a full Py_ssize_t so that inputs longer than
// INT_MAX characters still report the true position.
std::nullptr_t pentacode_raise(int64_t code, Py_ssize_t position) noexcept
{
    return qv::raise_code(code,
                          {{PENTACODE_EBADCHAR, PyExc_ValueError,
                            "bad pentacode character at position %zd"},
                           {PENTACODE_EBADSEQ, PyExc_ValueError,
                            "bad pentacode sequence at position %zd"},
                           {PENTACODE_ETOOBIG, nullptr, nullptr}},
                          position);
}

// A new bytes object of `size` bytes from an engine size, or null with an
// exception set.
qv::Ref new_result(int64_t size) noexcept
{
    if (size < 0) {
        pentacode_raise(size, 0);
        return qv::Ref();
    }
    return qv::Ref::steal(
        PyBytes_FromStringAndSize(nullptr, Py_ssize_t(size)));
}

PyObject* pentacode_b85encode(PyObject*, PyObject* args) noexcept
{
    const char* text;
    Py_ssize_t n;
    int pad = 0;
    if (!PyArg_ParseTuple(args, "s#|i", &text, &n, &pad))
        return nullptr;
    qv::Ref out = new_result(pentacode_encoded_size(n, pad != 0));
    if (!out)
        return nullptr;
    pentacode_encode(g_path, reinterpret_cast<const uint8_t*>(text), n,
                     pad != 0,
                     reinterpret_cast<uint8_t*>(qv::bytes_data(out.get())));
    return out.release();
}

PyObject* pentacode_b85decode(PyObject*, PyObject* args) noexcept
{
    const char* text;
    Py_ssize_t n;
    if (!PyArg_ParseTuple(args, "s#", &text, &n))
        return nullptr;
    qv::Ref out = new_result(pentacode_decoded_size(n));
    if (!out)
        return nullptr;
    int64_t at = 0;
    const int rc = pentacode_decode(
        g_path, reinterpret_cast<const uint8_t*>(text), n,
        reinterpret_cast<uint8_t*>(qv::bytes_data(out.get())), &at);
    if (rc != PENTACODE_OK)
        return pentacode_raise(rc, Py_ssize_t(at));
    return out.release();
}

PyDoc_STRVAR(pentacode_b85encode_doc,
             "b85encode($module, text, pad=0, /)\n--\n\n"
             "Encode text in pentacode.\n\nIf the second parameter is true, "
             "pad the result to a multiple of five characters.\n");
PyDoc_STRVAR(pentacode_b85decode_doc, "b85decode($module, text, /)\n--\n\n"
                                      "Decode pentacode text.\n");

PyMethodDef methods[] = {
    {"b85encode", pentacode_b85encode, METH_VARARGS, pentacode_b85encode_doc},
    {"b85decode", pentacode_b85decode, METH_VARARGS, pentacode_b85decode_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef pentacode_module = {PyModuleDef_HEAD_INIT,
                                "pentacode",
                                "Pentacode Data Encoding",
                                -1,
                                methods,
                                nullptr,
                                nullptr,
                                nullptr,
                                nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_pentacode(void)
{
    const char* cap = std::getenv(kIsaVariable);
    const pentacode_path* path = pentacode_select(cap);
    if (path == nullptr) {
        PyErr_Format(PyExc_ImportError,
                     "%s must be scalar, avx2 or avx512, not '%s'",
                     kIsaVariable, cap);
        return nullptr;
    }
    g_path = path;

    qv::Ref m = qv::create_module(&pentacode_module);
    // Which kernels run, for tests and benchmarks.
    if (!m || PyModule_AddStringConstant(m.get(), "_isa",
                                         pentacode_path_name(path)) < 0)
        return nullptr;
    return m.release();
}
