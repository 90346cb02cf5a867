// Result codes of the engines, one scheme for both.
//
// A call returns 0 or a count on success and a negative code on failure.
// Codes are named <ENGINE>_E<CAUSE>, grouped by cause: faults of the input
// first, then a caller's bug, then exhausted memory. Each engine numbers its
// own codes: the values are part of its exported interface and C callers
// test them, so they never change and an engine's value says nothing about
// another's. The module layers map them to exceptions through one function,
// qv::raise_code (cext/pyutil.h):
//
//   cause                    linesift (linesift.h)    deltafold (below)
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

    // Earlier spellings, kept so that existing callers still build.
    DF_OK = DELTAFOLD_OK,
    DF_EINVAL = DELTAFOLD_EPATCH,
    DF_EDECODE = DELTAFOLD_EDECODE,
    DF_ENOMEM = DELTAFOLD_ENOMEM,
};
