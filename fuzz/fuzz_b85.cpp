// Base-85 codec through the real module layer: the module's own source is
// compiled into this program, registered as a built-in module of an embedded
// interpreter and called like any host would call it. Each result is checked
// against a reference codec written from the format's rules. The engine's
// kernels are also run directly on every path this CPU has (scalar, AVX2,
// AVX-512), whichever one the module picked.
// Input: mode byte m, then the text. m & 1 == 0: decode the text; otherwise
// encode it, padded when m & 2.
#include "../src/cext/pentacode.cpp"  // the module under test, not a copy

#include "fuzz_common.h"

namespace {

const char kDigits[] =
    "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
    "!#$%&()*+-;<=>?@^_`{|}~";

std::string ref_encode(const std::string& s, bool pad)
{
    std::string out;
    for (size_t i = 0; i < s.size(); i += 4) {
        uint32_t v = 0;
        for (size_t j = 0; j < 4; ++j)
            v = v << 8 | (i + j < s.size() ? uint8_t(s[i + j]) : 0u);
        char g[5];
        for (int j = 4; j >= 0; --j) {
            g[j] = kDigits[v % 85];
            v /= 85;
        }
        const size_t left = s.size() - i;
        out.append(g, pad || left >= 4 ? 5 : left + 1);
    }
    return out;
}

// Returns true with out set, or false with the exact error message.
bool ref_decode(const std::string& s, std::string& out, std::string& err)
{
    int dec[256];
    for (int& d : dec)
        d = -1;
    for (int i = 0; i < 85; ++i)
        dec[uint8_t(kDigits[i])] = i;
    out.clear();
    const size_t n = s.size();
    char msg[80];
    for (size_t i = 0; i < n; i += 5) {
        const size_t k = n - i < 5 ? n - i : 5;
        uint64_t v = 0;
        for (size_t j = 0; j < k; ++j) {
            const int d = dec[uint8_t(s[i + j])];
            const bool last = j + 1 == k;
            if (d < 0) {
                std::snprintf(msg, sizeof msg,
                              "bad pentacode character at position %d",
                              int(i + j + (last ? 1 : 0)));
                err = msg;
                return false;
            }
            v = v * 85 + uint64_t(d);
            if (last && v > 0xFFFFFFFFu) {
                std::snprintf(msg, sizeof msg,
                              "bad pentacode sequence at position %d",
                              int(i + j + 1));
                err = msg;
                return false;
            }
        }
        const size_t m = k - 1 < 4 ? k - 1 : 4;
        uint32_t w = uint32_t(v);
        if (m >= 1 && m <= 3) {
            for (size_t j = k; j < 5; ++j)
                w *= 85;
            w += (uint32_t(1) << (8 * (4 - m))) - 1;
        }
        for (size_t j = 0; j < m; ++j)
            out.push_back(char(w >> (24 - 8 * j)));
    }
    return true;
}

// Whole groups before the first one that does not decode (all if none).
size_t ref_good_groups(const std::string& s)
{
    for (size_t g = 0; g < s.size() / 5; ++g) {
        uint64_t v = 0;
        for (size_t j = 0; j < 5; ++j) {
            const int d = pentacode_dec[uint8_t(s[5 * g + j])];
            if (d == 0)
                return g;
            v = v * 85 + uint64_t(d - 1);
        }
        if (v > 0xFFFFFFFFu)
            return g;
    }
    return s.size() / 5;
}

// Every path's kernels agree with the reference on the whole groups.
void check_paths(const std::string& text, bool decode)
{
    const auto* src = reinterpret_cast<const uint8_t*>(text.data());
    const pentacode_path* last = nullptr;
    for (const char* cap : {"scalar", "avx2", "avx512"}) {
        const pentacode_path* path = pentacode_select(cap);
        QV_CHECK(path != nullptr);
        if (path == last)
            continue;  // the CPU stops short of this one
        last = path;
        if (decode) {
            const size_t groups = text.size() / 5;
            std::string out(4 * groups, '\0');
            const size_t done = pentacode_decode(
                path, src, groups, reinterpret_cast<uint8_t*>(out.data()));
            const size_t good = ref_good_groups(text);
            QV_CHECK(done == good);
            std::string want, err;
            ref_decode(text.substr(0, 5 * good), want, err);
            QV_CHECK(out.compare(0, 4 * good, want) == 0);
        } else {
            const size_t groups = text.size() / 4;
            std::string out(5 * groups, '\0');
            pentacode_encode(path, src, groups,
                             reinterpret_cast<uint8_t*>(out.data()));
            QV_CHECK(out == ref_encode(text.substr(0, 4 * groups), false));
        }
    }
}

PyObject* g_encode;
PyObject* g_decode;

std::string bytes_of(PyObject* b)
{
    QV_CHECK(b != nullptr && PyBytes_CheckExact(b));
    return std::string(PyBytes_AS_STRING(b), size_t(PyBytes_GET_SIZE(b)));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // The system allocator, so that the sanitizer watches every byte of the
    // result objects (the object allocator would hide small overruns).
    PyPreConfig pre;
    PyPreConfig_InitPythonConfig(&pre);
    pre.allocator = PYMEM_ALLOCATOR_MALLOC;
    QV_CHECK(!PyStatus_Exception(Py_PreInitialize(&pre)));
    QV_CHECK(PyImport_AppendInittab("pentacode", PyInit_pentacode) == 0);
    Py_InitializeEx(0);
    PyObject* m = PyImport_ImportModule("pentacode");
    QV_CHECK(m != nullptr);
    g_encode = PyObject_GetAttrString(m, "b85encode");
    g_decode = PyObject_GetAttrString(m, "b85decode");
    QV_CHECK(g_encode != nullptr && g_decode != nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fz::Reader in{data, size};
    const size_t mode = in.u8();
    const std::string text = in.rest();
    PyObject* arg =
        PyBytes_FromStringAndSize(text.data(), Py_ssize_t(text.size()));
    QV_CHECK(arg != nullptr);

    check_paths(text, (mode & 1) == 0);
    if ((mode & 1) == 0) {
        std::string want, err;
        const bool ok = ref_decode(text, want, err);
        PyObject* got = PyObject_CallFunctionObjArgs(g_decode, arg, nullptr);
        if (ok) {
            QV_CHECK(bytes_of(got) == want);
            // Whole groups are canonical: they encode back to the text.
            if (text.size() % 5 == 0)
                QV_CHECK(ref_encode(want, false) == text);
            Py_DECREF(got);
        } else {
            QV_CHECK(got == nullptr);
            QV_CHECK(PyErr_ExceptionMatches(PyExc_ValueError));
            PyObject *type, *value, *tb;
            PyErr_Fetch(&type, &value, &tb);
            PyObject* s = PyObject_Str(value);
            QV_CHECK(s != nullptr);
            QV_CHECK(err == PyUnicode_AsUTF8(s));
            Py_DECREF(s);
            Py_XDECREF(type);
            Py_XDECREF(value);
            Py_XDECREF(tb);
        }
    } else {
        const bool pad = (mode & 2) != 0;
        PyObject* got = PyObject_CallFunction(g_encode, "Oi", arg,
                                              pad ? int(mode >> 2) | 1 : 0);
        const std::string enc = bytes_of(got);
        Py_DECREF(got);
        QV_CHECK(enc == ref_encode(text, pad));
        PyObject* earg =
            PyBytes_FromStringAndSize(enc.data(), Py_ssize_t(enc.size()));
        PyObject* back = PyObject_CallFunctionObjArgs(g_decode, earg, nullptr);
        std::string want = text;
        if (pad)
            want.append((4 - text.size() % 4) % 4, '\0');
        QV_CHECK(bytes_of(back) == want);
        Py_DECREF(back);
        Py_DECREF(earg);
    }
    Py_DECREF(arg);
    QV_CHECK(!PyErr_Occurred());
    return 0;
}
