// Module layer of the patch engine: quorvan.cext.deltafold.
//
// `patches` folds a list of binary deltas into one fragment list and applies
// it to a base text in one pass; `patchedsize` sizes a patched text from the
// headers of one delta. Fragments borrow their replacement bytes from the
// deltas, so every buffer we read stays held until the result is complete.
#include <memory>
#include <new>

#include <climits>

#include "deltafold/deltafold.h"
#include "pyutil.h"

namespace {

qv::ExceptionType g_error;

constexpr const char* kInvalidPatch = "invalid patch";
constexpr const char* kUndecodable = "patch cannot be decoded";

struct ListDeleter {
    void operator()(fragment_list* l) const noexcept { deltafold_lfree(l); }
};
using ListPtr = std::unique_ptr<fragment_list, ListDeleter>;

constexpr const char* kSizeRange = "patched size does not fit in a C long";

// Raises for an engine code unless an exception is already pending.
std::nullptr_t deltafold_raise(int64_t code) noexcept
{
    return qv::raise_code(code,
                          {{DELTAFOLD_EPATCH, g_error.get(), kInvalidPatch},
                           {DELTAFOLD_EDECODE, g_error.get(), kUndecodable},
                           {DELTAFOLD_ERANGE, PyExc_OverflowError, kSizeRange},
                           {DELTAFOLD_ENOMEM, nullptr, nullptr}});
}

// Fetches item pos of list into buf (held by the caller for as long as the
// returned list is used) and decodes it. Null with an exception set on
// failure; a decoding failure keeps any exception already pending.
fragment_list* fetch_item(PyObject* list, int64_t pos,
                          qv::Buffer& buf) noexcept
{
    qv::PendingError pending;
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
    if (rc != DELTAFOLD_OK)
        return deltafold_raise(rc);
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
    // The list-size query would refuse a non-list with SystemError, an
    // interpreter fault; a caller's wrong type deserves a TypeError.
    if (!PyList_Check(bins) && !qv::type_error("deltas", "a list", bins))
        return nullptr;
    Py_ssize_t n = qv::list_size(bins);
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
    if (!folded)  // a fetch's error, or else an allocation failed
        return deltafold_raise(DELTAFOLD_ENOMEM);

    int64_t size = deltafold_calcsize(base.size(), folded.get());
    if (size < 0)
        return deltafold_raise(size);
    // Created uninitialised at its final size and filled in one pass.
    qv::Ref out =
        qv::Ref::steal(PyBytes_FromStringAndSize(nullptr, Py_ssize_t(size)));
    if (!out)
        return nullptr;
    int rc = deltafold_apply(qv::bytes_data(out.get()), base.data(),
                             base.size(), folded.get());
    if (rc != DELTAFOLD_OK)
        return deltafold_raise(rc);
    return out.release();
}

PyObject* deltafold_patchedsize(PyObject*, PyObject* args) noexcept
{
    long orig;
    const char* bin;
    Py_ssize_t n;
    if (!PyArg_ParseTuple(args, "ls#", &orig, &bin, &n))
        return nullptr;
    int64_t size;
    int rc = deltafold_sizeonly(orig, bin, n, &size);
    if (rc != DELTAFOLD_OK)
        return deltafold_raise(rc);
    // Only where long is narrower than 64 bits.
    if (size < LONG_MIN || size > LONG_MAX)
        return deltafold_raise(DELTAFOLD_ERANGE);
    return PyLong_FromLong(long(size));
}

PyDoc_STRVAR(deltafold_patches_doc, "patches($module, base, deltas, /)\n--\n\n"
                                    "apply a series of patches\n");
PyDoc_STRVAR(deltafold_patchedsize_doc,
             "patchedsize($module, baselen, delta, /)\n--\n\n"
             "calculed patched size\n");

PyMethodDef methods[] = {
    {"patches", deltafold_patches, METH_VARARGS, deltafold_patches_doc},
    {"patchedsize", deltafold_patchedsize, METH_VARARGS,
     deltafold_patchedsize_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef deltafold_module = {PyModuleDef_HEAD_INIT,
                                "deltafold",
                                "Efficient binary patching.",
                                -1,
                                methods,
                                nullptr,
                                nullptr,
                                nullptr,
                                nullptr};

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
    qv::Ref m = qv::create_module(&deltafold_module);
    if (!m ||
        !g_error.create(m.get(), "quorvan.cext.deltafold.deltafoldError"))
        return nullptr;
    return m.release();
}
