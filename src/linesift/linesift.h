// Line diff engine: splits texts into hashed line records and finds the
// matching blocks between two of them. Plain code over caller memory; no
// Python.h. Line numbers count from 0 and ranges are half-open.
//
// The hash field of a record holds a rotate-and-add hash of the line, for
// callers; the matching never places or compares lines by it, since
// distinct lines that share it are easy to build. Equal lines are found
// through a hash keyed once per process and confirmed by their bytes, so the
// blocks depend only on which lines are equal. Class numbers (eqclass) are
// internal and may differ from one process to the next.
#pragma once

#include <cstdint>

#include "qv/codes.h"
#include "qv/export.h"

// One line of a text. `begin` points into the caller's text, which must
// stay alive and unchanged while the array is used.
struct line_record {
    uint32_t hash;      // over the line, line feed included: h = rotl32(h,
                        // 7) + each byte as a signed 8-bit value
    int32_t chain;      // matching engine's working field
    int32_t eqclass;    // matching engine's working field
    int64_t length;     // bytes of the line, line feed included
    const char* begin;  // first byte of the line
};

// One matching block: source lines a1..a2 equal target lines b1..b2.
struct hunk {
    int32_t a1, a2, b1, b2;
    hunk* next;
};

// Result codes: LINESIFT_ENOMEM, LINESIFT_ETOOBIG and LINESIFT_EINVAL, in
// qv/codes.h. Non-negative results are counts (lines, blocks).

// Limits behind LINESIFT_ETOOBIG.
#define LINESIFT_MAX_LINES 2147483646        // 2^31 - 2 lines per text
#define LINESIFT_MAX_TARGET_LINES 268435455  // 2^28 - 1 target lines

// Splits text (size bytes, no terminator needed) into lines and hashes
// them. *out gets one malloc'd array of (lines + 1) records, the last one
// terminating (begin = text + size); the caller frees it with free().
// Returns the line count, which is always the number of line records
// written (should the text change during the call, against the contract,
// the records still cover it as read), or a negative code with
// *out == nullptr (unless out itself is null).
QV_API int32_t linesift_splitlines(const char* text, int64_t size,
                                   line_record** out) noexcept;

// Finds the matching blocks of a (an lines) and b (bn lines) and links them
// behind head (whose next must be null), ending with (an, an, bn, bn).
// Rewrites chain and eqclass of both arrays; reads no hash field (every
// line is hashed again with the keyed hash). Returns the number of blocks,
// or a negative code; on every path the caller frees head->next with
// linesift_freehunks.
QV_API int32_t linesift_diff(line_record* a, int32_t an, line_record* b,
                             int32_t bn, hunk* head) noexcept;

// Frees first and every block after it; null does nothing.
QV_API void linesift_freehunks(hunk* first) noexcept;
