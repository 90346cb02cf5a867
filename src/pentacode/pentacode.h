// Base-85 engine: bytes to text over the RFC 1924 alphabet and back, whole
// inputs, short final groups and exact error positions included. Plain code
// over caller memory; no Python.h.
//
// Every 4 bytes become 5 characters, most significant digit first. A short
// last group of r bytes becomes its first r + 1 characters (all 5, of its
// zero-filled value, when padded). Decoding takes groups of 5 characters;
// a short final group of k characters gives k - 1 bytes.
#pragma once

#include <cstdint>

#include "qv/codes.h"

// One way to run the codec: the kernels one CPU runs (scalar, AVX2,
// AVX-512). Every path gives the same bytes and the same errors.
struct pentacode_path;

// The fastest path this CPU runs, but none wider than `cap` ("scalar",
// "avx2", "avx512"; null or empty means no cap). Null for an unknown cap.
const pentacode_path* pentacode_select(const char* cap) noexcept;

// The path's name: "scalar", "avx2" or "avx512".
const char* pentacode_path_name(const pentacode_path* path) noexcept;

// Length of the encoding of n >= 0 bytes, or PENTACODE_ETOOBIG when it would
// pass PTRDIFF_MAX.
int64_t pentacode_encoded_size(int64_t n, bool pad) noexcept;

// Writes the encoding of the n bytes at src, pentacode_encoded_size(n, pad)
// characters, to dst.
void pentacode_encode(const pentacode_path* path, const uint8_t* src,
                      int64_t n, bool pad, uint8_t* dst) noexcept;

// Length of the decoding of n >= 0 characters.
int64_t pentacode_decoded_size(int64_t n) noexcept;

// Writes the decoding of the n characters at src, pentacode_decoded_size(n)
// bytes, to dst. Returns PENTACODE_OK, or for the first fault of the text
// PENTACODE_EBADCHAR or PENTACODE_EBADSEQ with *at set to the position its
// message reports (qv/codes.h); dst then holds no meaningful bytes.
int pentacode_decode(const pentacode_path* path, const uint8_t* src, int64_t n,
                     uint8_t* dst, int64_t* at) noexcept;
