// Patch engine: decodes binary deltas into fragment lists, folds chains of
// them, sizes and applies the result. Plain code over caller memory; no
// Python.h.
#pragma once

#include <cstdint>

#include "qv/codes.h"
#include "qv/export.h"

// One replacement: source bytes start..end become the len bytes at data.
// data is borrowed from the delta buffer the fragment was decoded from.
struct delta_fragment {
    int32_t start;
    int32_t end;
    int32_t len;
    const char* data;
};

// An owned array with a live window head..tail. Header and base are two
// heap blocks, both released by deltafold_lfree.
struct fragment_list {
    delta_fragment* base;
    delta_fragment* head;
    delta_fragment* tail;
};

// Decodes one binary delta of len bytes. On 0 *out owns a new list whose
// fragments borrow from bin (which must outlive it); on a negative code
// *out is untouched and nothing stays allocated.
QV_API int deltafold_decode(const char* bin, int64_t len,
                            fragment_list** out) noexcept;

// Length of the text that applying l to a source of srclen bytes yields,
// or -1 when the list is out of order, reaches past the source, holds a
// fragment with start > end or len < 0 (a fold of out-of-order deltas can
// make one; a fold that would leave 32-bit positions yields one on purpose),
// or sizes a text beyond 64 bits.
QV_API int64_t deltafold_calcsize(int64_t srclen,
                                  const fragment_list* l) noexcept;

// Writes the patched text to out, which must hold deltafold_calcsize(srclen,
// l) bytes. Returns 0, or -1 for a list that the size operation refuses;
// every test comes before the copies it guards, so whatever the list, no
// byte outside the source is read.
QV_API int deltafold_apply(char* out, const char* src, int64_t srclen,
                           const fragment_list* l) noexcept;

// Releases a list (base, then header); null does nothing.
QV_API void deltafold_lfree(fragment_list* l) noexcept;

// Returns a new list for position pos of items, owned by the caller, or
// null (the callback reports its own error).
typedef fragment_list* (*deltafold_fetch_fn)(void* items, int64_t pos);

// Folds the lists of positions lo..hi-1 (lo < hi) into one list that
// applies to the first one's source. fetch is called once per position, in
// ascending order, even after a failure. Every fetched list is consumed.
// Returns null when a fetch or an allocation failed. A chain whose texts
// pass 2^31 - 1 bytes folds into a list the size operation refuses.
QV_API fragment_list* deltafold_fold(void* items, deltafold_fetch_fn fetch,
                                     int64_t lo, int64_t hi) noexcept;

// The size-only reading behind the module's `patchedsize` (not exported):
// walks the headers of a delta of len bytes without decoding it or
// allocating, fields unsigned, and tests only the framing and start <= end.
// On DELTAFOLD_OK *out holds the length of the text that applying the delta
// to srclen bytes yields (which may be negative for a delta that does not
// fit); otherwise DELTAFOLD_EDECODE, or DELTAFOLD_ERANGE when that length is
// beyond 64 bits.
int deltafold_sizeonly(int64_t srclen, const char* bin, int64_t len,
                       int64_t* out) noexcept;
