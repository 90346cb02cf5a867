// Patch engine: decodes binary deltas into fragment lists, folds chains of
// them, sizes and applies the result. Plain code over caller memory; no
// Python.h.
#pragma once

#include <cstdint>

#include "qv_export.h"

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
