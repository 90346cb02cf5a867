// The pentacode engine's choice of kernels.
#include <cstring>

#include "pentacode/internal.h"

namespace {

constexpr pentacode_path kScalar = {
    "scalar",
    {pentacode_encode_scalar, nullptr},
    {pentacode_decode_scalar, nullptr},
};

#ifdef PENTACODE_X86
// The wider kernels leave their tails to the narrower ones.
constexpr pentacode_path kAvx2 = {
    "avx2",
    {pentacode_encode_avx2, pentacode_encode_scalar, nullptr},
    {pentacode_decode_avx2, pentacode_decode_scalar, nullptr},
};
constexpr pentacode_path kAvx512 = {
    "avx512",
    {pentacode_encode_avx512, pentacode_encode_avx2, pentacode_encode_scalar,
     nullptr},
    {pentacode_decode_avx512, pentacode_decode_avx2, pentacode_decode_scalar,
     nullptr},
};

bool has_avx2() noexcept
{
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
}

bool has_avx512() noexcept
{
    // The AVX-512 kernels hand their tails to the AVX2 ones.
    return has_avx2() && __builtin_cpu_supports("avx512f") &&
           __builtin_cpu_supports("avx512bw");
}
#endif

}  // namespace

const pentacode_path* pentacode_select(const char* cap) noexcept
{
    int limit = 2;  // 0 scalar, 1 avx2, 2 avx512
    if (cap != nullptr && *cap != '\0') {
        if (std::strcmp(cap, "scalar") == 0)
            limit = 0;
        else if (std::strcmp(cap, "avx2") == 0)
            limit = 1;
        else if (std::strcmp(cap, "avx512") != 0)
            return nullptr;
    }
#ifdef PENTACODE_X86
    if (limit >= 2 && has_avx512())
        return &kAvx512;
    if (limit >= 1 && has_avx2())
        return &kAvx2;
#else
    (void)limit;
#endif
    return &kScalar;
}

const char* pentacode_path_name(const pentacode_path* path) noexcept
{
    return path->name;
}
