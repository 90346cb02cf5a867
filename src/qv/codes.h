// Result codes of the engines, one scheme for all.
//
// A call returns 0 or a count on success and a negative code on failure.
// Codes are named <ENGINE>_E<CAUSE>, grouped by cause: faults of the input
// first, then a caller's bug, then exhausted memory. Each engine numbers its
// own codes: the values are part of its exported interface and C callers
// test them, so they never change and an engine's value says nothing about
// another's (pentacode's and hunkfix's, below, are internal to their
// modules). The module layers map them to exceptions through one function,
// qv::raise_code (cext/pyutil.h):
//
//   cause                    linesift (below)         deltafold (below)
//   input refused            LINESIFT_ETOOBIG  -2     DELTAFOLD_EPATCH  -1
//                                                     DELTAFOLD_EDECODE -2
//   result out of range      -                        DELTAFOLD_ERANGE  -4
//   caller's bug             LINESIFT_EINVAL   -3     -
//   out of memory            LINESIFT_ENOMEM   -1     DELTAFOLD_ENOMEM  -3
//
// An input refused raises the module's exception (ValueError for linesift),
// a result out of range OverflowError, a caller's bug SystemError, and out
// of memory MemoryError.
#pragma once

#include <cstdint>

enum deltafold_code : int {
    DELTAFOLD_OK = 0,
    // Fragments out of order, or reaching past the source text ("invalid
    // patch"): the delta does not fit the text it is applied to.
    DELTAFOLD_EPATCH = -1,
    // Broken framing, or a fragment with start > end or len < 0 ("patch
    // cannot be decoded"): the delta is malformed whatever the text.
    DELTAFOLD_EDECODE = -2,
    // An allocation failed.
    DELTAFOLD_ENOMEM = -3,
    // A patched size beyond 64 bits (deltafold_sizeonly only; not exported).
    DELTAFOLD_ERANGE = -4,
};

// linesift's codes. Its non-negative results are counts (lines, blocks).
enum linesift_code : int32_t {
    // Memory could not be had.
    LINESIFT_ENOMEM = -1,
    // A line count the engine cannot represent: a text of 2^31 - 1 lines or
    // more (splitting, or either count given to linesift_diff), or a target
    // of more than LINESIFT_MAX_TARGET_LINES lines (where a class table of
    // 4 * B entries would no longer fit 32 bits; ours is half that, but the
    // limit stays as callers know it). Refused before any record is read.
    LINESIFT_ETOOBIG = -2,
    // A null pointer, a negative size or count, or a head whose next is set.
    LINESIFT_EINVAL = -3,
};

// pentacode's codes. Decoding reports a fault of the text with the position
// that its message names: a character outside the alphabet at its own
// position, or one past it when it is the last of its group; a group of
// five digits above 0xFFFFFFFF one past its last character. The module
// layer raises ValueError for both, and MemoryError for a result too large
// to have.
enum pentacode_code : int {
    PENTACODE_OK = 0,
    // "bad pentacode character at position %zd"
    PENTACODE_EBADCHAR = -1,
    // "bad pentacode sequence at position %zd"
    PENTACODE_EBADSEQ = -2,
    // An encoding longer than PTRDIFF_MAX.
    PENTACODE_ETOOBIG = -3,
};

// hunkfix's codes: faults of the hunk being read, each raised as the
// module's hunkfixError with the message given.
enum hunkfix_code : int {
    HUNKFIX_OK = 0,
    // "hunk ends before its line counts are met"
    HUNKFIX_EEOF = -1,
    // "no-newline marker repeated: the line before it has no line break
    // left to drop" (a second cut would lose a byte of data)
    HUNKFIX_EREPEAT = -2,
    // "no hunk line to fix: hunk is empty"
    HUNKFIX_EEMPTY = -3,
    // "last hunk line too short to drop its line break"
    HUNKFIX_ESHORT = -4,
    // "no new-side line to fix: list is empty"
    HUNKFIX_ENONEW = -5,
    // "no old-side line to fix: list is empty"
    HUNKFIX_ENOOLD = -6,
    // "old-side line %zd has no prefix"
    HUNKFIX_ENOPREFIX = -7,
};
