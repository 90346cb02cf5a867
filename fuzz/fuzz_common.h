// Helpers shared by the fuzz targets: checks, reading an input, exact heap
// copies. What the engines are checked against is testkit/reference.py, run
// by fuzz_python.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

// A failed check aborts, so libFuzzer records the input as a crash.
#define QV_CHECK(cond)                                                  \
    do {                                                                \
        if (!(cond)) {                                                  \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, \
                         __LINE__, #cond);                              \
            std::abort();                                               \
        }                                                               \
    } while (0)

namespace fz {

// Reads the input front to back.
struct Reader {
    const uint8_t* p;
    size_t n;

    size_t u8()
    {
        if (n == 0)
            return 0;
        --n;
        return *p++;
    }
    size_t u16()
    {
        size_t hi = u8();
        return hi << 8 | u8();
    }
    // Up to want bytes (fewer when the input runs out).
    std::string take(size_t want)
    {
        if (want > n)
            want = n;
        std::string s(reinterpret_cast<const char*>(p), want);
        p += want;
        n -= want;
        return s;
    }
    std::string rest() { return take(n); }
};

// A heap copy of exactly s.size() bytes, so that the sanitizer sees any read
// past either end. An empty text still gets a (1-byte) block.
struct Exact {
    char* data;
    int64_t size;
    explicit Exact(const std::string& s)
        : data(static_cast<char*>(std::malloc(s.size() ? s.size() : 1))),
          size(static_cast<int64_t>(s.size()))
    {
        QV_CHECK(data != nullptr);
        if (!s.empty())
            std::memcpy(data, s.data(), s.size());
    }
    ~Exact() { std::free(data); }
    Exact(const Exact&) = delete;
    Exact& operator=(const Exact&) = delete;
};

inline void put32(std::string& out, uint32_t v)
{
    out.push_back(char(v >> 24));
    out.push_back(char(v >> 16));
    out.push_back(char(v >> 8));
    out.push_back(char(v));
}

}  // namespace fz
