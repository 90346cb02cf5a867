// hunkfix: the inner loops of a unified-diff reader.
//
// The methods fill or test host lists of byte strings that the caller owns:
// the hunk list (every body line as read), the old side ("-" and context
// lines, the same objects as in the hunk list) and the new side ("+" and
// context lines, copied without their prefix).
//
// Failures are reported, never swallowed: a method either returns 0 (or -1
// from testhunk for a mismatch) or raises. The lists stay consistent when we
// raise: every line read before the failure is in all of its lists, the line
// that failed is in none, and a last-line fix is applied whole or not at all.
#include "pyutil.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

// The exception type; one reference here, one in the module.
static PyObject* hunkfix_Error = nullptr;
// The interned name "readline", made once: a fresh string per call would
// cost a little each time and churn the type attribute cache.
static PyObject* g_readline_name = nullptr;

namespace {

constexpr char kMarker[] = "\\ No newline at end of file\n";
constexpr Py_ssize_t kMarkerLen = sizeof(kMarker) - 1;

// Lines are taken at their full length: a zero byte is data like any other
// (a diff of binary-ish text carries them), so it neither ends the marker
// test, nor a copy, nor a comparison.
bool is_marker(const char* s, Py_ssize_t len) noexcept
{
    return len == kMarkerLen && std::memcmp(s, kMarker, kMarkerLen) == 0;
}

bool check_list(PyObject* obj, const char* what) noexcept
{
    if (PyList_Check(obj))
        return true;
    PyErr_Format(PyExc_TypeError, "%s must be a list, not %.200s", what,
                 Py_TYPE(obj)->tp_name);
    return false;
}

bool check_bytes(PyObject* obj, const char* what) noexcept
{
    if (PyBytes_Check(obj))
        return true;
    PyErr_Format(PyExc_TypeError, "%s must be bytes, not %.200s", what,
                 Py_TYPE(obj)->tp_name);
    return false;
}

// Puts item in the last slot of a non-empty list. The element it replaces
// moves into `dropped`, so that its release (which may run Python code, say
// a finaliser) waits until every list has been updated.
void replace_last(PyObject* list, PyObject* item, qv::Ref& dropped) noexcept
{
    const Py_ssize_t i = PyList_GET_SIZE(list) - 1;
    dropped = qv::Ref::steal(PyList_GET_ITEM(list, i));
    Py_INCREF(item);
    PyList_SET_ITEM(list, i, item);
}

// Takes back the last element of a list we just appended to. We shrink
// the size in place rather than through the list's slice assignment, which
// may reallocate and so could fail while we are already handling a failure.
// The caller still owns a reference to the element, so no finaliser runs.
void drop_last(PyObject* list) noexcept
{
    const Py_ssize_t n = PyList_GET_SIZE(list);
    PyObject* item = PyList_GET_ITEM(list, n - 1);
    Py_SET_SIZE(list, n - 1);
    Py_DECREF(item);
}

// Appends items[i] to lists[i] for i < count, all or none. Appending runs
// no Python code, so when one append fails the lists' last elements are
// still the ones we put there.
bool append_all(PyObject* const* lists, PyObject* const* items,
                int count) noexcept
{
    for (int i = 0; i < count; ++i) {
        if (PyList_Append(lists[i], items[i]) < 0) {
            while (i-- > 0)
                drop_last(lists[i]);
            return false;
        }
    }
    return true;
}

// Drops the line break of the hunk's last line and mirrors the change into
// the side list(s) that line belongs to. Changes nothing and returns false
// with an exception set when it cannot do all of it.
bool fix_last_line(PyObject* hunk, PyObject* old, PyObject* new_) noexcept
{
    const Py_ssize_t hsize = PyList_GET_SIZE(hunk);
    if (hsize == 0) {
        PyErr_SetString(hunkfix_Error, "no hunk line to fix: hunk is empty");
        return false;
    }
    // Our own reference: the line must outlive the copies we take of it.
    qv::Ref last = qv::Ref::borrow(PyList_GET_ITEM(hunk, hsize - 1));
    if (!check_bytes(last.get(), "hunk line"))
        return false;
    const char* s = PyBytes_AS_STRING(last.get());
    const Py_ssize_t len = PyBytes_GET_SIZE(last.get());
    // Without a prefix and a break there is nothing sound to cut.
    if (len < 2) {
        PyErr_SetString(hunkfix_Error,
                        "last hunk line too short to drop its line break");
        return false;
    }
    // The last byte goes whatever it is; a carriage return only directly
    // before it.
    const Py_ssize_t end = s[len - 2] == '\r' ? len - 2 : len - 1;
    const char c = s[0];
    const bool on_new = c == ' ' || c == '+';
    const bool on_old = c == ' ' || c == '-';

    // For ' ' and '+', s[0] is no carriage return, so end >= 1.
    qv::Ref line = qv::Ref::steal(PyBytes_FromStringAndSize(s, end));
    if (!line)
        return false;
    qv::Ref bare;
    if (on_new) {
        bare = qv::Ref::steal(PyBytes_FromStringAndSize(s + 1, end - 1));
        if (!bare)
            return false;
    }
    if (on_new && PyList_GET_SIZE(new_) == 0) {
        PyErr_SetString(hunkfix_Error,
                        "no new-side line to fix: list is empty");
        return false;
    }
    if (on_old && PyList_GET_SIZE(old) == 0) {
        PyErr_SetString(hunkfix_Error,
                        "no old-side line to fix: list is empty");
        return false;
    }

    // Nothing below can fail or run Python code until the Refs go.
    qv::Ref dropped_new, dropped_old, dropped_hunk;
    if (on_new)
        replace_last(new_, bare.get(), dropped_new);
    if (on_old)
        replace_last(old, line.get(), dropped_old);
    replace_last(hunk, line.get(), dropped_hunk);
    return true;
}

// Sorts one body line (bytes, non-empty) into the three lists.
// `after_marker` says whether the line read just before was the marker.
bool add_line(PyObject* line, bool after_marker, PyObject* hunk, PyObject* old,
              PyObject* new_) noexcept
{
    const char* s = PyBytes_AS_STRING(line);
    const Py_ssize_t len = PyBytes_GET_SIZE(line);

    if (is_marker(s, len)) {
        // A second marker would cut one more byte off a line that has no
        // break left: data loss, and a copy of the whole line each time.
        if (after_marker) {
            PyErr_SetString(hunkfix_Error,
                            "no-newline marker repeated: the line before it "
                            "has no line break left to drop");
            return false;
        }
        return fix_last_line(hunk, old, new_);
    }

    if (s[0] == '\n') {
        // A bare line break is a context line whose prefix got lost.
        qv::Ref ctx = qv::Ref::steal(PyBytes_FromStringAndSize(" \n", 2));
        if (!ctx)
            return false;
        qv::Ref nl = qv::Ref::steal(PyBytes_FromStringAndSize("\n", 1));
        if (!nl)
            return false;
        PyObject* const lists[] = {hunk, new_, old};
        PyObject* const items[] = {ctx.get(), nl.get(), ctx.get()};
        return append_all(lists, items, 3);
    }

    if (s[0] == '-') {
        PyObject* const lists[] = {hunk, old};
        PyObject* const items[] = {line, line};
        return append_all(lists, items, 2);
    }

    qv::Ref bare = qv::Ref::steal(PyBytes_FromStringAndSize(s + 1, len - 1));
    if (!bare)
        return false;
    if (s[0] == '+') {
        PyObject* const lists[] = {hunk, new_};
        PyObject* const items[] = {line, bare.get()};
        return append_all(lists, items, 2);
    }
    PyObject* const lists[] = {hunk, new_, old};
    PyObject* const items[] = {line, bare.get(), line};
    return append_all(lists, items, 3);
}

// How many more elements a list must get to hold `count`; 0 if none.
Py_ssize_t shortfall(Py_ssize_t count, PyObject* list) noexcept
{
    const Py_ssize_t size = PyList_GET_SIZE(list);
    return count > size ? count - size : 0;
}

PyObject* hunkfix_addlines(PyObject*, PyObject* args) noexcept
{
    PyObject *fp, *hunk, *old, *new_;
    Py_ssize_t oldcount, newcount;
    if (!PyArg_ParseTuple(args, "OOnnOO", &fp, &hunk, &oldcount, &newcount,
                          &old, &new_))
        return nullptr;
    if (!check_list(hunk, "hunk") || !check_list(old, "old") ||
        !check_list(new_, "new"))
        return nullptr;

    // We read whole batches of the larger shortfall: a context line
    // lengthens both sides, and a marker lengthens none, so the sizes are
    // looked at again only between batches. readline may run any Python
    // code, so list sizes are always read afresh after it.
    qv::Ref readline;  // looked up once, on the first line we need
    bool after_marker = false;
    for (;;) {
        const Py_ssize_t need =
            std::max(shortfall(oldcount, old), shortfall(newcount, new_));
        if (need <= 0)
            break;
        if (!readline) {
            readline = qv::Ref::steal(PyObject_GetAttr(fp, g_readline_name));
            if (!readline)
                return nullptr;
        }
        for (Py_ssize_t i = 0; i < need; ++i) {
            qv::Ref line = qv::Ref::steal(PyObject_CallNoArgs(readline.get()));
            if (!line)
                return nullptr;
            if (!check_bytes(line.get(), "readline() result"))
                return nullptr;
            if (PyBytes_GET_SIZE(line.get()) == 0) {
                PyErr_SetString(hunkfix_Error,
                                "hunk ends before its line counts are met");
                return nullptr;
            }
            if (!add_line(line.get(), after_marker, hunk, old, new_))
                return nullptr;
            after_marker = is_marker(PyBytes_AS_STRING(line.get()),
                                     PyBytes_GET_SIZE(line.get()));
        }
    }
    return PyLong_FromLong(0);
}

PyObject* hunkfix_fix_newline(PyObject*, PyObject* args) noexcept
{
    PyObject *hunk, *old, *new_;
    if (!PyArg_ParseTuple(args, "OOO", &hunk, &old, &new_))
        return nullptr;
    if (!check_list(hunk, "hunk") || !check_list(old, "old") ||
        !check_list(new_, "new"))
        return nullptr;
    if (!fix_last_line(hunk, old, new_))
        return nullptr;
    return PyLong_FromLong(0);
}

PyObject* hunkfix_testhunk(PyObject*, PyObject* args) noexcept
{
    PyObject *old, *lines;
    long start;
    if (!PyArg_ParseTuple(args, "OOl", &old, &lines, &start))
        return nullptr;
    if (!check_list(old, "old") || !check_list(lines, "lines"))
        return nullptr;

    // Nothing here calls back into Python, so the lists hold still.
    const Py_ssize_t n = PyList_GET_SIZE(old);
    const Py_ssize_t m = PyList_GET_SIZE(lines);
    if (start < 0 || int64_t(n) > int64_t(m) - int64_t(start))
        return PyLong_FromLong(-1);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* a = PyList_GET_ITEM(old, i);
        PyObject* b = PyList_GET_ITEM(lines, Py_ssize_t(start) + i);
        if (!check_bytes(a, "hunk line") || !check_bytes(b, "target line"))
            return nullptr;
        const Py_ssize_t alen = PyBytes_GET_SIZE(a);
        if (alen == 0) {
            PyErr_Format(hunkfix_Error, "old-side line %zd has no prefix", i);
            return nullptr;
        }
        // The old line after its prefix against the target line, both at
        // their full length.
        const Py_ssize_t la = alen - 1;
        if (la != PyBytes_GET_SIZE(b) ||
            std::memcmp(PyBytes_AS_STRING(a) + 1, PyBytes_AS_STRING(b),
                        size_t(la)) != 0)
            return PyLong_FromLong(-1);
    }
    return PyLong_FromLong(0);
}

constexpr char kAddlinesDoc[] =
    "addlines($module, file, hunk, oldcount, newcount, old, new, /)\n--\n\n"
    "add lines to a hunk\n";
constexpr char kFixNewlineDoc[] =
    "fix_newline($module, hunk, old, new, /)\n--\n\n"
    "fixup newline counters\n";
constexpr char kTesthunkDoc[] =
    "testhunk($module, old, lines, start, /)\n--\n\n"
    "test lines in a hunk\n";

PyMethodDef methods[] = {
    {"addlines", hunkfix_addlines, METH_VARARGS, kAddlinesDoc},
    {"fix_newline", hunkfix_fix_newline, METH_VARARGS, kFixNewlineDoc},
    {"testhunk", hunkfix_testhunk, METH_VARARGS, kTesthunkDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef hunkfix_module = {PyModuleDef_HEAD_INIT,
                              "hunkfix",
                              "Efficient diff parsing",
                              -1,
                              methods,
                              nullptr,
                              nullptr,
                              nullptr,
                              nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_hunkfix(void)
{
    if (g_readline_name == nullptr) {
        g_readline_name = PyUnicode_InternFromString("readline");
        if (g_readline_name == nullptr)
            return nullptr;
    }
    qv::Ref m = qv::Ref::steal(PyModule_Create2(&hunkfix_module, 1013));
    if (!m)
        return nullptr;
    qv::Ref err = qv::Ref::steal(
        PyErr_NewException("hunkfix.hunkfixError", nullptr, nullptr));
    if (!err)
        return nullptr;  // no module without its exception type
    // A repeated initialisation replaces the type; older modules keep
    // their own reference to the one they were given.
    Py_INCREF(err.get());
    Py_XSETREF(hunkfix_Error, err.get());
    // PyModule_AddObject steals only on success, so we release then.
    if (PyModule_AddObject(m.get(), "hunkfixError", err.get()) < 0)
        return nullptr;
    err.release();
    if (!qv::add_version(m.get()))
        return nullptr;
    return m.release();
}
