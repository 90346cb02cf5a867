"""Unified diffs written from byte-offset changes.

The output is what GNU ``diff -u`` writes for the same change (the hunks may
differ where several minimal diffs exist): ``---``/``+++`` headers naming the
files with their modification times, ``@@ -a,b +c,d @@`` hunks, with ``-p``
the enclosing function's line after them, and the "\\ No newline at end of
file" marker after a last line without a line feed. Lines are copied byte
for byte, carriage returns and zero bytes included, so GNU patch and ``git
apply`` rebuild the new file exactly.

Hunks are cut from the texts with ``find``/``rfind`` and ``count`` around
each change, so a large file with few changes costs little more than
reading it: no text is split into lines.
"""
from __future__ import annotations

import io
import os
import re
import time

from quorvan.cext._linediff import changes_from_blocks

TYPE_CHECKING = False
if TYPE_CHECKING:  # typing costs start-up time; names only
    from typing import List, Optional, Sequence, Tuple

    from quorvan.cext._linediff import _Change as Change

MARKER = b"\\ No newline at end of file\n"

# A line that starts a function for -p: GNU diff -p's "^[[:alpha:]$_]" in
# the C locale. Lines start at 0 or after a line feed.
_FUNCTION = re.compile(rb"^[A-Za-z$_][^\n]*", re.M)
_FUNCTION_WIDTH = 40
_SPACE = b" \t\n\v\f\r"


def split_lines(text: bytes) -> List[bytes]:
    """Lines as linesift counts them: each ends after its line feed, and a
    last line without one is a line too. Carriage returns are data."""
    return io.BytesIO(text).readlines()


def _range(start: int, count: int) -> bytes:
    # As diff writes them: an empty range names the line before it, and a
    # count of one is left out.
    if count == 0:
        return b"%d,0" % start
    if count == 1:
        return b"%d" % (start + 1)
    return b"%d,%d" % (start + 1, count)


def _lines(text: bytes, start: int, end: int) -> int:
    """Lines in text[start:end], a run of whole lines."""
    n = text.count(b"\n", start, end)
    return n + 1 if end > start and text[end - 1] != 10 else n


def _prefixed(out: List[bytes], prefix: bytes, text: bytes, start: int,
              end: int) -> None:
    """text[start:end], whole lines, each line led by prefix."""
    if start == end:
        return
    part = text[start:end]
    if part[-1] == 10:
        out.append(prefix + part[:-1].replace(b"\n", b"\n" + prefix) + b"\n")
    else:
        out.append(prefix + part.replace(b"\n", b"\n" + prefix) + b"\n"
                   + MARKER)


def _back(text: bytes, pos: int, lines: int) -> int:
    """Start of the line lines lines before the one starting at pos."""
    for _ in range(lines):
        if pos == 0:
            break
        pos = text.rfind(b"\n", 0, pos - 1) + 1
    return pos


def _forward(text: bytes, pos: int, lines: int) -> int:
    """End of the lines lines starting at pos (at most the text's end)."""
    end = len(text)
    for _ in range(lines):
        if pos >= end:
            break
        k = text.find(b"\n", pos)
        pos = end if k < 0 else k + 1
    return pos


class _Functions:
    """The last function line before a hunk, as diff -p finds it: searched
    from where the previous search stopped, so the old text is scanned
    once, and the last line found stays in use until a later one."""

    def __init__(self, text: bytes) -> None:
        self.text = text
        self.searched = 0
        self.found: Optional[bytes] = None

    def before(self, pos: int) -> Optional[bytes]:
        last = None
        for last in _FUNCTION.finditer(self.text, self.searched, pos):
            pass
        if last is not None:
            # Up to 40 bytes of it, then trailing white space dropped.
            self.found = last.group()[:_FUNCTION_WIDTH].rstrip(_SPACE)
        self.searched = max(self.searched, pos)
        return self.found


def hunks(old: bytes, new: bytes, changes: Sequence[Change],
          context: int, functions: bool = False) -> List[bytes]:
    """Hunk text for the changes from old to new. Changes closer than twice
    the context share a hunk, as in diff, so no context line is written
    twice."""
    out: List[bytes] = []
    funcs = _Functions(old) if functions else None
    # Line numbers of hunk starts, counted on from the last one.
    counted_pos = counted_line = 0

    def line_at(pos: int) -> int:
        nonlocal counted_pos, counted_line
        counted_line += old.count(b"\n", counted_pos, pos)
        counted_pos = pos
        return counted_line

    shift = 0  # new line number minus old line number, between changes
    i, n = 0, len(changes)
    while i < n:
        j = i  # changes i..j share this hunk
        while j + 1 < n and _forward(old, changes[j][1], 2 * context) >= \
                changes[j + 1][0]:
            j += 1  # at most twice the context between them
        a1, _, b1, _ = changes[i]
        _, a2, _, b2 = changes[j]
        os_ = _back(old, a1, context)
        oe = _forward(old, a2, context)
        ns, ne = b1 - (a1 - os_), b2 + (oe - a2)
        line = line_at(os_)
        head = b"@@ -" + _range(line, _lines(old, os_, oe)) + b" +" + \
            _range(line + shift, _lines(new, ns, ne)) + b" @@"
        if funcs is not None:
            name = funcs.before(os_)
            if name is not None:
                head += b" " + name
        out.append(head + b"\n")
        pos = os_
        for k in range(i, j + 1):
            c1, c2, d1, d2 = changes[k]
            _prefixed(out, b" ", old, pos, c1)
            _prefixed(out, b"-", old, c1, c2)
            _prefixed(out, b"+", new, d1, d2)
            shift += _lines(new, d1, d2) - _lines(old, c1, c2)
            pos = c2
        _prefixed(out, b" ", old, pos, oe)
        i = j + 1
    return out


_ESCAPES = {7: b"\\a", 8: b"\\b", 9: b"\\t", 10: b"\\n", 11: b"\\v",
            12: b"\\f", 13: b"\\r", 34: b'\\"', 92: b"\\\\"}


def _needs_quotes(c: int) -> bool:
    return c <= 32 or c >= 128 or c == 34 or c == 92


def quote_name(name: bytes) -> bytes:
    """The name as diff writes it in a header: as it is, or in double
    quotes with C escapes when it holds a space, a control character, a
    quote, a backslash or a byte past ASCII (as octal, as GNU diff and git
    write them; DEL stays as it is, as in GNU diff). GNU patch and git
    apply both read the quoted form."""
    if not any(map(_needs_quotes, name)):
        return name
    return b'"' + b"".join(
        _ESCAPES.get(c) or (b"\\%03o" % c if c < 32 or c >= 128
                            else bytes([c]))
        for c in name) + b'"'


def file_label(name: str, mtime_ns: int | None) -> bytes:
    """A header's file part: the name as given, a tab and the time as diff
    writes it (local time to the nanosecond, with the zone offset)."""
    return quote_name(os.fsencode(name)) + b"\t" + timestamp(mtime_ns)


def timestamp(mtime_ns: int | None) -> bytes:
    if mtime_ns is None:
        mtime_ns = time.time_ns()
    secs, nanos = divmod(mtime_ns, 10**9)
    local = time.localtime(secs)
    return (time.strftime("%Y-%m-%d %H:%M:%S", local)
            + f".{nanos:09d} " + time.strftime("%z", local)).encode()


# The time GNU diff -N gives a file that does not exist.
EPOCH = b"1970-01-01 00:00:00.000000000 +0000"


def unified_changes(old: bytes, new: bytes, changes: Sequence[Change],
                    old_label: bytes, new_label: bytes, context: int = 3,
                    functions: bool = False) -> bytes:
    """The whole unified diff of one file; empty without changes."""
    body = hunks(old, new, changes, context, functions)
    if not body:
        return b""
    return b"".join([b"--- " + old_label + b"\n",
                     b"+++ " + new_label + b"\n"] + body)


def unified(old: bytes, new: bytes,
            found: Sequence[Tuple[int, int, int, int]],
            old_label: bytes, new_label: bytes, context: int = 3) -> bytes:
    """The whole unified diff from matching line blocks, as
    ``linesift.blocks`` gives them; empty when the texts are equal."""
    changes = changes_from_blocks(split_lines(old), split_lines(new),
                                  list(found))
    return unified_changes(old, new, changes, old_label, new_label, context)
