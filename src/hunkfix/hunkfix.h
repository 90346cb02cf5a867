// Hunk line rules of a unified-diff reader: what a body line of a hunk is,
// where the line break of a hunk's last line is cut, and when an old-side
// line matches a line of the file. Plain code over bytes, no Python.h;
// inline, as the module layer applies them once per line.
//
// Lines are taken at their full length: a zero byte is data like any other
// (a diff of binary-ish text carries them), so it neither ends the marker
// test, nor a copy, nor a comparison.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "qv/codes.h"

namespace hunkfix {

// Says that the line before it has no line break at the end of the file.
inline constexpr char kMarker[] = "\\ No newline at end of file\n";
inline constexpr int64_t kMarkerLen = sizeof(kMarker) - 1;

enum class line_kind {
    marker,    // the no-newline marker, which goes into no list
    blank,     // a bare line feed: a context line whose prefix got lost
    old_only,  // "-"
    new_only,  // "+"
    context,   // any other prefix
};

// What a body line of len >= 1 bytes is.
inline line_kind classify(const char* s, int64_t len) noexcept
{
    if (len == kMarkerLen && std::memcmp(s, kMarker, size_t(len)) == 0)
        return line_kind::marker;
    switch (s[0]) {
    case '\n':
        return line_kind::blank;
    case '-':
        return line_kind::old_only;
    case '+':
        return line_kind::new_only;
    default:
        return line_kind::context;
    }
}

// A hunk's last line without its line break: its first `end` bytes, on the
// sides its prefix names.
struct line_cut {
    int64_t end;
    bool on_old;
    bool on_new;
};

// The last byte goes whatever it is; a carriage return only directly before
// it. HUNKFIX_ESHORT for a line of fewer than 2 bytes: without a prefix and
// a break there is nothing sound to cut.
inline int cut_break(const char* s, int64_t len, line_cut* out) noexcept
{
    if (len < 2)
        return HUNKFIX_ESHORT;
    out->end = s[len - 2] == '\r' ? len - 2 : len - 1;
    // For ' ' and '+', s[0] is no carriage return, so end >= 1.
    out->on_new = s[0] == ' ' || s[0] == '+';
    out->on_old = s[0] == ' ' || s[0] == '-';
    return HUNKFIX_OK;
}

// 1 when old-side line a, after its one-byte prefix, equals target line b,
// else 0; HUNKFIX_ENOPREFIX for an empty a.
inline int same_line(const char* a, int64_t alen, const char* b,
                     int64_t blen) noexcept
{
    if (alen == 0)
        return HUNKFIX_ENOPREFIX;
    return alen - 1 == blen && std::memcmp(a + 1, b, size_t(blen)) == 0;
}

}  // namespace hunkfix
