// Functions shared by the engine's stages, and by the fuzz target that
// checks them. Hidden: they are not part of the module's symbols.
#pragma once

#include <cstddef>
#include <cstdint>

#include "linesift/linesift.h"
#include "linesift/text_diff.h"

namespace linesift_detail {

// ---- Compact lines
// ----------------------------------------------------------

// Number of lines of text (size bytes), or -1 when it would not fit a
// signed 32-bit line number (LINESIFT_MAX_LINES).
int64_t count_lines(const char* text, int64_t size) noexcept;

// The lines of a text below 4 GiB, whose count_lines is `lines`, as line
// starts: offsets[k] is where line k begins and offsets[n] = size, for the
// n lines returned (n + 1 entries written; room for lines + 1). keys[k *
// stride] gets the keyed hash of line k. Should the text hold fewer line
// feeds than counted (changed during the call, against the contract), the
// last line runs to the end and n is the number of lines written.
int32_t fill_lines(const char* text, int64_t size, int64_t lines,
                   uint32_t* offsets, int32_t* keys, size_t stride) noexcept;

// ---- The delta stage ------------------------------------------------------

// Length of the common prefix of whole lines of x and y, whose shorter
// length is m: up to just after the last line feed inside their run of
// equal leading bytes, 0 if that run holds none. Trimming it before the
// split keeps the unchanged head of a file out of hashing and matching.
int64_t common_prefix(const char* x, const char* y, int64_t m) noexcept;

// Size in bytes of the binary delta of a block list (first = the head's
// next): one 12-byte header plus the target lines of every non-empty gap
// between consecutive blocks. bo holds the target's line starts.
int64_t delta_size(const uint32_t* bo, const hunk* first) noexcept;

// Writes that delta into out, which holds exactly delta_size() bytes: one
// fragment per non-empty gap, header fields big-endian (the low 32 bits of
// each value), offsets made relative to the whole texts by adding back the
// trimmed prefix. ao and bo hold the line starts of the trimmed texts, tb
// is the trimmed target.
void write_delta(const uint32_t* ao, const uint32_t* bo, const char* tb,
                 const hunk* first, int64_t prefix, char* out) noexcept;

}  // namespace linesift_detail
