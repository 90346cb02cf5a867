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

from quorvan.cext import hunkfix

# What diff writes after a last line that has no line feed.
MARKER = b"\\ No newline at end of file\n"

TYPE_CHECKING = False
if TYPE_CHECKING:  # typing costs start-up time; names only
    from collections.abc import Callable

_CR_MARKER = b"\r\n" + MARKER
_HEADER = re.compile(rb"@@ -(\d+)(?:,(\d+))? \+(\d+)(?:,(\d+))? @@")


class PatchError(Exception):
    """A patch that cannot be read or applied; the message is one line."""


class Hunk:
    """One hunk: its header's numbers and its lines, each side apart."""

    __slots__ = ("body", "header", "lines", "new", "new_start", "number",
                 "old", "old_start", "pos")

    def __init__(self, number: int, header: str, pos: int,
                 lines: LineCounter | None, old_start: int, new_start: int,
                 body: list[bytes], old: list[bytes],
                 new: list[bytes]) -> None:
        self.number = number        # from 1, in its file's patch order
        self.header = header        # "@@ -a,b +c,d @@", for messages
        self.pos = pos              # where the header is in the patch
        self.lines = lines          # counts lines to pos, for messages
        self.old_start = old_start  # as stated, from 1 (0: empty file)
        self.new_start = new_start
        self.body = body            # every line with its prefix
        self.old = old              # old side, each with its prefix
        self.new = new              # new side, without prefixes

    @property
    def line(self) -> int:
        """Line number of the header in the patch."""
        return self.lines(self.pos) if self.lines is not None else self.pos

    def stated(self) -> int:
        """Index of the first old line in the file. An empty old side
        follows line old_start, so it goes in after that line."""
        return self.old_start if not self.old else self.old_start - 1

    def reversed(self) -> Hunk:
        """The hunk that undoes this one: "+" lines are its old side,
        "-" lines its new side. testhunk skips any prefix, so "+" lines
        serve as old lines as they are."""
        return Hunk(self.number, self.header, self.pos, self.lines,
                    self.new_start, self.old_start, self.body,
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


def read_hunk(f: io.BytesIO, data: bytes, header: bytes, pos: int,
              lines: LineCounter, number: int) -> Hunk:
    """The hunk whose header line was just read from f, a reader over
    data. f is left after the hunk's last line, and after a no-newline
    marker that follows it."""
    m = _HEADER.match(header)
    if m is None:
        raise PatchError(f"line {lines(pos)}: hunk #{number} has a"
                         " malformed header")
    a, b, c, d = m.group(1, 2, 3, 4)
    nold = 1 if b is None else int(b)
    nnew = 1 if d is None else int(d)
    text = m.group(0).decode("ascii")
    body: list[bytes] = []
    old: list[bytes] = []
    new: list[bytes] = []
    start = f.tell()
    try:
        hunkfix.addlines(f, body, nold, nnew, old, new)
        end = f.tell()
        if data.startswith(MARKER, end):  # after the hunk's last line
            end += len(MARKER)
            f.seek(end)
            hunkfix.fix_newline(body, old, new)
    except hunkfix.hunkfixError as e:
        raise PatchError(f"line {lines(pos)}: hunk #{number} ({text}):"
                         f" {e}") from None
    if not header.endswith(b"\r\n") and \
            data.find(_CR_MARKER, start, end) >= 0:
        _keep_crs(data[start:end], body, old, new)
    if len(old) != nold or len(new) != nnew:
        raise PatchError(f"line {lines(pos)}: hunk #{number} ({text}) holds"
                         f" {len(old)} old and {len(new)} new lines")
    return Hunk(number, text, pos, lines, int(a), int(c), body, old, new)


def read_patch(data: bytes) -> list[Hunk]:
    """The hunks of a patch that changes one file.

    Lines outside hunks (``diff --git``, ``index``, mode lines, a mail's
    text) are passed over, as patch does. A second file's diff, a binary
    patch or a marker out of place are refused.
    """
    from typing import cast

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


def _skip_lines(text: bytes, pos: int, n: int, avg: int) -> int:
    """The offset n lines on from pos, a line start: just after the n-th
    line feed; -1 if the text has fewer. A long run is counted in a window of n * avg bytes (avg:
    a guess at the bytes per line), guessed again while far off, then put
    right line by line."""
    size = len(text)
    while n > 8:
        end = pos + n * avg
        if end >= size:
            break
        k = text.count(b"\n", pos, end)
        if k > n + 8:  # far too far: guess again from what this window held
            avg = max(1, (end - pos) // k)
            continue
        if k >= n:  # a little too far: back over the extra line feeds
            for _ in range(k - n + 1):
                end = text.rfind(b"\n", pos, end)
            return end + 1
        avg = (end - pos) // k + 1 if k else avg * 2  # lines run longer
        pos, n = end, n - k
    for _ in range(n):
        j = text.find(b"\n", pos)
        if j < 0:  # (a hunk never starts after a last line with no "\n")
            return -1
        pos = j + 1
    return pos


def _apply_in_place(text: bytes, hunks: list[Hunk]) -> bytes | None:
    """The text with every hunk applied where it says, or None if one is
    not there. Works on byte offsets, without splitting the text into
    lines; apply falls back to the search when this gives None."""
    view = memoryview(text)  # slices of it are not copies
    out: list[bytes | memoryview] = []
    done = 0  # lines already copied or replaced
    pos = 0   # their end in text
    avg = 64
    for h in hunks:
        stated = h.stated()
        n = stated - done
        if n < 0:
            return None
        at = _skip_lines(text, pos, n, avg)
        if at < 0:
            return None
        if n > 16:
            avg = (at - pos) // n + 1
        old = b"".join([x[1:] for x in h.old])
        end = at + len(old)
        # A last old line without a line feed must end the text.
        if not text.startswith(old, at) or \
                (old[-1:] not in (b"\n", b"") and end != len(text)):
            return None
        out.append(view[pos:at])
        out.extend(h.new)
        done, pos = stated + len(h.old), end
    out.append(view[pos:])
    return b"".join(out)


def apply(text: bytes, hunks: list[Hunk],
          report: Callable[[str], None]) -> bytes:
    """The text with every hunk applied, in order. A hunk placed away from
    its stated line is reported as patch reports it; one that matches
    nowhere raises PatchError and nothing is returned."""
    fast = _apply_in_place(text, hunks)
    if fast is not None:
        return fast
    lines = io.BytesIO(text).readlines()  # a last line may lack its "\n"
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
