// Class assignment of the matching engine, and the per-class lookup that the
// longest-match search uses to find where a class's chain enters a target
// range. Internal: not exported.
#pragma once

#include "linesift/internal.h"
#include "linesift/linesift.h"

namespace linesift_detail {

// One class: its highest target line so far (or, once the class's sorted
// member list is built, -2 - the list's offset in the pool), its number of
// target lines, and its lines' keyed hash. An empty entry has head -1.
struct class_entry {
    int32_t head;
    int32_t count;
    uint32_t tag;
};

// Open addressing with linear probing over 2 * B entries (B the smallest
// power of two above the target's line count), falling back to B when that
// much memory cannot be had. The index is the top bits of the keyed hash:
// a per-process key spreads any set of distinct lines evenly, so probe runs
// stay short whatever the lines' defined hashes are. 2 * B keeps the load at
// most one half; 4 * B, which we had, bought no measurable speed.
//
// The table outlives class assignment: the longest-match search asks it
// where a class's chain enters a target range (last_below).
class class_table {
  public:
    class_table() noexcept = default;
    ~class_table();
    class_table(const class_table&) = delete;
    class_table& operator=(const class_table&) = delete;

    // Enters the target lines and assigns the source lines: writes eqclass
    // and chain of every line record of both texts. A class number is the
    // index of its entry; a source line that occurs nowhere in the target
    // gets the empty entry that ended its probe. The records' hash fields
    // hold `hashes` (the defined ones are hashed again with the keyed hash).
    // Returns false when the table cannot be had at any size.
    bool assign(line_record* a, int32_t an, line_record* b, int32_t bn,
                line_hash hashes) noexcept;

    // The highest target line of class cls below `end`, given top, a line of
    // the class at or above `end` (a source line's chain), or -1 if none.
    // The chain visits the same lines from there on, in the same order.
    int32_t last_below(const line_record* b, int32_t cls, int32_t top,
                       int32_t end) noexcept;

  private:
    bool allocate(int32_t bn) noexcept;
    const int32_t* members(const line_record* b, class_entry& e) noexcept;

    class_entry* entries_ = nullptr;
    uint32_t mask_ = 0;
    unsigned shift_ = 31;
    // Sorted member lists of the classes that needed one, built on first
    // need; bn entries in all at most, since every target line has one class.
    int32_t* pool_ = nullptr;
    int32_t pool_used_ = 0;
    int32_t bn_ = 0;
    bool pool_failed_ = false;
};

}  // namespace linesift_detail
