// Engine functions that the module layer and the fuzz targets call besides
// the exported ones. Hidden: they are not part of the module's symbols.
#pragma once

#include <cstdint>

#include "linesift.h"

namespace linesift_detail {

// What linesift_splitlines stores in each record's hash field: the defined
// rotate-and-add hash, or the keyed hash of linesift_hash.h, which is all
// the matching needs and is cheaper to compute.
enum class line_hash { defined, keyed };

// linesift_splitlines with a choice of hash; same contract otherwise.
int32_t split_lines(const char* text, int64_t size, line_record** out,
                    line_hash hash) noexcept;

// linesift_diff, where keyed says that the records' hash fields hold keyed
// hashes (split_lines with line_hash::keyed); otherwise every line is hashed
// again. The blocks are the same either way.
int32_t match_records(line_record* a, int32_t an, line_record* b, int32_t bn,
                      hunk* head, bool keyed) noexcept;

}  // namespace linesift_detail
