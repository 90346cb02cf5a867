// Base-85 engine on every path this CPU has (scalar, AVX2, AVX-512):
// whole texts, short final groups and error positions included, each
// result checked against a reference codec written from the format's rules.
// Input: mode byte m, then the text. m & 1 == 0: decode the text; otherwise
// encode it, padded when m & 2.
#include <cstdint>
#include <string>

#include "fuzz_common.h"
#include "pentacode/pentacode.h"

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

// Returns PENTACODE_OK with out set, or the fault's code and position.
int ref_decode(const std::string& s, std::string& out, int64_t& at)
{
    int dec[256];
    for (int& d : dec)
        d = -1;
    for (int i = 0; i < 85; ++i)
        dec[uint8_t(kDigits[i])] = i;
    out.clear();
    const size_t n = s.size();
    for (size_t i = 0; i < n; i += 5) {
        const size_t k = n - i < 5 ? n - i : 5;
        uint64_t v = 0;
        for (size_t j = 0; j < k; ++j) {
            const int d = dec[uint8_t(s[i + j])];
            const bool last = j + 1 == k;
            if (d < 0) {
                at = int64_t(i + j + (last ? 1 : 0));
                return PENTACODE_EBADCHAR;
            }
            v = v * 85 + uint64_t(d);
            if (last && v > 0xFFFFFFFFu) {
                at = int64_t(i + j + 1);
                return PENTACODE_EBADSEQ;
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
    return PENTACODE_OK;
}

// Every path agrees with the reference, and so with every other path.
void check_paths(const std::string& text, bool decode, bool pad)
{
    const auto* src = reinterpret_cast<const uint8_t*>(text.data());
    const auto n = int64_t(text.size());
    std::string want;
    int64_t want_at = -1;
    const int want_rc = decode ? ref_decode(text, want, want_at) : 0;
    if (!decode)
        want = ref_encode(text, pad);

    const pentacode_path* last = nullptr;
    for (const char* cap : {"scalar", "avx2", "avx512"}) {
        const pentacode_path* path = pentacode_select(cap);
        QV_CHECK(path != nullptr);
        if (path == last)
            continue;  // the CPU stops short of this one
        last = path;
        if (decode) {
            // An exact heap block, so that the sanitizer sees a write past it.
            fz::Exact out(
                std::string(size_t(pentacode_decoded_size(n)), '\0'));
            int64_t at = -1;
            const int rc = pentacode_decode(
                path, src, n, reinterpret_cast<uint8_t*>(out.data), &at);
            QV_CHECK(rc == want_rc);
            if (rc == PENTACODE_OK)
                QV_CHECK(std::string(out.data, size_t(out.size)) == want);
            else
                QV_CHECK(at == want_at);
        } else {
            const int64_t size = pentacode_encoded_size(n, pad);
            QV_CHECK(size == int64_t(want.size()));
            fz::Exact out(std::string(size_t(size), '\0'));
            pentacode_encode(path, src, n, pad,
                             reinterpret_cast<uint8_t*>(out.data));
            QV_CHECK(std::string(out.data, size_t(out.size)) == want);
        }
    }
    if (decode && want_rc == PENTACODE_OK && text.size() % 5 == 0)
        // Whole groups are canonical: they encode back to the text.
        QV_CHECK(ref_encode(want, false) == text);
    if (!decode) {
        // And the encoding decodes back, padding as zero bytes.
        std::string back;
        int64_t at;
        QV_CHECK(ref_decode(want, back, at) == PENTACODE_OK);
        std::string orig = text;
        if (pad)
            orig.append((4 - text.size() % 4) % 4, '\0');
        QV_CHECK(back == orig);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fz::Reader in{data, size};
    const size_t mode = in.u8();
    check_paths(in.rest(), (mode & 1) == 0, (mode & 2) != 0);
    return 0;
}
