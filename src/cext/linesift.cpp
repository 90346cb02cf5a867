// Placeholder module; replaced by the real module layer.
#include "pyutil.h"

static PyMethodDef methods[] = {{nullptr, nullptr, 0, nullptr}};

static PyModuleDef linesift_module = {
    PyModuleDef_HEAD_INIT, "linesift", nullptr, -1, methods,
    nullptr, nullptr, nullptr, nullptr};

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
