// Helpers shared by the fuzz targets: how an input is cut into texts, and
// small reference implementations of the delta format that the engines are
// checked against. The same cuts are mirrored in tests/test_fuzz_replay.py,
// which replays saved inputs through the Python modules.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

// A failed check aborts, so libFuzzer records the input as a crash.
#define QV_CHECK(cond)                                                    \
    do {                                                                  \
        if (!(cond)) {                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__,   \
                         __LINE__, #cond);                                \
            std::abort();                                                 \
        }                                                                 \
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

inline uint32_t be32(const char* p)
{
    const auto* u = reinterpret_cast<const uint8_t*>(p);
    return uint32_t(u[0]) << 24 | uint32_t(u[1]) << 16 | uint32_t(u[2]) << 8 |
           uint32_t(u[3]);
}

inline void put32(std::string& out, uint32_t v)
{
    out.push_back(char(v >> 24));
    out.push_back(char(v >> 16));
    out.push_back(char(v >> 8));
    out.push_back(char(v));
}

struct Frag {
    int64_t start, end, len;
    int64_t data;  // offset of the data in the delta
};

// Decodes by the format's rules V1 to V4; false when the delta is refused.
inline bool ref_decode(const std::string& d, std::vector<Frag>& out)
{
    out.clear();
    const int64_t n = static_cast<int64_t>(d.size());
    int64_t p = 0;
    while (p < n) {
        if (n - p < 12)
            return false;
        const int64_t s = int32_t(be32(d.data() + p));
        const int64_t e = int32_t(be32(d.data() + p + 4));
        const int64_t l = int32_t(be32(d.data() + p + 8));
        const int64_t next = p + 12 + l;
        if (s > e || l < 0)
            return false;
        if (next > INT32_MAX)
            return false;
        out.push_back({s, e, l, p + 12});
        p = next;
    }
    return p == n;
}

// Applies decoded fragments to src by rules V5 and V6; false when refused.
inline bool ref_apply(const std::string& src, const std::string& delta,
                      const std::vector<Frag>& frags, std::string& out)
{
    out.clear();
    const int64_t m = static_cast<int64_t>(src.size());
    int64_t last = 0;
    for (const Frag& f : frags) {
        if (f.start < last || f.end > m)
            return false;
        out.append(src, size_t(last), size_t(f.start - last));
        out.append(delta, size_t(f.data), size_t(f.len));
        last = f.end;
    }
    out.append(src, size_t(last), size_t(m - last));
    return true;
}

// Full reference patch of one delta; false when decoding or applying refuses.
inline bool ref_patch(const std::string& src, const std::string& delta,
                      std::string& out)
{
    std::vector<Frag> frags;
    return ref_decode(delta, frags) && ref_apply(src, delta, frags, out);
}

// Turns arbitrary bytes into a delta that is valid against a text of cur
// bytes: headers keep their framing, and every field is folded into range.
// Lets the fold target spend its time on chains that apply.
inline std::string repair_delta(const std::string& raw, int64_t cur)
{
    std::string out;
    size_t pos = 0;
    int64_t prev_end = 0;
    while (raw.size() - pos >= 12) {
        const uint32_t s = be32(raw.data() + pos);
        const uint32_t e = be32(raw.data() + pos + 4);
        const uint32_t l = be32(raw.data() + pos + 8);
        pos += 12;
        const int64_t len = int64_t(l % (raw.size() - pos + 1));
        const int64_t start = prev_end + int64_t(s % uint64_t(cur - prev_end + 1));
        const int64_t end = start + int64_t(e % uint64_t(cur - start + 1));
        put32(out, uint32_t(start));
        put32(out, uint32_t(end));
        put32(out, uint32_t(len));
        out.append(raw, pos, size_t(len));
        pos += size_t(len);
        prev_end = end;
    }
    return out;
}

}  // namespace fz
