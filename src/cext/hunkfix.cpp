// Module layer of the hunk reader: quorvan.cext.hunkfix, the inner loops of
// a unified-diff reader. What a line is, and how it is cut or compared, are
// the rules of hunkfix/hunkfix.h; this layer reads lines and fills lists.
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
#include <algorithm>
#include <cstdint>

#include "hunkfix/hunkfix.h"
#include "pyutil.h"

namespace {

qv::ExceptionType g_error;
// The interned name "readline", made once: a fresh string per call would
// cost a little each time and churn the type attribute cache.
PyObject* g_readline_name = nullptr;

std::nullptr_t hunkfix_raise(int code, Py_ssize_t position = 0) noexcept
{
    PyObject* e = g_error.get();
    return qv::raise_code(
        code,
        {{HUNKFIX_EEOF, e, "hunk ends before its line counts are met"},
         {HUNKFIX_EREPEAT, e,
          "no-newline marker repeated: the line before it has no line "
          "break left to drop"},
         {HUNKFIX_EEMPTY, e, "no hunk line to fix: hunk is empty"},
         {HUNKFIX_ESHORT, e,
          "last hunk line too short to drop its line break"},
         {HUNKFIX_ENONEW, e, "no new-side line to fix: list is empty"},
         {HUNKFIX_ENOOLD, e, "no old-side line to fix: list is empty"},
         {HUNKFIX_ENOPREFIX, e, "old-side line %zd has no prefix"}},
        position);
}

// For the methods' helpers, which report success as a bool.
bool fail(int code) noexcept
{
    hunkfix_raise(code);
    return false;
}

bool check_list(PyObject* obj, const char* what) noexcept
{
    return qv::is_list(obj) || qv::type_error(what, "a list", obj);
}

bool check_bytes(PyObject* obj, const char* what) noexcept
{
    return qv::is_bytes(obj) || qv::type_error(what, "bytes", obj);
}

// Puts item in the last slot of a non-empty list. The element it replaces
// moves into `dropped`, so that its release (which may run Python code, say
// a finaliser) waits until every list has been updated.
void replace_last(PyObject* list, PyObject* item, qv::Ref& dropped) noexcept
{
    Py_INCREF(item);
    qv::list_replace(list, qv::list_size(list) - 1, item, dropped);
}

// Takes back the last element of a list we just appended to, while a
// failure is pending. The caller still owns a reference to the element, so
// no finaliser runs. The size shrinks in place, which cannot fail: a slice
// deletion (the limited API's only other way) may reallocate and so fail
// again while memory is short, which would leave part of a line behind.
// A list's length is its object size in every CPython, the limited API's
// too, and the elements past it are never read.
void drop_last(PyObject* list) noexcept
{
    const Py_ssize_t n = qv::list_size(list);
    PyObject* item = qv::list_item(list, n - 1);
    Py_SET_SIZE(reinterpret_cast<PyVarObject*>(list), n - 1);
    Py_DECREF(item);
}

// Appends items[i] to lists[i] for i < count, all or none. Appending runs
// no Python code, so when one append fails the lists' last elements are
// still the ones we put there. Inlined, so that each call's count is known:
// g++ keeps it out of line in the limited-API build otherwise.
[[gnu::always_inline]] inline bool
append_all(PyObject* const* lists, PyObject* const* items, int count) noexcept
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
    const Py_ssize_t hsize = qv::list_size(hunk);
    if (hsize == 0)
        return fail(HUNKFIX_EEMPTY);
    // Our own reference: the line must outlive the copies we take of it.
    qv::Ref last = qv::Ref::borrow(qv::list_item(hunk, hsize - 1));
    if (!check_bytes(last.get(), "hunk line"))
        return false;
    const char* s;
    Py_ssize_t len;
    qv::bytes_view(last.get(), &s, &len);
    hunkfix::line_cut cut;
    if (const int rc = hunkfix::cut_break(s, len, &cut); rc != HUNKFIX_OK)
        return fail(rc);

    qv::Ref line = qv::Ref::steal(PyBytes_FromStringAndSize(s, cut.end));
    if (!line)
        return false;
    qv::Ref bare;
    if (cut.on_new) {
        bare = qv::Ref::steal(PyBytes_FromStringAndSize(s + 1, cut.end - 1));
        if (!bare)
            return false;
    }
    if (cut.on_new && qv::list_size(new_) == 0)
        return fail(HUNKFIX_ENONEW);
    if (cut.on_old && qv::list_size(old) == 0)
        return fail(HUNKFIX_ENOOLD);

    // Nothing below can fail or run Python code until the Refs go.
    qv::Ref dropped_new, dropped_old, dropped_hunk;
    if (cut.on_new)
        replace_last(new_, bare.get(), dropped_new);
    if (cut.on_old)
        replace_last(old, line.get(), dropped_old);
    replace_last(hunk, line.get(), dropped_hunk);
    return true;
}

// Sorts one body line (bytes s, len >= 1) of the given kind into the three
// lists. `after_marker` says whether the line read just before was the
// marker.
bool add_line(PyObject* line, const char* s, Py_ssize_t len,
              hunkfix::line_kind kind, bool after_marker, PyObject* hunk,
              PyObject* old, PyObject* new_) noexcept
{
    using hunkfix::line_kind;
    switch (kind) {
    case line_kind::marker:
        // A second marker would cut one more byte off a line that has no
        // break left: data loss, and a copy of the whole line each time.
        if (after_marker)
            return fail(HUNKFIX_EREPEAT);
        return fix_last_line(hunk, old, new_);
    case line_kind::blank: {
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
    case line_kind::old_only: {
        PyObject* const lists[] = {hunk, old};
        PyObject* const items[] = {line, line};
        return append_all(lists, items, 2);
    }
    case line_kind::new_only:
    case line_kind::context:
        break;
    }
    qv::Ref bare = qv::Ref::steal(PyBytes_FromStringAndSize(s + 1, len - 1));
    if (!bare)
        return false;
    if (kind == line_kind::new_only) {
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
    const Py_ssize_t size = qv::list_size(list);
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
            const char* s;
            Py_ssize_t len;
            qv::bytes_view(line.get(), &s, &len);
            if (len == 0)
                return hunkfix_raise(HUNKFIX_EEOF);
            const hunkfix::line_kind kind = hunkfix::classify(s, len);
            if (!add_line(line.get(), s, len, kind, after_marker, hunk, old,
                          new_))
                return nullptr;
            after_marker = kind == hunkfix::line_kind::marker;
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
    const Py_ssize_t n = qv::list_size(old);
    const Py_ssize_t m = qv::list_size(lines);
    if (start < 0 || int64_t(n) > int64_t(m) - int64_t(start))
        return PyLong_FromLong(-1);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* a = qv::list_item(old, i);
        PyObject* b = qv::list_item(lines, Py_ssize_t(start) + i);
        if (!check_bytes(a, "hunk line") || !check_bytes(b, "target line"))
            return nullptr;
        const char *sa, *sb;
        Py_ssize_t la, lb;
        qv::bytes_view(a, &sa, &la);
        qv::bytes_view(b, &sb, &lb);
        const int same = hunkfix::same_line(sa, la, sb, lb);
        if (same < 0)
            return hunkfix_raise(same, i);
        if (!same)
            return PyLong_FromLong(-1);
    }
    return PyLong_FromLong(0);
}

PyDoc_STRVAR(
    hunkfix_addlines_doc,
    "addlines($module, file, hunk, oldcount, newcount, old, new, /)\n--\n\n"
    "add lines to a hunk\n");
PyDoc_STRVAR(hunkfix_fix_newline_doc,
             "fix_newline($module, hunk, old, new, /)\n--\n\n"
             "fixup newline counters\n");
PyDoc_STRVAR(hunkfix_testhunk_doc,
             "testhunk($module, old, lines, start, /)\n--\n\n"
             "test lines in a hunk\n");

PyMethodDef methods[] = {
    {"addlines", hunkfix_addlines, METH_VARARGS, hunkfix_addlines_doc},
    {"fix_newline", hunkfix_fix_newline, METH_VARARGS,
     hunkfix_fix_newline_doc},
    {"testhunk", hunkfix_testhunk, METH_VARARGS, hunkfix_testhunk_doc},
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
    qv::Ref m = qv::create_module(&hunkfix_module);
    // The full name is importable, so that the exception pickles.
    if (!m || !g_error.create(m.get(), "quorvan.cext.hunkfix.hunkfixError"))
        return nullptr;
    return m.release();
}
