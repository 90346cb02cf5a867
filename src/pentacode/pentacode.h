// Base-85 engine of the pentacode module: conversion of whole groups, no
// Python.h. The module layer sizes the result, handles the short final group
// and turns a fault into its exact message.
#pragma once

#include <cstddef>
#include <cstdint>

// The 85 digits in order of value.
extern const char pentacode_chars[86];

// Digit value + 1 for each alphabet byte, 0 for every other byte. Written by
// pentacode_init() only, read by everything else.
extern int8_t pentacode_dec[256];

// A kernel converts a prefix of `groups` whole groups and returns how many
// groups it converted.
//   Encoders: 4 bytes to 5 characters each; they may leave a tail of fewer
//   groups than their block for the next kernel.
//   Decoders: 5 characters to 4 bytes each. A vector decoder stops before a
//   block that holds a character outside the alphabet or a group above
//   0xFFFFFFFF; the scalar decoder stops at that very group, which is then
//   group number <return value>. A vector decoder may also write bytes of
//   the groups after those it reports (never past dst + 4 * groups); the
//   next kernel writes them again.
using pentacode_kernel = size_t (*)(const uint8_t* src, size_t groups,
                                    uint8_t* dst) noexcept;

// One way to run the codec: kernels to try in order, widest first, each
// taking over where the previous one stopped. Every chain ends with the
// scalar kernel, which converts whatever is left.
struct pentacode_path {
    const char* name;            // "scalar", "avx2" or "avx512"
    pentacode_kernel encode[4];  // null-terminated
    pentacode_kernel decode[4];  // null-terminated
};

// Fills pentacode_dec. Runs before any kernel.
void pentacode_init() noexcept;

// The fastest path this CPU runs, but none wider than `cap` ("scalar",
// "avx2", "avx512"; null or empty means no cap). Null for an unknown cap.
const pentacode_path* pentacode_select(const char* cap) noexcept;

// Run a path's chain over `groups` whole groups. Encoding converts them
// all; decoding returns the number of groups before the first bad one (all
// of them when there is none).
void pentacode_encode(const pentacode_path* path, const uint8_t* src,
                      size_t groups, uint8_t* dst) noexcept;
size_t pentacode_decode(const pentacode_path* path, const uint8_t* src,
                        size_t groups, uint8_t* dst) noexcept;

size_t pentacode_encode_scalar(const uint8_t*, size_t, uint8_t*) noexcept;
size_t pentacode_decode_scalar(const uint8_t*, size_t, uint8_t*) noexcept;
// The vector kernels exist on x86-64 only (g++ or clang); elsewhere, or when
// built with -DPENTACODE_PORTABLE_ONLY, the portable kernels are all there is.
#if defined(__x86_64__) && defined(__GNUC__) && \
    !defined(PENTACODE_PORTABLE_ONLY)
#define PENTACODE_X86 1
size_t pentacode_encode_avx2(const uint8_t*, size_t, uint8_t*) noexcept;
size_t pentacode_decode_avx2(const uint8_t*, size_t, uint8_t*) noexcept;
size_t pentacode_encode_avx512(const uint8_t*, size_t, uint8_t*) noexcept;
size_t pentacode_decode_avx512(const uint8_t*, size_t, uint8_t*) noexcept;
#endif
