"""Applying a unified diff to one file with the hunkfix helpers.

Reads the diffs that our own ``diff -u``, ``git diff`` and GNU ``diff -u``
write. Each hunk body is sorted into its lists by ``hunkfix.addlines``, a
no-newline marker after its last line is handled by ``fix_newline``, and
``testhunk`` places the hunk: at its stated line (moved by the offset of the
hunk before), else at the nearest line where its old side matches exactly.
There is no fuzz: a hunk that matches nowhere fails the whole run.
"""
from __future__ import annotations

import io
import re
from dataclasses import dataclass
from typing import Callable, List, Optional

from quorvan.cext._unified import MARKER, split_lines

_HEADER = re.compile(rb"@@ -(\d+)(?:,(\d+))? \+(\d+)(?:,(\d+))? @@")


class PatchError(Exception):
    """A patch that cannot be read or applied; the message is one line."""


@dataclass
class Hunk:
    number: int          # from 1, in patch order
    header: str          # "@@ -a,b +c,d @@", for messages
    line: int            # line number of the header in the patch
    old_start: int       # as stated, from 1 (0 for an empty file)
    new_start: int
    old: List[bytes]     # old side, each line with its prefix
    new: List[bytes]     # new side, without prefixes

    def stated(self) -> int:
        """Index of the first old line in the file. An empty old side
        follows line old_start, so it goes in after that line."""
        return self.old_start if not self.old else self.old_start - 1


def _line_number(data: bytes, offset: int) -> int:
    return data.count(b"\n", 0, offset) + 1


def _keep_crs(raw: bytes, body: List[bytes], old: List[bytes],
              new: List[bytes]) -> None:
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


def read_patch(data: bytes) -> List[Hunk]:
    """The hunks of a patch that changes one file.

    Lines outside hunks (``diff --git``, ``index``, mode lines, a mail's
    text) are passed over, as patch does. A second ``---``/``+++`` pair, a
    binary patch or a marker out of place are refused.
    """
    from quorvan.cext import hunkfix

    f = io.BytesIO(data)
    hunks: List[Hunk] = []
    files = 0
    while True:
        at = f.tell()
        line = f.readline()
        if not line:
            return hunks
        if line.startswith(b"--- "):
            mark = f.tell()
            if f.readline().startswith(b"+++ "):
                files += 1
                if files > 1:
                    raise PatchError(f"line {_line_number(data, at)}: a"
                                     " second file's changes; apply takes"
                                     " a patch of one file")
                continue
            f.seek(mark)
        if line.startswith(b"GIT binary patch") or \
                line.startswith(b"Binary files "):
            raise PatchError(f"line {_line_number(data, at)}: binary patches"
                             " are not supported")
        if line == MARKER:
            raise PatchError(f"line {_line_number(data, at)}: no-newline"
                             " marker outside a hunk, or repeated")
        if not line.startswith(b"@@ "):
            continue
        m = _HEADER.match(line)
        number = len(hunks) + 1
        where = _line_number(data, at)
        if m is None:
            raise PatchError(f"line {where}: hunk #{number} has a malformed"
                             " header")
        a, b, c, d = (int(x) if x is not None else 1 for x in m.groups())
        header = m.group(0).decode("ascii")
        body: List[bytes] = []
        old: List[bytes] = []
        new: List[bytes] = []
        start = f.tell()
        try:
            hunkfix.addlines(f, body, b, d, old, new)
            mark = f.tell()
            if f.readline() == MARKER:  # after the hunk's last line
                hunkfix.fix_newline(body, old, new)
            else:
                f.seek(mark)
        except hunkfix.hunkfixError as e:
            raise PatchError(f"line {where}: hunk #{number} ({header}): {e}")\
                from None
        raw = data[start:f.tell()]
        if not line.endswith(b"\r\n") and b"\r\n" + MARKER in raw:
            _keep_crs(raw, body, old, new)
        if len(old) != b or len(new) != d:
            raise PatchError(f"line {where}: hunk #{number} ({header}) holds"
                             f" {len(old)} old and {len(new)} new lines")
        hunks.append(Hunk(number, header, where, a, c, old, new))


def _find(hunk: Hunk, lines: List[bytes], guess: int,
          lowest: int) -> Optional[int]:
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


def apply(text: bytes, hunks: List[Hunk],
          report: Callable[[str], None]) -> bytes:
    """The text with every hunk applied, in order. A hunk placed away from
    its stated line is reported as patch reports it; one that matches
    nowhere raises PatchError and nothing is returned."""
    lines = split_lines(text)
    out: List[bytes] = []
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
