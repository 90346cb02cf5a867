// Engine functions that the module layer and the fuzz targets call besides
// the exported ones. Hidden: they are not part of the module's symbols.
#pragma once

#include <cstdint>

#include "linesift/linesift.h"

namespace linesift_detail {

// What linesift_splitlines stores in each record's hash field: the defined
// rotate-and-add hash, or the keyed hash of hash.h, which is all
// the matching needs and is cheaper to compute.
enum class line_hash { defined, keyed };

// linesift_splitlines with a choice of hash; same contract otherwise.
int32_t split_lines(const char* text, int64_t size, line_record** out,
                    line_hash hash) noexcept;

// Both texts of a diff split with the keyed hash into one block (one
// allocation instead of two: a host's allocator then keeps reusing the same
// warm memory from call to call rather than mapping fresh pages). block is
// the allocation, freed with free(); a and b point into it.
struct split_texts {
    line_record* block;
    line_record* a;
    line_record* b;
    int32_t an, bn;
};

// Returns 0, or a negative code with out->block null.
int32_t split_pair(const char* ta, int64_t sa, const char* tb, int64_t sb,
                   split_texts* out) noexcept;

// linesift_diff, where keyed says that the records' hash fields hold keyed
// hashes (split_lines with line_hash::keyed); otherwise every line is hashed
// again. The blocks are the same either way.
int32_t match_records(line_record* a, int32_t an, line_record* b, int32_t bn,
                      hunk* head, bool keyed) noexcept;

}  // namespace linesift_detail

namespace linesift_detail {

// ---- The delta stage ------------------------------------------------------

// Length of the common prefix of whole lines of x and y, whose shorter
// length is m: up to just after the last line feed inside their run of
// equal leading bytes, 0 if that run holds none. Trimming it before the
// split keeps the unchanged head of a file out of hashing and matching.
int64_t common_prefix(const char* x, const char* y, int64_t m) noexcept;

// Size in bytes of the binary delta of a block list (first = the head's
// next): one 12-byte header plus the target lines of every non-empty gap
// between consecutive blocks. b is the target's record array.
int64_t delta_size(const line_record* b, const hunk* first) noexcept;

// Writes that delta into out, which holds exactly delta_size() bytes: one
// fragment per non-empty gap, header fields big-endian (the low 32 bits of
// each value), offsets made relative to the whole texts by adding back the
// trimmed prefix. a and b are the record arrays of the trimmed texts.
void write_delta(const line_record* a, const line_record* b, const hunk* first,
                 int64_t prefix, char* out) noexcept;

}  // namespace linesift_detail
