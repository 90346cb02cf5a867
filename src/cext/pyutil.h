// The one form of the module layers, and the helpers they share.
//
// A module layer parses its arguments, holds the buffers it reads, calls
// its engine and turns the engine's results and codes into Python objects
// and exceptions. Every layer is written the same way:
// - each method is a noexcept function <module>_<method>, with its
//   docstring declared as PyDoc_STRVAR(<module>_<method>_doc, ...),
//   starting with its text signature, which gives inspect.signature() the
//   argument names:
//       PyDoc_STRVAR(deltafold_patches_doc,
//                    "patches($module, base, deltas, /)\n--\n\n"
//                    "apply a series of patches\n");
// - engine codes become exceptions through raise_code and one table per
//   module, <module>_raise;
// - a module's exception type is an ExceptionType named g_error;
// - PyInit_<module> holds the module in a Ref (create_module) and releases
//   it only when everything is attached.
//
// The layers build both against the full API of one CPython and against
// the limited API (Py_LIMITED_API, one module file for every later
// CPython). The few calls that differ between the two live here.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <memory>

// The oldest CPython this build runs on: the limited API's version, or
// else the one of the headers.
#ifdef Py_LIMITED_API
#define QV_PY_FLOOR Py_LIMITED_API
#else
#define QV_PY_FLOOR PY_VERSION_HEX
#endif

namespace qv {

// Owns one strong reference, or none.
class Ref {
  public:
    Ref() noexcept : p_(nullptr) {}
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    static Ref borrow(PyObject* p) noexcept
    {
        Py_XINCREF(p);
        return Ref(p);
    }
    Ref(Ref&& o) noexcept : p_(o.release()) {}
    Ref& operator=(Ref&& o) noexcept
    {
        PyObject* old = p_;
        p_ = o.release();
        Py_XDECREF(old);
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(p_); }
    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept
    {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }
    explicit operator bool() const noexcept { return p_ != nullptr; }

  private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_;
};

// Releases the interpreter lock for its scope. The guarded block must touch
// no Python object; the lock is back on every path out of it.
class GilRelease {
  public:
    GilRelease() noexcept : ts_(PyEval_SaveThread()) {}
    ~GilRelease() { PyEval_RestoreThread(ts_); }
    GilRelease(const GilRelease&) = delete;
    GilRelease& operator=(const GilRelease&) = delete;

  private:
    PyThreadState* ts_;
};

// Engine memory comes from malloc and goes back with free.
struct FreeDeleter {
    void operator()(void* p) const noexcept { std::free(p); }
};
template <class T>
using CPtr = std::unique_ptr<T, FreeDeleter>;

// Holds a Py_buffer for as long as it lives, so the exporter can be neither
// resized nor freed while we read its bytes. Release it with the lock held.
class Buffer {
  public:
    Buffer() noexcept : held_(false) {}
    ~Buffer() { reset(); }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    Buffer(Buffer&& o) noexcept : view_(o.view_), held_(o.held_)
    {
        o.held_ = false;
    }

    // Acquires a contiguous read-only view; false with an exception set.
    bool acquire(PyObject* obj) noexcept
    {
        reset();
        if (PyObject_GetBuffer(obj, &view_, PyBUF_SIMPLE) < 0)
            return false;
        held_ = true;
        return true;
    }
    void reset() noexcept
    {
        if (held_) {
            PyBuffer_Release(&view_);
            held_ = false;
        }
    }
    const char* data() const noexcept
    {
        return static_cast<const char*>(view_.buf);
    }
    Py_ssize_t size() const noexcept { return view_.len; }
    bool held() const noexcept { return held_; }

  private:
    Py_buffer view_;
    bool held_;
};

// Type tests. The limited API's subclass test is a call, so there the
// exact type, the common case, is settled first without one.
inline bool is_bytes(PyObject* o) noexcept
{
#ifdef Py_LIMITED_API
    return Py_IS_TYPE(o, &PyBytes_Type) || PyBytes_Check(o);
#else
    return PyBytes_Check(o);
#endif
}
inline bool is_list(PyObject* o) noexcept
{
#ifdef Py_LIMITED_API
    return Py_IS_TYPE(o, &PyList_Type) || PyList_Check(o);
#else
    return PyList_Check(o);
#endif
}

// Bytes and lists whose type the caller has checked. The full API reads
// the objects' fields directly; the limited API has only the calls, which
// check the type again.
inline char* bytes_data(PyObject* b) noexcept
{
#ifdef Py_LIMITED_API
    return PyBytes_AsString(b);
#else
    return PyBytes_AS_STRING(b);
#endif
}
inline Py_ssize_t bytes_size(PyObject* b) noexcept
{
#ifdef Py_LIMITED_API
    return PyBytes_Size(b);
#else
    return PyBytes_GET_SIZE(b);
#endif
}
// Both at once: one call instead of two in the limited API.
inline void bytes_view(PyObject* b, const char** data,
                       Py_ssize_t* size) noexcept
{
#ifdef Py_LIMITED_API
    char* d;
    PyBytes_AsStringAndSize(b, &d, size);
    *data = d;
#else
    *data = PyBytes_AS_STRING(b);
    *size = PyBytes_GET_SIZE(b);
#endif
}
inline Py_ssize_t list_size(PyObject* l) noexcept
{
#ifdef Py_LIMITED_API
    return PyList_Size(l);
#else
    return PyList_GET_SIZE(l);
#endif
}
// A borrowed element; i must be in range.
inline PyObject* list_item(PyObject* l, Py_ssize_t i) noexcept
{
#ifdef Py_LIMITED_API
    return PyList_GetItem(l, i);
#else
    return PyList_GET_ITEM(l, i);
#endif
}
// Puts a new reference into slot i (in range) of a list, replacing what
// was there. The replaced element goes to `dropped`, so that its release
// (which may run Python code, a finaliser say) waits for the caller.
inline void list_replace(PyObject* l, Py_ssize_t i, PyObject* item,
                         Ref& dropped) noexcept
{
    dropped = Ref::borrow(list_item(l, i));
    // With our own reference taken, the store's release of the old element
    // runs no code; it cannot fail for an index in range.
    PyList_SetItem(l, i, item);
}
// Fills slot i of a list just made by PyList_New; steals item.
inline void list_fill(PyObject* l, Py_ssize_t i, PyObject* item) noexcept
{
#ifdef Py_LIMITED_API
    PyList_SetItem(l, i, item);
#else
    PyList_SET_ITEM(l, i, item);
#endif
}

// Raises TypeError "<what> must be <expected>, not <type of obj>"; returns
// false, for `return type_error(...)` in a check.
inline bool type_error(const char* what, const char* expected,
                       PyObject* obj) noexcept
{
#ifdef Py_LIMITED_API
    // Type objects are opaque here; the type's name is the same text for
    // every type that is not a builtin one with a dotted name.
    Ref name = Ref::steal(PyType_GetName(Py_TYPE(obj)));
    if (name)
        PyErr_Format(PyExc_TypeError, "%s must be %s, not %U", what, expected,
                     name.get());
#else
    PyErr_Format(PyExc_TypeError, "%s must be %s, not %.200s", what, expected,
                 Py_TYPE(obj)->tp_name);
#endif
    return false;
}

// Sets aside a pending exception while code runs that must not start with
// one set (a buffer query may run Python code). The saved exception comes
// back with restore() or at the end of the scope, unless discard() drops
// it for a newer one.
class PendingError {
  public:
    PendingError() noexcept
    {
#if QV_PY_FLOOR >= 0x030C0000
        exc_ = PyErr_GetRaisedException();
#else
        PyErr_Fetch(&type_, &exc_, &tb_);
#endif
    }
    ~PendingError() { restore(); }
    PendingError(const PendingError&) = delete;
    PendingError& operator=(const PendingError&) = delete;

    // Puts the saved exception back (only call with none pending).
    void restore() noexcept
    {
#if QV_PY_FLOOR >= 0x030C0000
        if (exc_ != nullptr)
            PyErr_SetRaisedException(exc_);
#else
        if (type_ != nullptr)
            PyErr_Restore(type_, exc_, tb_);
        type_ = tb_ = nullptr;
#endif
        exc_ = nullptr;
    }
    // Drops the saved exception: a newer one replaces it.
    void discard() noexcept
    {
#if QV_PY_FLOOR < 0x030C0000
        Py_CLEAR(type_);
        Py_CLEAR(tb_);
#endif
        Py_CLEAR(exc_);
    }

  private:
#if QV_PY_FLOOR < 0x030C0000
    PyObject* type_ = nullptr;
    PyObject* tb_ = nullptr;
#endif
    PyObject* exc_ = nullptr;
};

// How a module reports one engine result code: with type and message, or
// as MemoryError when type is null. A message may hold one %zd, which gets
// the position that raise_code is given.
struct CodeError {
    int64_t code;
    PyObject* type;
    const char* message;
};

// Raises for an engine code and returns null, for `return raise_code(...)`.
// A pending exception always wins: it is the callee's (a fetch callback's,
// an exporter's), and more precise than anything the code says. A code
// missing from the table is a fault of ours and raises SystemError.
inline std::nullptr_t raise_code(int64_t code,
                                 std::initializer_list<CodeError> table,
                                 Py_ssize_t position = 0) noexcept
{
    if (PyErr_Occurred())
        return nullptr;
    for (const CodeError& e : table) {
        if (e.code != code)
            continue;
        if (e.type == nullptr)
            PyErr_NoMemory();
        else
            PyErr_Format(e.type, e.message, position);
        return nullptr;
    }
    PyErr_Format(PyExc_SystemError, "unexpected engine result %lld",
                 static_cast<long long>(code));
    return nullptr;
}

// A module's exception type: made at initialisation and held for the life
// of the process, as every exception the module raises uses it. A repeated
// initialisation replaces the held type; modules made before keep theirs.
class ExceptionType {
  public:
    // Makes the type `full_name`, an importable path so that its instances
    // pickle, and attaches it to the module under the last part of that
    // name. False with an exception set.
    bool create(PyObject* module, const char* full_name) noexcept
    {
        const char* attribute = std::strrchr(full_name, '.');
        Ref type = Ref::steal(PyErr_NewException(full_name, nullptr, nullptr));
        if (!type ||
            PyModule_AddObjectRef(module, attribute + 1, type.get()) < 0)
            return false;
        Py_XDECREF(type_);
        type_ = type.release();
        return true;
    }
    PyObject* get() const noexcept { return type_; }

  private:
    PyObject* type_ = nullptr;
};

// A new module from its definition, with the integer attribute "version" =
// 1 that every module carries; empty with an exception set on failure.
inline Ref create_module(PyModuleDef* def) noexcept
{
    Ref m = Ref::steal(PyModule_Create(def));
    if (m && PyModule_AddIntConstant(m.get(), "version", 1) < 0)
        return Ref();
    return m;
}

}  // namespace qv
