// Engine functions that the module layer and the fuzz targets call besides
// the exported ones. Hidden: they are not part of the module's symbols.
#pragma once

#include <cstdint>

#include "linesift/linesift.h"

namespace linesift_detail {

// What the records' hash fields hold: the defined rotate-and-add hash that
// linesift_splitlines stores (anyone can make it collide, so the matching
// hashes every line again), or the keyed hash of hash.h, which is all the
// matching needs and is cheaper to compute.
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

// linesift_diff over records whose hash fields hold `hashes`. The blocks are
// the same either way.
int32_t match_records(line_record* a, int32_t an, line_record* b, int32_t bn,
                      hunk* head, line_hash hashes) noexcept;

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

// ---- The whole diff of two texts -------------------------------------------

// What a diff of two texts is for: the binary delta (the common prefix of
// whole lines is trimmed first and the delta sized), or the matching blocks
// of the whole texts.
enum class diff_output { delta, blocks };

// One diff of two texts, as the module layer and the fuzz target run it:
// prefix trim, split, matching and, for a delta, its size. Owns every
// allocation of the engine's working state and frees it when it goes; the
// texts must stay alive and unchanged while it lives.
class text_diff {
  public:
    text_diff() noexcept = default;
    ~text_diff();
    text_diff(const text_diff&) = delete;
    text_diff& operator=(const text_diff&) = delete;

    // Runs the diff of sa (la bytes) and sb (lb bytes), which it reads
    // only. Call once. Returns 0, or a negative code (LINESIFT_ETOOBIG for
    // line counts the engine cannot hold, and for a delta of texts of 2^32
    // bytes or more).
    int32_t run(const char* sa, int64_t la, const char* sb, int64_t lb,
                diff_output what) noexcept;

    // The matching blocks, the terminating one last, and how many there are.
    const hunk* blocks() const noexcept { return head_.next; }
    int32_t block_count() const noexcept { return count_; }

    // After a successful run for a delta: its exact size in bytes, and
    // writing it into out, which holds that many bytes.
    int64_t delta_bytes() const noexcept { return delta_bytes_; }
    void write_delta(char* out) const noexcept;

  private:
    line_record* records_ = nullptr;  // both texts' records, one block
    line_record* a_ = nullptr;
    line_record* b_ = nullptr;
    hunk head_ = {0, 0, 0, 0, nullptr};
    int32_t count_ = 0;
    int64_t prefix_ = 0;
    int64_t delta_bytes_ = 0;
};

// ---- Whitespace normalisation ----------------------------------------------

// Writes in[0..n) into out (room for n bytes) with its whitespace
// normalised; returns the bytes written, at most n. With all_ws every space,
// tab and carriage return goes; otherwise each run of them becomes one
// space, and a run right before a line feed goes.
int64_t fix_whitespace(const char* in, int64_t n, bool all_ws,
                       char* out) noexcept;

}  // namespace linesift_detail
