"""Unified diffs written from linesift's matching blocks.

The output is what GNU ``diff -u`` writes for the same change (the hunks may
differ where several minimal diffs exist): ``---``/``+++`` headers naming the
files with their modification times, ``@@ -a,b +c,d @@`` hunks, and the
"\\ No newline at end of file" marker after a last line without a line feed.
Lines are copied byte for byte, carriage returns and zero bytes included, so
GNU patch and ``git apply`` rebuild the new file exactly.
"""
from __future__ import annotations

import io
import os
import time
from typing import Iterator, List, Sequence, Tuple

MARKER = b"\\ No newline at end of file\n"

# One change: old lines a1..a2 became new lines b1..b2 (half-open, from 0).
Change = Tuple[int, int, int, int]


def split_lines(text: bytes) -> List[bytes]:
    """Lines as linesift counts them: each ends after its line feed, and a
    last line without one is a line too. Carriage returns are data."""
    return io.BytesIO(text).readlines()


def changes(blocks: Sequence[Tuple[int, int, int, int]]) -> Iterator[Change]:
    """The gaps between matching blocks, in order."""
    pa = pb = 0
    for a1, a2, b1, b2 in blocks:
        if a1 > pa or b1 > pb:
            yield pa, a1, pb, b1
        pa, pb = a2, b2


def _range(start: int, count: int) -> str:
    # As diff writes them: an empty range names the line before it, and a
    # count of one is left out.
    if count == 0:
        return f"{start},0"
    if count == 1:
        return f"{start + 1}"
    return f"{start + 1},{count}"


def _emit(out: List[bytes], prefix: bytes, lines: Sequence[bytes]) -> None:
    for line in lines:
        out.append(prefix + line)
        if not line.endswith(b"\n"):
            out.append(b"\n" + MARKER)


def hunks(old: Sequence[bytes], new: Sequence[bytes],
          found: Sequence[Tuple[int, int, int, int]],
          context: int) -> List[bytes]:
    """Hunk lines for the change from old to new lines, given their
    matching blocks. Changes closer than twice the context share a hunk,
    as in diff, so no context line is written twice."""
    out: List[bytes] = []
    group: List[Change] = []

    def flush() -> None:
        a1, _, b1, _ = group[0]
        _, a2, _, b2 = group[-1]
        # The lines around a change are matched ones, as many on each side.
        before = min(context, a1)
        after = min(context, len(old) - a2)
        os_, oe = a1 - before, a2 + after
        ns, ne = b1 - before, b2 + after
        out.append(b"@@ -%s +%s @@\n" % (_range(os_, oe - os_).encode(),
                                         _range(ns, ne - ns).encode()))
        pos = os_
        for c1, c2, d1, d2 in group:
            _emit(out, b" ", old[pos:c1])
            _emit(out, b"-", old[c1:c2])
            _emit(out, b"+", new[d1:d2])
            pos = c2
        _emit(out, b" ", old[pos:oe])
        group.clear()

    for ch in changes(found):
        if group and ch[0] - group[-1][1] > 2 * context:
            flush()
        group.append(ch)
    if group:
        flush()
    return out


_ESCAPES = {7: b"\\a", 8: b"\\b", 9: b"\\t", 10: b"\\n", 11: b"\\v",
            12: b"\\f", 13: b"\\r", 34: b'\\"', 92: b"\\\\"}


def quote_name(name: bytes) -> bytes:
    """The name as diff writes it in a header: as it is, or in double
    quotes with C escapes when it holds a space, a control character, a
    quote or a backslash, which the header's own syntax would swallow.
    GNU patch and git apply both read the quoted form."""
    if all(c > 32 and c != 127 and c not in _ESCAPES for c in name):
        return name
    return b'"' + b"".join(
        _ESCAPES.get(c) or (b"\\%03o" % c if c < 32 or c == 127
                            else bytes([c]))
        for c in name) + b'"'


def file_label(name: str, mtime_ns: int | None) -> bytes:
    """A header's file part: the name as given, a tab and the time as diff
    writes it (local time to the nanosecond, with the zone offset)."""
    if mtime_ns is None:
        mtime_ns = time.time_ns()
    secs, nanos = divmod(mtime_ns, 10**9)
    stamp = time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(secs))
    zone = time.strftime("%z", time.localtime(secs))
    return quote_name(os.fsencode(name)) + \
        f"\t{stamp}.{nanos:09d} {zone}".encode()


def unified(old: bytes, new: bytes,
            found: Sequence[Tuple[int, int, int, int]],
            old_label: bytes, new_label: bytes, context: int = 3) -> bytes:
    """The whole unified diff; empty when the texts are equal."""
    body = hunks(split_lines(old), split_lines(new), found, context)
    if not body:
        return b""
    return b"".join([b"--- " + old_label + b"\n",
                     b"+++ " + new_label + b"\n"] + body)
