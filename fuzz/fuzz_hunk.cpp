// Hunk body reading through the real module layer, embedded like the
// base-85 target, and checked against the plain Python reading of
// fuzz/hunk_reference.py (input layout described there).
#include "../src/cext/hunkfix.cpp"  // the module under test, not a copy

#include "fuzz_common.h"

namespace {
PyObject* g_check;
PyObject* g_module;
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    PyPreConfig pre;
    PyPreConfig_InitPythonConfig(&pre);
    pre.allocator = PYMEM_ALLOCATOR_MALLOC;  // every object seen by ASan
    QV_CHECK(!PyStatus_Exception(Py_PreInitialize(&pre)));
    QV_CHECK(PyImport_AppendInittab("hunkfix", PyInit_hunkfix) == 0);
    Py_InitializeEx(0);
    g_module = PyImport_ImportModule("hunkfix");
    QV_CHECK(g_module != nullptr);
    PyObject* sys_path = PySys_GetObject("path");
    PyObject* dir = PyUnicode_FromString(QV_FUZZ_DIR);
    QV_CHECK(sys_path != nullptr && dir != nullptr &&
             PyList_Insert(sys_path, 0, dir) == 0);
    Py_DECREF(dir);
    PyObject* ref = PyImport_ImportModule("hunk_reference");
    if (ref == nullptr)
        PyErr_Print();
    QV_CHECK(ref != nullptr);
    g_check = PyObject_GetAttrString(ref, "check");
    QV_CHECK(g_check != nullptr);
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
