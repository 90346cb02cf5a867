// pentacode: bytes to base-85 text over the RFC 1924 alphabet, and back.
//
// Every 4 input bytes become 5 digits, most significant first. Both
// directions make one pass and write straight into a result bytes object
// allocated once.
#include "pentacode/pentacode.h"
#include "pyutil.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

// The kernels every call uses: picked once, at initialisation, from what
// the CPU can run, capped by QUORVAN_PENTACODE_ISA ("scalar", "avx2",
// "avx512") so that tests can run each narrower path on a wide machine.
// All paths give the same bytes and the same errors.
const pentacode_path* g_path = nullptr;

constexpr char kIsaVariable[] = "QUORVAN_PENTACODE_ISA";

// The largest value of four digits that a fifth can still follow without
// passing 0xFFFFFFFF ('|NsC').
constexpr uint32_t kMaxPrefix = 0x03030303u;  // 0xFFFFFFFF / 85

PyObject* raise_bad_char(Py_ssize_t pos) noexcept
{
    // Positions are printed as a full Py_ssize_t so that inputs longer than
    // INT_MAX characters still report the true position.
    PyErr_Format(PyExc_ValueError, "bad pentacode character at position %zd",
                 pos);
    return nullptr;
}

PyObject* raise_bad_seq(Py_ssize_t pos) noexcept
{
    PyErr_Format(PyExc_ValueError, "bad pentacode sequence at position %zd",
                 pos);
    return nullptr;
}

// Reports the fault of a whole group that the kernels refused: the first
// character outside the alphabet (one past it when it is the fifth), or
// else the overflow of the five digits. `pos` is the group's position.
PyObject* raise_group_error(const uint8_t* g, Py_ssize_t pos) noexcept
{
    uint32_t v = 0;
    for (int j = 0; j < 4; ++j) {
        const int d = pentacode_dec[g[j]];
        if (d == 0)
            return raise_bad_char(pos + j);
        v = v * 85u + uint32_t(d - 1);
    }
    const int d = pentacode_dec[g[4]];
    if (d == 0)
        return raise_bad_char(pos + 4 + 1);  // last of its group: + 1
    const uint32_t last = uint32_t(d - 1);
    if (v > kMaxPrefix || v * 85u > 0xFFFFFFFFu - last)
        return raise_bad_seq(pos + 4 + 1);
    // Unreachable: the kernels refuse only groups that fail a test above.
    PyErr_SetString(PyExc_SystemError, "pentacode: group decoded twice");
    return nullptr;
}

PyObject* pentacode_b85encode(PyObject*, PyObject* args) noexcept
{
    const char* text;
    Py_ssize_t n;
    int pad = 0;
    if (!PyArg_ParseTuple(args, "s#|i", &text, &n, &pad))
        return nullptr;

    const Py_ssize_t groups = n / 4;
    const Py_ssize_t rem = n % 4;
    // The largest size we ask for is 5 * ceil(n / 4); refuse before that
    // product can leave Py_ssize_t.
    if (groups + 1 > PY_SSIZE_T_MAX / 5)
        return PyErr_NoMemory();
    const Py_ssize_t olen =
        pad ? 5 * (groups + (rem > 0)) : 5 * groups + (rem ? rem + 1 : 0);
    qv::Ref out = qv::Ref::steal(PyBytes_FromStringAndSize(nullptr, olen));
    if (!out)
        return nullptr;

    const auto* src = reinterpret_cast<const uint8_t*>(text);
    auto* dst = reinterpret_cast<uint8_t*>(qv::bytes_data(out.get()));
    pentacode_encode(g_path, src, size_t(groups), dst);
    if (rem) {
        // The short last group, zero-filled, encoded whole: padded, all its
        // five characters are kept; unpadded, its first rem + 1.
        uint8_t last[4] = {0, 0, 0, 0};
        uint8_t chars[5];
        std::memcpy(last, src + 4 * groups, size_t(rem));
        pentacode_encode_scalar(last, 1, chars);
        std::memcpy(dst + 5 * groups, chars, size_t(olen - 5 * groups));
    }
    return out.release();
}

PyObject* pentacode_b85decode(PyObject*, PyObject* args) noexcept
{
    const char* text;
    Py_ssize_t n;
    if (!PyArg_ParseTuple(args, "s#", &text, &n))
        return nullptr;

    const Py_ssize_t groups = n / 5;
    const Py_ssize_t rem = n % 5;
    const Py_ssize_t olen = 4 * groups + (rem ? rem - 1 : 0);
    qv::Ref out = qv::Ref::steal(PyBytes_FromStringAndSize(nullptr, olen));
    if (!out)
        return nullptr;

    const auto* src = reinterpret_cast<const uint8_t*>(text);
    auto* dst = reinterpret_cast<uint8_t*>(qv::bytes_data(out.get()));
    const size_t done = pentacode_decode(g_path, src, size_t(groups), dst);
    if (done < size_t(groups))
        return raise_group_error(src + 5 * done, Py_ssize_t(5 * done));
    src += 5 * groups;
    dst += 4 * groups;

    if (rem) {
        const Py_ssize_t pos = 5 * groups;
        uint32_t v = 0;
        for (Py_ssize_t j = 0; j < rem; ++j) {
            const int d = pentacode_dec[src[j]];
            const bool is_last = j == rem - 1;
            if (d == 0)
                return raise_bad_char(pos + j + (is_last ? 1 : 0));
            // Four or fewer digits stay below 85^4, so the overflow test of
            // a group's last digit cannot fire here; v * 85 cannot wrap.
            v = v * 85u + uint32_t(d - 1);
        }
        const Py_ssize_t owed = rem - 1;
        if (owed > 0) {
            // Missing digits count as 0; ones in the dropped low bytes
            // restore the top bytes of what the encoder saw. Wraps modulo
            // 2^32 by design (unsigned arithmetic).
            for (Py_ssize_t j = rem; j < 5; ++j)
                v *= 85u;
            v += (uint32_t(1) << (8 * (4 - owed))) - 1u;
            for (Py_ssize_t j = 0; j < owed; ++j)
                dst[j] = uint8_t(v >> (24 - 8 * j));
        }
    }
    return out.release();
}

PyDoc_STRVAR(pentacode_b85encode_doc,
             "b85encode($module, text, pad=0, /)\n--\n\n"
             "Encode text in pentacode.\n\nIf the second parameter is true, "
             "pad the result to a multiple of five characters.\n");
PyDoc_STRVAR(pentacode_b85decode_doc, "b85decode($module, text, /)\n--\n\n"
                                      "Decode pentacode text.\n");

PyMethodDef methods[] = {
    {"b85encode", pentacode_b85encode, METH_VARARGS, pentacode_b85encode_doc},
    {"b85decode", pentacode_b85decode, METH_VARARGS, pentacode_b85decode_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef pentacode_module = {PyModuleDef_HEAD_INIT,
                                "pentacode",
                                "Pentacode Data Encoding",
                                -1,
                                methods,
                                nullptr,
                                nullptr,
                                nullptr,
                                nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_pentacode(void)
{
    pentacode_init();
    const char* cap = std::getenv(kIsaVariable);
    const pentacode_path* path = pentacode_select(cap);
    if (path == nullptr) {
        PyErr_Format(PyExc_ImportError,
                     "%s must be scalar, avx2 or avx512, not '%s'",
                     kIsaVariable, cap);
        return nullptr;
    }
    g_path = path;

    qv::Ref m = qv::create_module(&pentacode_module);
    // Which kernels run, for tests and benchmarks.
    if (!m || PyModule_AddStringConstant(m.get(), "_isa", path->name) < 0)
        return nullptr;
    return m.release();
}
