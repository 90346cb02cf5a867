// Small helpers shared by the module layers: owned references, the lock,
// held buffers, engine result codes. Header-only.
//
// Conventions of the module layers:
// - module statics are named <module>_<method> (deltafold_patches);
// - a method's docstring is declared with PyDoc_STRVAR as
//   <module>_<method>_doc, starting with its text signature, which gives
//   inspect.signature() the argument names:
//       PyDoc_STRVAR(deltafold_patches_doc,
//                    "patches($module, base, deltas, /)\n--\n\n"
//                    "apply a series of patches\n");
// - initialisation holds the module in a Ref and releases it on success.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <memory>

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

// How a module reports one engine result code (qv/codes.h): with type and
// message, or as MemoryError when type is null.
struct CodeError {
    int64_t code;
    PyObject* type;
    const char* message;
};

// Raises for an engine code and returns null, for `return raise_code(...)`.
// A pending exception always wins: it is the callee's (a fetch callback's,
// an exporter's), and more precise than anything the code says. A code
// missing from the table is a fault of ours and raises SystemError.
inline std::nullptr_t
raise_code(int64_t code, std::initializer_list<CodeError> table) noexcept
{
    if (PyErr_Occurred())
        return nullptr;
    for (const CodeError& e : table) {
        if (e.code != code)
            continue;
        if (e.type == nullptr)
            PyErr_NoMemory();
        else
            PyErr_SetString(e.type, e.message);
        return nullptr;
    }
    PyErr_Format(PyExc_SystemError, "unexpected engine result %lld",
                 static_cast<long long>(code));
    return nullptr;
}

// Adds the integer attribute "version" = 1 that every module carries.
inline bool add_version(PyObject* module) noexcept
{
    return PyModule_AddIntConstant(module, "version", 1) == 0;
}

}  // namespace qv
