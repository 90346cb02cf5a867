"""Hunks of unified diffs: reading them with the hunkfix helpers, and
applying them to one file's text.

Each hunk body is sorted into its lists by ``hunkfix.addlines``, a
no-newline marker after its last line is handled by ``fix_newline``, and
``testhunk`` places the hunk: at its stated line (moved by the offset of the
hunk before), else at the nearest line where its old side matches exactly.
There is no fuzz: a hunk that matches nowhere fails the whole run.
"""
from __future__ import annotations

import io
import re
from collections.abc import Callable
from dataclasses import dataclass
from typing import cast

from quorvan.cext._unified import MARKER, split_lines

_HEADER = re.compile(rb"@@ -(\d+)(?:,(\d+))? \+(\d+)(?:,(\d+))? @@")


class PatchError(Exception):
    """A patch that cannot be read or applied; the message is one line."""


@dataclass
class Hunk:
    number: int          # from 1, in its file's patch order
    header: str          # "@@ -a,b +c,d @@", for messages
    line: int            # line number of the header in the patch
    old_start: int       # as stated, from 1 (0 for an empty file)
    new_start: int
    body: list[bytes]    # every line with its prefix, as hunkfix reads it
    old: list[bytes]     # old side, each line with its prefix
    new: list[bytes]     # new side, without prefixes

    def stated(self) -> int:
        """Index of the first old line in the file. An empty old side
        follows line old_start, so it goes in after that line."""
        return self.old_start if not self.old else self.old_start - 1

    def reversed(self) -> Hunk:
        """The hunk that undoes this one: "+" lines are its old side,
        "-" lines its new side. testhunk skips any prefix, so "+" lines
        serve as old lines as they are."""
        return Hunk(self.number, self.header, self.line, self.new_start,
                    self.old_start, self.body,
                    [x for x in self.body if x[:1] != b"-"],
                    [x[1:] for x in self.body if x[:1] != b"+"])


class LineCounter:
    """Line numbers of byte offsets in a patch, for messages. Offsets are
    asked for in increasing order, so the whole patch is counted once."""

    def __init__(self, data: bytes) -> None:
        self.data = data
        self._at = 0
        self._line = 1

    def __call__(self, offset: int) -> int:
        if offset < self._at:
            self._at, self._line = 0, 1
        self._line += self.data.count(b"\n", self._at, offset)
        self._at = offset
        return self._line


def _keep_crs(raw: bytes, body: list[bytes], old: list[bytes],
              new: list[bytes]) -> None:
    """Puts back the carriage returns that the no-newline fix took.

    hunkfix drops a CR right before the line feed it removes, which is right
    when the patch's own lines end in CRLF. In a patch whose lines end in a
    bare line feed, that CR is the last byte of the file, so we take the
    line from the patch again, less its line feed only, and rebuild both
    sides from the hunk (old lines are the hunk's own objects).
    """
    lines = io.BytesIO(raw).readlines()
    k = -1  # index in body of the last line that was not a marker
    for i, line in enumerate(lines):
        if line != MARKER:
            k += 1
        elif i and lines[i - 1].endswith(b"\r\n"):
            body[k] = lines[i - 1][:-1]
    old[:] = [x for x in body if x[:1] != b"+"]
    new[:] = [x[1:] for x in body if x[:1] != b"-"]


def read_hunk(f: io.BytesIO, data: bytes, header: bytes, where: int,
              number: int) -> Hunk:
    """The hunk whose header line was just read from f, a reader over
    data. f is left after the hunk's last line, and after a no-newline
    marker that follows it."""
    from quorvan.cext import hunkfix

    m = _HEADER.match(header)
    if m is None:
        raise PatchError(f"line {where}: hunk #{number} has a malformed"
                         " header")
    a, b, c, d = (int(x) if x is not None else 1 for x in m.groups())
    text = m.group(0).decode("ascii")
    body: list[bytes] = []
    old: list[bytes] = []
    new: list[bytes] = []
    start = f.tell()
    try:
        hunkfix.addlines(f, body, b, d, old, new)
        mark = f.tell()
        if f.readline() == MARKER:  # after the hunk's last line
            hunkfix.fix_newline(body, old, new)
        else:
            f.seek(mark)
    except hunkfix.hunkfixError as e:
        raise PatchError(f"line {where}: hunk #{number} ({text}): {e}") \
            from None
    end = f.tell()
    if not header.endswith(b"\r\n") and \
            data.find(b"\r\n" + MARKER, start, end) >= 0:
        _keep_crs(data[start:end], body, old, new)
    if len(old) != b or len(new) != d:
        raise PatchError(f"line {where}: hunk #{number} ({text}) holds"
                         f" {len(old)} old and {len(new)} new lines")
    return Hunk(number, text, where, a, c, body, old, new)


def read_patch(data: bytes) -> list[Hunk]:
    """The hunks of a patch that changes one file.

    Lines outside hunks (``diff --git``, ``index``, mode lines, a mail's
    text) are passed over, as patch does. A second file's diff, a binary
    patch or a marker out of place are refused.
    """
    from quorvan.cext._patchset import read_patchset

    files = read_patchset(data)
    if len(files) > 1:
        raise PatchError(f"line {files[1].line}: a second file's changes;"
                         " apply FILE PATCH takes a patch of one file")
    # A cast, because mypy names this file's module without its namespace
    # package, and so takes the Hunk of _patchset for another class.
    return cast(list[Hunk], files[0].hunks) if files else []


def _find(hunk: Hunk, lines: list[bytes], guess: int,
          lowest: int) -> int | None:
    """The start nearest to guess, not before lowest, where the hunk's old
    side matches; later before earlier at equal distance."""
    from quorvan.cext import hunkfix

    highest = len(lines) - len(hunk.old)
    if highest < lowest:
        return None
    first = hunk.old[0][1:] if hunk.old else None
    guess = min(max(guess, lowest), highest)
    for dist in range(max(guess - lowest, highest - guess) + 1):
        for at in (guess + dist, guess - dist) if dist else (guess,):
            if lowest <= at <= highest and \
                    (first is None or lines[at] == first) and \
                    hunkfix.testhunk(hunk.old, lines, at) == 0:
                return at
    return None


def apply(text: bytes, hunks: list[Hunk],
          report: Callable[[str], None]) -> bytes:
    """The text with every hunk applied, in order. A hunk placed away from
    its stated line is reported as patch reports it; one that matches
    nowhere raises PatchError and nothing is returned."""
    lines = split_lines(text)
    out: list[bytes] = []
    done = 0     # lines of the text already copied or replaced
    offset = 0   # how far the hunk before moved from its stated line
    for h in hunks:
        stated = h.stated()
        at = _find(h, lines, stated + offset, done)
        if at is None:
            raise PatchError(
                f"hunk #{h.number} ({h.header}, patch line {h.line}) fits"
                f" nowhere: its {len(h.old)} old lines match neither at line"
                f" {stated + 1 + offset} nor anywhere after line {done}")
        offset = at - stated
        if offset:
            n = abs(offset)
            report(f"Hunk #{h.number} succeeded at {h.new_start + offset}"
                   f" (offset {offset} line{'s' if n != 1 else ''}).")
        out.extend(lines[done:at])
        out.extend(h.new)
        done = at + len(h.old)
    out.extend(lines[done:])
    return b"".join(out)
