// pentacode: bytes to base-85 text over the RFC 1924 alphabet, and back.
//
// Every 4 input bytes become 5 digits, most significant first. Both
// directions make one pass and write straight into a result bytes object
// allocated once.
#include "pyutil.h"

#include <cstdint>
#include <cstring>

namespace {

// The 85 digits in order of value.
constexpr char b85chars[] =
    "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ"
    "abcdefghijklmnopqrstuvwxyz!#$%&()*+-;<=>?@^_`{|}~";
static_assert(sizeof(b85chars) == 85 + 1);

// Digit value + 1 for each alphabet byte, 0 for every other byte. Filled by
// PyInit_pentacode before the module exists and only read afterwards.
int8_t b85dec[256];

constexpr uint32_t kPow2 = 7225u;      // 85^2
// The largest value of four digits that a fifth can still follow without
// passing 0xFFFFFFFF ('|NsC').
constexpr uint32_t kMaxPrefix = 0x03030303u;  // 0xFFFFFFFF / 85

// Two adjacent digits for every value 0..7224, so a group is written with
// three lookups: one digit and two pairs. Built from b85chars; the digits
// themselves still come from division by the powers of 85.
struct PairTable {
    char pair[kPow2][2];
    constexpr PairTable() : pair()
    {
        for (uint32_t v = 0; v < kPow2; ++v) {
            pair[v][0] = b85chars[v / 85u];
            pair[v][1] = b85chars[v % 85u];
        }
    }
};
constexpr PairTable kPairs;

// Writes the five digits of v at out. The top digit is v div 85^4 (at most
// 82, so it needs no reduction); we reach it as (v div 85^2) div 85^2, whose
// small numerator lets the compiler use a plain multiply and shift.
inline void put_group(char* out, uint32_t v) noexcept
{
    const uint32_t hi = v / kPow2;  // top three digits
    const uint32_t top = hi / kPow2;
    out[0] = b85chars[top];
    std::memcpy(out + 1, kPairs.pair[hi - top * kPow2], 2);
    std::memcpy(out + 3, kPairs.pair[v - hi * kPow2], 2);
}

inline uint32_t load_be32(const unsigned char* p) noexcept
{
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) |
           (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

inline void store_be32(char* p, uint32_t v) noexcept
{
    p[0] = char(v >> 24);
    p[1] = char(v >> 16);
    p[2] = char(v >> 8);
    p[3] = char(v);
}

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

PyObject* pentacode_b85encode(PyObject*, PyObject* args) noexcept
{
    const char* text;
    Py_ssize_t n;
    int pad = 0;
    if (!PyArg_ParseTuple(args, "s#|i", &text, &n, &pad))
        return nullptr;

    const Py_ssize_t groups = n / 4;
    const Py_ssize_t rem = n % 4;
    // The largest size we ask for is 5 * ceil(n / 4) + 3; refuse before that
    // product can leave Py_ssize_t.
    if (groups + 1 > (PY_SSIZE_T_MAX - 3) / 5)
        return PyErr_NoMemory();
    const Py_ssize_t olen =
        pad ? 5 * (groups + (rem > 0)) : 5 * groups + (rem ? rem + 1 : 0);
    // Unpadded, three spare bytes let the partial last group be written as
    // a whole group; we trim them off at the end.
    qv::Ref out = qv::Ref::steal(
        PyBytes_FromStringAndSize(nullptr, pad ? olen : olen + 3));
    if (!out)
        return nullptr;

    const auto* src = reinterpret_cast<const unsigned char*>(text);
    char* dst = PyBytes_AS_STRING(out.get());
    for (Py_ssize_t i = 0; i < groups; ++i, src += 4, dst += 5)
        put_group(dst, load_be32(src));
    if (rem) {
        unsigned char last[4] = {0, 0, 0, 0};
        std::memcpy(last, src, size_t(rem));
        put_group(dst, load_be32(last));
    }

    if (!pad) {
        PyObject* obj = out.release();
        if (_PyBytes_Resize(&obj, olen) < 0)
            return nullptr;  // obj is gone, MemoryError is set
        return obj;
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

    const auto* src = reinterpret_cast<const unsigned char*>(text);
    char* dst = PyBytes_AS_STRING(out.get());
    for (Py_ssize_t g = 0; g < groups; ++g, src += 5, dst += 4) {
        const int d0 = b85dec[src[0]], d1 = b85dec[src[1]],
                  d2 = b85dec[src[2]], d3 = b85dec[src[3]],
                  d4 = b85dec[src[4]];
        const Py_ssize_t pos = 5 * g;
        // One test for the common case; the exact culprit only on failure.
        if ((d0 == 0) | (d1 == 0) | (d2 == 0) | (d3 == 0) | (d4 == 0)) {
            if (d0 == 0)
                return raise_bad_char(pos);
            if (d1 == 0)
                return raise_bad_char(pos + 1);
            if (d2 == 0)
                return raise_bad_char(pos + 2);
            if (d3 == 0)
                return raise_bad_char(pos + 3);
            return raise_bad_char(pos + 4 + 1);  // last of its group: + 1
        }
        const uint32_t v = ((uint32_t(d0 - 1) * 85u + uint32_t(d1 - 1)) * 85u +
                            uint32_t(d2 - 1)) * 85u + uint32_t(d3 - 1);
        const uint32_t last = uint32_t(d4 - 1);
        if (v > kMaxPrefix || v * 85u > 0xFFFFFFFFu - last)
            return raise_bad_seq(pos + 4 + 1);
        store_be32(dst, v * 85u + last);
    }

    if (rem) {
        const Py_ssize_t pos = 5 * groups;
        uint32_t v = 0;
        for (Py_ssize_t j = 0; j < rem; ++j) {
            const int d = b85dec[src[j]];
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
                dst[j] = char(v >> (24 - 8 * j));
        }
    }
    return out.release();
}

constexpr char kEncodeDoc[] =
    "b85encode($module, text, pad=0, /)\n--\n\n"
    "Encode text in pentacode.\n\nIf the second parameter is true, pad the "
    "result to a multiple of five characters.\n";
constexpr char kDecodeDoc[] =
    "b85decode($module, text, /)\n--\n\n"
    "Decode pentacode text.\n";

PyMethodDef methods[] = {
    {"b85encode", pentacode_b85encode, METH_VARARGS, kEncodeDoc},
    {"b85decode", pentacode_b85decode, METH_VARARGS, kDecodeDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef pentacode_module = {
    PyModuleDef_HEAD_INIT, "pentacode", "Pentacode Data Encoding", -1,
    methods, nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_pentacode(void)
{
    std::memset(b85dec, 0, sizeof b85dec);
    for (int i = 0; i < 85; ++i)
        b85dec[static_cast<unsigned char>(b85chars[i])] = int8_t(i + 1);

    PyObject* m = PyModule_Create2(&pentacode_module, 1013);
    if (m == nullptr)
        return nullptr;
    if (!qv::add_version(m)) {
        Py_DECREF(m);
        return nullptr;
    }
    return m;
}
