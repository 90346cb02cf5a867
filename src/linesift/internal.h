// Engine functions that the module layer and the fuzz targets call besides
// the exported ones. Hidden: they are not part of the module's symbols.
#pragma once

#include <cstddef>
#include <cstdint>

#include "linesift/linesift.h"

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

// ---- The whole diff of two texts -------------------------------------------

// What a diff of two texts is for: the binary delta (the common prefix of
// whole lines is trimmed first and the delta sized), or the matching blocks
// of the whole texts.
enum class diff_output { delta, blocks };

// One diff of two texts, as the module layer and the fuzz target run it:
// prefix trim, split, matching and, for a delta, its size. Owns every
// allocation of the engine's working state and frees it when it goes; the
// texts must stay alive and unchanged while it lives.
//
// Texts below 4 GiB (every delta's) take compact lines: a line start and a
// class per line of each text, a chain per source line and a run-memo entry
// per target line, 36 bytes a line pair besides the class table, where the
// exported records take 64 before any matching memory.
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
    int32_t run_compact(const char* sa, int64_t la, const char* sb,
                        int64_t lb) noexcept;
    int32_t run_records(const char* sa, int64_t la, const char* sb,
                        int64_t lb) noexcept;

    void* block_ = nullptr;  // compact lines of both texts, one block
    uint32_t* ao_ = nullptr;
    uint32_t* bo_ = nullptr;
    const char* tb_ = nullptr;
    line_record* ra_ = nullptr;  // records, for texts of 4 GiB or more
    line_record* rb_ = nullptr;
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
