// Small RAII helpers shared by the module layers. Header-only.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdlib>
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

// Adds the integer attribute "version" = 1 that every module carries.
inline bool add_version(PyObject* module) noexcept
{
    return PyModule_AddIntConstant(module, "version", 1) == 0;
}

}  // namespace qv
