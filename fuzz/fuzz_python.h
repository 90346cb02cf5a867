// The oracle of the fuzz targets: testkit/reference.py, run in an embedded
// interpreter, cuts each input and says what the engine or module must give
// for it, so that the formats and the input layouts are written once.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_common.h"

namespace fz {

// Starts the interpreter, once. The reference is found like any package:
// run the targets from the checkout's root with PYTHONPATH=. (as CI's fuzz
// step does). A target that embeds a module passes its name and init
// function, so that the module is a built-in (registration must come before
// the start).
inline void start_interpreter(const char* builtin = nullptr,
                              PyObject* (*init)() = nullptr)
{
    if (Py_IsInitialized())
        return;
    PyPreConfig pre;
    PyPreConfig_InitPythonConfig(&pre);
    pre.allocator = PYMEM_ALLOCATOR_MALLOC;  // every object seen by ASan
    QV_CHECK(!PyStatus_Exception(Py_PreInitialize(&pre)));
    if (builtin != nullptr)
        QV_CHECK(PyImport_AppendInittab(builtin, init) == 0);
    Py_InitializeEx(0);
}

// Imports the reference, once.
inline PyObject* reference_module()
{
    static PyObject* module = [] {
        start_interpreter();
        PyObject* m = PyImport_ImportModule("testkit.reference");
        if (m == nullptr)
            PyErr_Print();
        QV_CHECK(m != nullptr);
        return m;
    }();
    return module;
}

// reference.<name>, looked up once by the caller (a lookup per run would
// make and drop objects the leak heuristic of libFuzzer then chases).
inline PyObject* reference_function(const char* name)
{
    PyObject* fn = PyObject_GetAttrString(reference_module(), name);
    QV_CHECK(fn != nullptr);
    return fn;
}

// The tuple that fn(input) returns; a Python error aborts. Holds its
// reference for as long as it lives.
class Expect {
  public:
    Expect(PyObject* fn, const uint8_t* data, size_t size)
    {
        PyObject* arg = PyBytes_FromStringAndSize(
            reinterpret_cast<const char*>(data), Py_ssize_t(size));
        QV_CHECK(arg != nullptr);
        t_ = PyObject_CallOneArg(fn, arg);
        Py_DECREF(arg);
        if (t_ == nullptr)
            PyErr_Print();
        QV_CHECK(t_ != nullptr && PyTuple_Check(t_));
    }
    ~Expect() { Py_XDECREF(t_); }
    Expect(const Expect&) = delete;
    Expect& operator=(const Expect&) = delete;

    PyObject* at(Py_ssize_t i) const { return PyTuple_GET_ITEM(t_, i); }

  private:
    PyObject* t_ = nullptr;
};

inline bool is_bytes(PyObject* o) { return PyBytes_Check(o); }
inline bool is_int(PyObject* o) { return PyLong_Check(o); }
inline bool is_none(PyObject* o) { return o == Py_None; }

inline std::string bytes_of(PyObject* o)
{
    QV_CHECK(o != nullptr && PyBytes_Check(o));
    return std::string(PyBytes_AS_STRING(o), size_t(PyBytes_GET_SIZE(o)));
}

inline int64_t int_of(PyObject* o)
{
    int64_t v = PyLong_AsLongLong(o);
    QV_CHECK(!PyErr_Occurred());
    return v;
}

// An error message the reference gave (a str), or "" for a result.
inline std::string message_of(PyObject* o)
{
    if (!PyUnicode_Check(o))
        return "";
    const char* s = PyUnicode_AsUTF8(o);
    QV_CHECK(s != nullptr);
    return s;
}

}  // namespace fz
