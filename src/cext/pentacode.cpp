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

// The largest value of four digits that a fifth can still follow without
// passing 0xFFFFFFFF ('|NsC').
constexpr uint32_t kMaxPrefix = 0x03030303u;  // 0xFFFFFFFF / 85

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

// Writes the five digits of v at out, most significant first. Each digit
// comes from one division by a power of 85, which the compiler turns into
// a multiply and shift; the top digit is at most 82 and needs no reduction.
inline void put_group(char* out, uint32_t v) noexcept
{
    out[0] = b85chars[v / 52200625u];
    out[1] = b85chars[(v / 614125u) % 85u];
    out[2] = b85chars[(v / 7225u) % 85u];
    out[3] = b85chars[(v / 85u) % 85u];
    out[4] = b85chars[v % 85u];
}

// On x86-64 we also build an AVX2 clone, picked at load time when the CPU
// has it: the digit arithmetic below vectorises well with wider registers.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define QV_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define QV_CLONES
#endif

// Encodes whole groups. We work in blocks of 16 groups and compute all the
// digits of a block before looking any of them up: the divisions are then
// independent lane by lane and the compiler can vectorise them.
QV_CLONES void encode_groups(const unsigned char* src, size_t groups,
                             char* dst) noexcept
{
    constexpr size_t kBlock = 16;
    size_t i = 0;
    for (; i + kBlock <= groups; i += kBlock) {
        uint32_t v[kBlock];
        uint8_t digit[5][kBlock];
        for (size_t k = 0; k < kBlock; ++k)
            v[k] = load_be32(src + 4 * (i + k));
        for (size_t k = 0; k < kBlock; ++k) {
            digit[0][k] = uint8_t(v[k] / 52200625u);
            digit[1][k] = uint8_t((v[k] / 614125u) % 85u);
            digit[2][k] = uint8_t((v[k] / 7225u) % 85u);
            digit[3][k] = uint8_t((v[k] / 85u) % 85u);
            digit[4][k] = uint8_t(v[k] % 85u);
        }
        char* out = dst + 5 * i;
        for (size_t k = 0; k < kBlock; ++k)
            for (size_t d = 0; d < 5; ++d)
                out[5 * k + d] = b85chars[digit[d][k]];
    }
    for (; i < groups; ++i)
        put_group(dst + 5 * i, load_be32(src + 4 * i));
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
    encode_groups(src, size_t(groups), dst);
    src += 4 * groups;
    dst += 5 * groups;
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
