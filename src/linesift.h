// Line diff engine: splits texts into hashed line records and finds the
// matching blocks between two of them. Plain code over caller memory; no
// Python.h. Line numbers count from 0 and ranges are half-open.
#pragma once

#include <cstdint>

#include "qv_export.h"

// One line of a text. `begin` points into the caller's text, which must
// stay alive and unchanged while the array is used.
struct line_record {
    uint32_t hash;        // rotate-and-add hash of the line, line feed included
    int32_t chain;        // matching engine's working field
    int32_t eqclass;      // matching engine's working field
    int64_t length;       // bytes of the line, line feed included
    const char* begin;    // first byte of the line
};

// One matching block: source lines a1..a2 equal target lines b1..b2.
struct hunk {
    int32_t a1, a2, b1, b2;
    hunk* next;
};
