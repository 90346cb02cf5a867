// Hunk body reading through the real module layer, built into this program
// as a built-in module of an embedded interpreter, and checked against the
// plain Python reading of tests/reference.py (check_hunk; input layout
// described there).
#include "fuzz_python.h"

// The module under test, src/cext/hunkfix.cpp, linked in.
PyMODINIT_FUNC PyInit_hunkfix(void);

namespace {
PyObject* g_check;
PyObject* g_module;
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fz::start_interpreter("hunkfix", PyInit_hunkfix);
    g_module = PyImport_ImportModule("hunkfix");
    QV_CHECK(g_module != nullptr);
    g_check = fz::reference_function("check_hunk");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    PyObject* arg = PyBytes_FromStringAndSize(
        reinterpret_cast<const char*>(data), Py_ssize_t(size));
    QV_CHECK(arg != nullptr);
    PyObject* r =
        PyObject_CallFunctionObjArgs(g_check, g_module, arg, nullptr);
    if (r == nullptr)
        PyErr_Print();  // a disagreement with the reference, or a stray error
    QV_CHECK(r != nullptr);
    Py_DECREF(r);
    Py_DECREF(arg);
    return 0;
}
