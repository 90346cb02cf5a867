// Class assignment of the matching engine, and the per-class lookup that the
// longest-match search uses to find where a class's chain enters a target
// range. Internal: not exported.
#pragma once

#include <cstdint>

#include "linesift/lines.h"

namespace linesift_detail {

// One class: its highest target line so far (or, once the class's sorted
// member list is built, -2 - the list's offset in the pool), and its lines'
// keyed hash, whose top two bits say instead whether the class is too
// popular to seed matches and whether it has many lines. An empty entry
// has head -1.
struct class_entry {
    int32_t head;
    uint32_t tag;
};

// Open addressing with linear probing over about 1.5 entries per target
// line, 12 bytes a line, at most two thirds full. The index is the keyed
// hash scaled to the table: a per-process key spreads any set of distinct
// lines evenly, so probe runs stay short whatever the lines' bytes.
//
// The table outlives class assignment: the longest-match search asks it
// where a class's chain enters a target range (last_below).
class class_table {
  public:
    class_table() noexcept = default;
    ~class_table();
    class_table(const class_table&) = delete;
    class_table& operator=(const class_table&) = delete;

    // Enters the target lines and assigns the source lines: writes the
    // classes and chains of v. A class number is the index of its entry; a
    // source line that occurs nowhere in the target gets the empty entry
    // that ended its probe, and chain -1, as does a line of a class with
    // more target lines than the popularity limit; a line of a class of more
    // than kLongClass lines gets -2 - the class's highest line. Returns
    // false when the table cannot be had.
    template <class Lines>
    bool assign(match_view& v, const Lines& a, const Lines& b) noexcept;

    // The highest target line of class cls below `end`, given top, a line of
    // the class at or above `end` (a source line's chain), or -1 if none.
    // The chain visits the same lines from there on, in the same order.
    int32_t last_below(const memo_entry* memo, int32_t cls, int32_t top,
                       int32_t end) noexcept;

    // The target lines of class cls below `end`, ascending, as *list and the
    // count returned; -1 when the list cannot be had.
    int32_t below(const memo_entry* memo, int32_t cls, int32_t end,
                  const int32_t** list) noexcept;

    // Classes of more lines than this are searched through their sorted
    // member lists.
    static constexpr int32_t kLongClass = 32;

  private:
    const int32_t* members(const memo_entry* memo, class_entry& e) noexcept;

    class_entry* entries_ = nullptr;
    uint32_t size_ = 0;
    // Sorted member lists of the classes that needed one, built on first
    // need, each after its length; grown as lists are added. Only classes
    // of more than kShortWalk lines need one, so bn + bn / kShortWalk + 1
    // entries always suffice.
    int32_t* pool_ = nullptr;
    int64_t pool_used_ = 0;
    int64_t pool_size_ = 0;
    int32_t bn_ = 0;
    bool pool_failed_ = false;
};

}  // namespace linesift_detail
