// Module layer of the patch engine: quorvan.cext.deltafold.
//
// `patches` folds a list of binary deltas into one fragment list and applies
// it to a base text in one pass; `patchedsize` sizes a patched text from the
// headers of one delta. Fragments borrow their replacement bytes from the
// deltas, so every buffer we read stays held until the result is complete.
#include <memory>
#include <new>

#include "deltafold.h"
#include "pyutil.h"

namespace {

// The module's exception type: set once at initialisation, never released.
PyObject* g_error = nullptr;

constexpr const char* kInvalidPatch = "invalid patch";
constexpr const char* kUndecodable = "patch cannot be decoded";

struct ListDeleter {
    void operator()(fragment_list* l) const noexcept { deltafold_lfree(l); }
};
using ListPtr = std::unique_ptr<fragment_list, ListDeleter>;

// Raises for an engine code unless an exception is already pending, which
// always wins. Codes outside the table raise nothing.
void raise_for(int64_t code) noexcept
{
    if (PyErr_Occurred())
        return;
    switch (code) {
    case DF_EINVAL:
        PyErr_SetString(g_error, kInvalidPatch);
        break;
    case DF_EDECODE:
        PyErr_SetString(g_error, kUndecodable);
        break;
    case DF_ENOMEM:
        PyErr_NoMemory();
        break;
    default:
        break;
    }
}

// Sets aside a pending exception while we query an item, since a buffer
// query may run Python code, which must not start with an exception set.
// The fold fetches every item even after one failed, so this happens. A new
// failure raises over the old exception; otherwise the old one comes back.
class PendingError {
  public:
    PendingError() noexcept
    {
#if PY_VERSION_HEX >= 0x030C0000
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
#if PY_VERSION_HEX >= 0x030C0000
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
#if PY_VERSION_HEX < 0x030C0000
        Py_CLEAR(type_);
        Py_CLEAR(tb_);
#endif
        Py_CLEAR(exc_);
    }

  private:
#if PY_VERSION_HEX < 0x030C0000
    PyObject* type_ = nullptr;
    PyObject* tb_ = nullptr;
#endif
    PyObject* exc_ = nullptr;
};

// Fetches item pos of list into buf (held by the caller for as long as the
// returned list is used) and decodes it. Null with an exception set on
// failure; a decoding failure keeps any exception already pending.
fragment_list* fetch_item(PyObject* list, int64_t pos, qv::Buffer& buf) noexcept
{
    PendingError pending;
    // We hold a reference across the query: its code could drop the item
    // from the list.
    qv::Ref item = qv::Ref::borrow(PyList_GetItem(list, Py_ssize_t(pos)));
    if (!item || !buf.acquire(item.get())) {
        pending.discard();
        return nullptr;
    }
    pending.restore();

    fragment_list* l = nullptr;
    int rc = deltafold_decode(buf.data(), buf.size(), &l);
    if (rc != DF_OK) {
        raise_for(rc);
        return nullptr;
    }
    return l;
}

// What `patches` hands to the fold: the list and one held buffer per item.
struct FetchContext {
    PyObject* list;
    qv::Buffer* bufs;
};

fragment_list* fetch_held(void* ctx, int64_t pos) noexcept
{
    auto* c = static_cast<FetchContext*>(ctx);
    return fetch_item(c->list, pos, c->bufs[pos]);
}

PyObject* deltafold_patches(PyObject*, PyObject* args) noexcept
{
    PyObject* text;
    PyObject* bins;
    if (!PyArg_ParseTuple(args, "OO:deltafold", &text, &bins))
        return nullptr;
    Py_ssize_t n = PyList_Size(bins);
    if (n < 0)
        return nullptr;
    if (n == 0) {
        // Nothing to apply: the text object itself, whatever it is.
        Py_INCREF(text);
        return text;
    }

    qv::Buffer base;
    if (!base.acquire(text))
        return nullptr;
    // Declared before the folded list, so the list goes first and the
    // buffers its fragments point into are released after it.
    std::unique_ptr<qv::Buffer[]> held;
    if (size_t(n) <= SIZE_MAX / sizeof(qv::Buffer))
        held.reset(new (std::nothrow) qv::Buffer[size_t(n)]);
    if (!held)
        return PyErr_NoMemory();

    FetchContext ctx{bins, held.get()};
    ListPtr folded(deltafold_fold(&ctx, fetch_held, 0, n));
    if (!folded) {
        if (!PyErr_Occurred())
            PyErr_NoMemory();
        return nullptr;
    }

    int64_t size = deltafold_calcsize(base.size(), folded.get());
    if (size < 0) {
        raise_for(size);
        return nullptr;
    }
    // Created uninitialised at its final size and filled in one pass.
    qv::Ref out = qv::Ref::steal(
        PyBytes_FromStringAndSize(nullptr, Py_ssize_t(size)));
    if (!out)
        return nullptr;
    int rc = deltafold_apply(PyBytes_AS_STRING(out.get()), base.data(),
                             base.size(), folded.get());
    if (rc != DF_OK) {
        raise_for(rc);
        return nullptr;
    }
    return out.release();
}

inline uint32_t read_be32u(const unsigned char* p) noexcept
{
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) |
           (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

__extension__ typedef __int128 wide_t;

PyObject* deltafold_patchedsize(PyObject*, PyObject* args) noexcept
{
    long orig;
    const char* bin;
    Py_ssize_t n;
    if (!PyArg_ParseTuple(args, "ls#", &orig, &bin, &n))
        return nullptr;
    if (n == 0)
        return PyLong_FromLong(orig);

    // We read the headers only, unsigned. The running sum gains less than
    // 2^33 per 12-byte header, which a huge delta could push past 64 bits,
    // so it is kept in 128 bits and only the final value is range-checked.
    const auto* d = reinterpret_cast<const unsigned char*>(bin);
    int64_t p = 0;
    wide_t running = 0;
    int64_t last = 0;
    while (p < n) {
        if (n - p < 12)
            break;
        uint32_t start = read_be32u(d + p);
        uint32_t end = read_be32u(d + p + 4);
        if (start > end)
            break;
        uint32_t len = read_be32u(d + p + 8);
        // Data running past the end: p would pass n, the delta is refused.
        if (int64_t(len) > n - p - 12)
            break;
        p += 12 + int64_t(len);
        running += wide_t(start) - last + len;
        last = end;
    }
    if (p != n) {
        if (!PyErr_Occurred())
            PyErr_SetString(g_error, kUndecodable);
        return nullptr;
    }
    wide_t size = wide_t(orig) + running - last;
    if (size < wide_t(LONG_MIN) || size > wide_t(LONG_MAX)) {
        PyErr_SetString(PyExc_OverflowError,
                        "patched size does not fit in a C long");
        return nullptr;
    }
    return PyLong_FromLong(long(size));
}

PyDoc_STRVAR(patches_doc,
             "patches($module, base, deltas, /)\n--\n\n"
             "apply a series of patches\n");
PyDoc_STRVAR(patchedsize_doc,
             "patchedsize($module, baselen, delta, /)\n--\n\n"
             "calculed patched size\n");

PyMethodDef methods[] = {
    {"patches", deltafold_patches, METH_VARARGS, patches_doc},
    {"patchedsize", deltafold_patchedsize, METH_VARARGS, patchedsize_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef deltafold_module = {
    PyModuleDef_HEAD_INIT, "deltafold", "Efficient binary patching.", -1,
    methods, nullptr, nullptr, nullptr, nullptr};

}  // namespace

// The fetch callback of the fold over a host list: decodes item pos. The
// item's buffer is released before we return, so the fragments point into
// bytes that only the list keeps alive: the caller must keep the list and
// its items unchanged until the returned list is released. `patches` holds
// every item's buffer instead.
QV_API fragment_list* cpygetitem(void* list, int64_t pos) noexcept
{
    qv::Buffer buf;
    return fetch_item(static_cast<PyObject*>(list), pos, buf);
}

PyMODINIT_FUNC PyInit_deltafold(void)
{
    PyObject* m = PyModule_Create2(&deltafold_module, 1013);
    if (m == nullptr)
        return nullptr;
    g_error = PyErr_NewException("quorvan.cext.deltafold.deltafoldError",
                                 nullptr, nullptr);
    if (g_error == nullptr) {
        Py_DECREF(m);
        return nullptr;
    }
    // One reference for the module attribute, one kept process-wide.
    Py_INCREF(g_error);
    if (PyModule_AddObject(m, "deltafoldError", g_error) < 0) {
        Py_DECREF(g_error);
        Py_DECREF(m);
        return nullptr;
    }
    if (!qv::add_version(m)) {
        Py_DECREF(m);
        return nullptr;
    }
    return m;
}
