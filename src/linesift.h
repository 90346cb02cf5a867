// Line diff engine: splits texts into hashed line records and finds the
// matching blocks between two of them. Plain code over caller memory; no
// Python.h. Line numbers count from 0 and ranges are half-open.
#pragma once

#include <cstdint>

#include "qv_export.h"

// One line of a text. `begin` points into the caller's text, which must
// stay alive and unchanged while the array is used.
struct line_record {
    uint32_t hash;        // rotate-and-add hash of the line, line feed included
    int32_t chain;        // matching engine's working field
    int32_t eqclass;      // matching engine's working field
    int64_t length;       // bytes of the line, line feed included
    const char* begin;    // first byte of the line
};

// One matching block: source lines a1..a2 equal target lines b1..b2.
struct hunk {
    int32_t a1, a2, b1, b2;
    hunk* next;
};

// Result codes. Non-negative results are counts (lines, blocks).
enum : int32_t {
    // Memory could not be had.
    LINESIFT_ENOMEM = -1,
    // A line count the engine cannot represent: a text of 2^31 - 1 lines or
    // more (splitting, or either count given to linesift_diff), or a target
    // of LINESIFT_MAX_TARGET_LINES lines or more (the class table size would
    // no longer fit 32 bits). Refused before any record is read.
    LINESIFT_ETOOBIG = -2,
    // A null pointer, a negative size or count, or a head whose next is set.
    LINESIFT_EINVAL = -3,
};

// Limits behind LINESIFT_ETOOBIG.
#define LINESIFT_MAX_LINES 2147483646           // 2^31 - 2 lines per text
#define LINESIFT_MAX_TARGET_LINES 268435455     // 2^28 - 1 target lines

// Splits text (size bytes, no terminator needed) into lines and hashes
// them. *out gets one malloc'd array of (lines + 1) records, the last one
// terminating (begin = text + size); the caller frees it with free().
// Returns the line count, or a negative code with *out == nullptr (unless
// out itself is null).
QV_API int32_t linesift_splitlines(const char* text, int64_t size,
                                   line_record** out) noexcept;

// Finds the matching blocks of a (an lines) and b (bn lines) and links them
// behind head (whose next must be null), ending with (an, an, bn, bn).
// Rewrites chain and eqclass of both arrays. Returns the number of blocks,
// or a negative code; on every path the caller frees head->next with
// linesift_freehunks.
QV_API int32_t linesift_diff(line_record* a, int32_t an, line_record* b,
                             int32_t bn, hunk* head) noexcept;

// Frees first and every block after it; null does nothing.
QV_API void linesift_freehunks(hunk* first) noexcept;
