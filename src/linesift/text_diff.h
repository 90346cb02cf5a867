// The line diff engine's entry for the module layer: one diff of two texts
// (delta or blocks) and whitespace normalisation. Hidden: not part of the
// module's symbols; the exported functions are in linesift.h.
#pragma once

#include <cstdint>

#include "linesift/linesift.h"

namespace linesift_detail {

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
