// What the matching works on, whichever form the lines came in: per source
// line its class and chain, per target line a run-memo entry that also
// carries its class and chain. Internal: not exported.
#pragma once

#include <cstdint>

#include "linesift/linesift.h"

namespace linesift_detail {

// Run memo entry of one target line: the source line it was last examined
// with as a candidate pair and the run of equal pairs ending there; beside
// them the line's class and chain. The search reads all four of the same
// target line together, so they share one cache line.
struct memo_entry {
    int32_t line;
    int32_t run;
    int32_t eqclass;
    int32_t chain;
};

// Before class assignment the eqclass fields (acls for the source) hold the
// lines' keyed hashes; the memo's line and run fields are 0.
struct match_view {
    int32_t an, bn;
    int32_t* acls;     // an entries
    int32_t* achain;   // an entries
    memo_entry* memo;  // bn entries
};

// The bytes of the lines, for the one place that compares them: records
// from linesift_splitlines...
struct record_lines {
    const line_record* r;
    const char* begin(int32_t i) const noexcept { return r[i].begin; }
    int64_t length(int32_t i) const noexcept { return r[i].length; }
};

// ...or a text and its line starts (offsets[i], with offsets[n] = the end):
// 4 bytes a line where a record takes 32, for texts below 4 GiB.
struct offset_lines {
    const char* text;
    const uint32_t* offsets;
    const char* begin(int32_t i) const noexcept { return text + offsets[i]; }
    int64_t length(int32_t i) const noexcept
    {
        return int64_t{offsets[i + 1]} - offsets[i];
    }
};

// Assigns the classes and finds the matching blocks, linked behind head
// (whose next is null) and ending with (an, an, bn, bn). Returns the number
// of blocks or a negative code; the caller frees head->next on every path.
template <class Lines>
int32_t match_lines(match_view& v, const Lines& a, const Lines& b,
                    hunk* head) noexcept;

}  // namespace linesift_detail
