// Placeholder module; replaced by the real module layer.
#include "pyutil.h"

static PyMethodDef methods[] = {{nullptr, nullptr, 0, nullptr}};

static PyModuleDef hunkfix_module = {
    PyModuleDef_HEAD_INIT, "hunkfix", nullptr, -1, methods,
    nullptr, nullptr, nullptr, nullptr};

PyMODINIT_FUNC PyInit_hunkfix(void)
{
    PyObject* m = PyModule_Create2(&hunkfix_module, 1013);
    if (m == nullptr)
        return nullptr;
    if (!qv::add_version(m)) {
        Py_DECREF(m);
        return nullptr;
    }
    return m;
}
