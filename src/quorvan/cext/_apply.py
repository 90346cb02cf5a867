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
from operator import itemgetter

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

    __slots__ = ("body", "lines", "new", "new_start", "number", "old",
                 "old_start", "pos", "raw")

    def __init__(self, number: int, raw: bytes, pos: int,
                 lines: LineCounter | None, old_start: int, new_start: int,
                 body: list[bytes], old: list[bytes],
                 new: list[bytes]) -> None:
        self.number = number        # from 1, in its file's patch order
        self.raw = raw              # the header line as the patch has it
        self.pos = pos              # where the header is in the patch
        self.lines = lines          # counts lines to pos, for messages
        self.old_start = old_start  # as stated, from 1 (0: empty file)
        self.new_start = new_start
        self.body = body            # every line with its prefix
        self.old = old              # old side, each with its prefix
        self.new = new              # new side, without prefixes

    @property
    def header(self) -> str:
        """"@@ -a,b +c,d @@" as the patch writes it, for messages."""
        m = _HEADER.match(self.raw)
        return m.group(0).decode("ascii") if m is not None else "@@"

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
        return Hunk(self.number, self.raw, self.pos, self.lines,
                    self.new_start, self.old_start, self.body,
                    [x for x in self.body if x[:1] != b"-"],
                    [x[1:] for x in self.body if x[:1] != b"+"])


class LineCounter:
    """Line numbers of byte offsets in a patch, for messages. Offsets are
    mostly asked for in increasing order, so the patch is counted about
    once."""

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


def read_hunks(f: io.BytesIO, data: bytes, header: bytes, pos: int,
               lines: LineCounter, hunks: list[Hunk]) -> tuple[bytes, int]:
    """Reads the hunk whose header line (at pos) was just read from f, a
    reader over data, with the no-newline marker that may follow it, and
    every hunk right after it; appends them to hunks. Returns the line
    that follows them, and where it starts."""
    readline = f.readline
    tell = f.tell
    match = _HEADER.match
    addlines = hunkfix.addlines
    while True:
        number = len(hunks) + 1
        m = match(header)
        if m is None:
            raise PatchError(f"line {lines(pos)}: hunk #{number} has a"
                             " malformed header")
        a, b, c, d = m.groups()
        nold = 1 if b is None else int(b)
        nnew = 1 if d is None else int(d)
        body: list[bytes] = []
        old: list[bytes] = []
        new: list[bytes] = []
        start = pos + len(header)
        try:
            addlines(f, body, nold, nnew, old, new)
            end = tell()
            line = readline()
            if line == MARKER:  # after the hunk's last line
                end += len(MARKER)
                hunkfix.fix_newline(body, old, new)
                line = readline()
        except hunkfix.hunkfixError as e:
            raise PatchError(f"line {lines(pos)}: hunk #{number}"
                             f" ({m.group(0).decode('ascii')}): {e}") \
                from None
        if data.find(_CR_MARKER, start, end) >= 0 and \
                not header.endswith(b"\r\n"):
            _keep_crs(data[start:end], body, old, new)
        if len(old) != nold or len(new) != nnew:
            raise PatchError(f"line {lines(pos)}: hunk #{number}"
                             f" ({m.group(0).decode('ascii')}) holds"
                             f" {len(old)} old and {len(new)} new lines")
        hunks.append(Hunk(number, header, pos, lines, int(a), int(c), body,
                          old, new))
        if not line.startswith(b"@@ "):
            return line, end
        header, pos = line, end


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
    return files[0].hunks if files else []


def _ends_text(hunk: Hunk) -> bool:
    """Whether the hunk must end the text: a last line without a line
    feed, on either side, is the text's last line."""
    return bool(hunk.old and hunk.old[-1][-1:] != b"\n" or
                hunk.new and hunk.new[-1][-1:] != b"\n")


def _find(hunk: Hunk, lines: list[bytes], guess: int,
          lowest: int) -> int | None:
    """The start nearest to guess, not before lowest, where the hunk's old
    side matches; later before earlier at equal distance."""

    highest = len(lines) - len(hunk.old)
    if highest < lowest:
        return None
    if _ends_text(hunk):
        lowest = highest
    if highest and hunk.new and lines[highest - 1][-1:] != b"\n":
        highest -= 1  # nothing may follow a last line without a line feed
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


def _skip_lines(text: bytes, pos: int, n: int, avg: float) -> int:
    """The offset n lines on from pos, a line start: just after the n-th
    line feed; -1 if the text has fewer. The line feeds of a window of
    n * avg bytes (avg: bytes per line so far) are counted in one call; a
    window that falls short is followed by the next one, one that holds far
    too many is cut back, and the last few lines are stepped over one by
    one."""
    size = len(text)
    count = text.count
    while n > 8:
        end = min(pos + int(n * avg), size)
        k = count(b"\n", pos, end)
        while k > n + 8:  # far too far: cut the window where this count
            # says, counting only the part cut off. (As k <= end - pos,
            # the cut falls at least n bytes on from pos, and before end.)
            cut = pos + (end - pos) * n // k
            k -= count(b"\n", cut, end)
            end = cut
        if k < n:  # short: go on from the window's end
            if end == size:
                return -1
            avg = (end - pos) / k if k else avg * 2 + 1
            pos, n = end, n - k
        else:  # a little too far: back over the extra line feeds
            rfind = text.rfind
            for _ in range(k - n + 1):
                end = rfind(b"\n", pos, end)
            return end + 1
    find = text.find
    for _ in range(n):
        j = find(b"\n", pos)
        if j < 0:  # (a hunk never starts after a last line with no "\n")
            return -1
        pos = j + 1
    return pos


_rest = itemgetter(slice(1, None))  # a line less its prefix


def _apply_in_place(text: bytes, hunks: list[Hunk]) -> bytes | None:
    """The text with every hunk applied where it says, or None if one is
    not there. Works on byte offsets, without splitting the text into
    lines; apply falls back to the search when this gives None."""
    view = memoryview(text)  # slices of it are not copies
    out: list[bytes | memoryview] = []
    append, extend, startswith = out.append, out.extend, text.startswith
    size = len(text)
    done = 0  # lines already copied or replaced
    pos = 0   # their end in text
    avg = 0.0  # bytes per line so far, once known
    for h in hunks:
        olds = h.old
        stated = h.old_start - 1 if olds else h.old_start
        n = stated - done
        old = b"".join(map(_rest, olds))
        if n:
            if n < 0:
                return None
            if not avg:  # a first guess, from the hunk's own lines
                avg = len(old) / len(olds) if olds else 64.0
            at = _skip_lines(text, pos, n, avg)
            if at < 0:
                return None
        else:
            at = pos
        end = at + len(old)
        # A last line without a line feed, old or new, must end the text,
        # and nothing may be put after a text's last line that lacks one.
        if not startswith(old, at) or \
                (end != size and _ends_text(h)) or \
                (at == size and h.new and size and text[-1:] != b"\n"):
            return None
        append(view[pos:at])
        extend(h.new)
        done, pos = stated + len(olds), end
        if done > 16:
            avg = pos / done
    append(view[pos:])
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
