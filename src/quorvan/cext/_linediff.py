"""The command line's line diff: the engine's matching, made small.

The engine leaves lines that occur very often in a large text unanchored,
and on texts made of a few repeated lines it can rewrite nearly everything
for a one-line change. So before calling it we cut the common prefix and the
common suffix of whole lines, and afterwards we grow every matching block
forwards and backwards across equal lines, up to its neighbours. Both steps
compare bytes through ``bytes.startswith`` over memoryviews (memcmp, no
copies), and each byte is compared a bounded number of times: the whole
step is linear in the texts.

Changes are kept as byte offsets ``(old_start, old_end, new_start,
new_end)``, each range a run of whole lines (a range ends just after a line
feed or at the end of its text). Nothing here splits a text into lines.
"""
from __future__ import annotations

import struct

from quorvan.cext import linesift

TYPE_CHECKING = False
if TYPE_CHECKING:  # typing costs start-up time; names only
    from typing import List, Tuple

    # Old bytes old_start..old_end became new bytes new_start..new_end.
    _Change = Tuple[int, int, int, int]

_HEADER = struct.Struct(">III")
_FIRST_STEP = 64


def _equal(a: bytes, i: int, mb: memoryview, j: int, n: int) -> bool:
    """a[i:i+n] == b[j:j+n], by memcmp and without copies."""
    return a.startswith(mb[j:j + n], i)


def common_prefix(a: bytes, i: int, mb: memoryview, j: int,
                  limit: int) -> int:
    """Length of the common prefix of a[i:] and b[j:], at most limit.

    Galloping then bisection, so a prefix of n bytes costs O(n) compared
    bytes in O(log n) calls."""
    if limit <= 0 or a[i] != mb[j]:
        return 0
    lo, step = 0, _FIRST_STEP
    while lo < limit:
        n = min(step, limit - lo)
        if not _equal(a, i + lo, mb, j + lo, n):
            hi = lo + n  # the first lo bytes agree, the first hi do not
            while hi - lo > 1:
                mid = (lo + hi) // 2
                if _equal(a, i + lo, mb, j + lo, mid - lo):
                    lo = mid
                else:
                    hi = mid
            return lo
        lo += n
        step *= 2
    return limit


def common_suffix(a: bytes, i: int, mb: memoryview, j: int,
                  limit: int) -> int:
    """Length of the common suffix of a[:i] and b[:j], at most limit."""
    if limit <= 0 or a[i - 1] != mb[j - 1]:
        return 0
    lo, step = 0, _FIRST_STEP
    while lo < limit:
        n = min(step, limit - lo)
        if not _equal(a, i - lo - n, mb, j - lo - n, n):
            hi = lo + n
            while hi - lo > 1:
                mid = (lo + hi) // 2
                k = mid - lo
                if _equal(a, i - lo - k, mb, j - lo - k, k):
                    lo = mid
                else:
                    hi = mid
            return lo
        lo += n
        step *= 2
    return limit


def prefix_lines(a: bytes, a1: int, a2: int, b: bytes, mb: memoryview,
                 b1: int, b2: int) -> int:
    """Bytes of the whole lines that a[a1:a2] and b[b1:b2] start with alike.

    Both ranges start at a line start and end at a line end, so when one
    range is all common its end is a line end of the other one too, unless
    it is the last line of its text and has no line feed."""
    n = common_prefix(a, a1, mb, b1, min(a2 - a1, b2 - b1))
    if n == a2 - a1 and n == b2 - b1:
        return n
    k = a.rfind(b"\n", a1, a1 + n)
    return 0 if k < 0 else k + 1 - a1


def suffix_lines(a: bytes, a1: int, a2: int, b: bytes, mb: memoryview,
                 b1: int, b2: int) -> int:
    """Bytes of the whole lines that a[a1:a2] and b[b1:b2] end with alike."""
    n = common_suffix(a, a2, mb, b2, min(a2 - a1, b2 - b1))
    if n == 0:
        return 0
    if (a2 - n == a1 or a[a2 - n - 1] == 10) and \
            (b2 - n == b1 or b[b2 - n - 1] == 10):
        return n
    # The common bytes start inside a line: the whole lines are those after
    # their first line feed (the same bytes in both texts).
    k = a.find(b"\n", a2 - n, a2)
    return 0 if k < 0 else a2 - k - 1


def trim(old: bytes, new: bytes) -> Tuple[int, int]:
    """Byte lengths of the common prefix and the common suffix of whole
    lines; together they never exceed the shorter text."""
    mb = memoryview(new)
    p = prefix_lines(old, 0, len(old), new, mb, 0, len(new))
    s = suffix_lines(old, p, len(old), new, mb, p, len(new))
    return p, s


def _engine_changes(old: bytes, new: bytes, p: int, s: int) -> List[_Change]:
    """The engine's gaps between matching blocks on the middles of the
    texts (the parts between the common prefix and suffix), in whole-text
    byte offsets. The engine's delta has exactly these gaps as fragments,
    in offsets, so it is the cheaper way to get them than blocks, which
    would need both texts split into lines here."""
    # The engine takes bytes only (no memoryview), so the middles are
    # copies: a memcpy of each text, small beside the matching.
    if p or s:
        old, new = old[p:len(old) - s], new[p:len(new) - s]
    delta = linesift.linesift(old, new)
    out: List[_Change] = []
    pos = 0
    shift = p  # new offset minus old offset before the next fragment
    while pos < len(delta):
        start, end, size = _HEADER.unpack_from(delta, pos)
        pos += 12 + size
        out.append((p + start, p + end, start + shift,
                    start + shift + size))
        shift += size - (end - start)
    return out


def grow(old: bytes, new: bytes, changes: List[_Change]) -> List[_Change]:
    """Each change less the equal whole lines it starts and ends with: the
    matching blocks around it grown forwards and backwards up to it. A
    change that nothing is left of goes."""
    mb = memoryview(new)
    out: List[_Change] = []
    for a1, a2, b1, b2 in changes:
        if a1 < a2 and b1 < b2:
            k = prefix_lines(old, a1, a2, new, mb, b1, b2)
            a1 += k
            b1 += k
            k = suffix_lines(old, a1, a2, new, mb, b1, b2)
            a2 -= k
            b2 -= k
        if a1 < a2 or b1 < b2:
            out.append((a1, a2, b1, b2))
    return out


def line_changes(old: bytes, new: bytes, depth: int = 2) -> List[_Change]:
    """The changes that turn old into new, as few and as small as the
    engine, the trim and the growing make them; none when they are equal.

    A change that still replaces lines by other lines is diffed once more
    on its own, up to depth times: in a short range the engine's
    popularity limit is far higher, so lines that could not anchor a match
    in the whole text can anchor one there. Every such pass works on
    disjoint ranges, so each costs at most one engine run over the texts.
    """
    if old == new:
        return []
    p, s = trim(old, new)
    found = grow(old, new, _engine_changes(old, new, p, s))
    if depth <= 0 or (len(found) == 1 and found[0][0] == p
                      and found[0][2] == p):
        return found  # nothing matched inside the middles
    out: List[_Change] = []
    for a1, a2, b1, b2 in found:
        if a1 == a2 or b1 == b2:
            out.append((a1, a2, b1, b2))
            continue
        for c1, c2, d1, d2 in line_changes(old[a1:a2], new[b1:b2],
                                           depth - 1):
            out.append((a1 + c1, a1 + c2, b1 + d1, b1 + d2))
    return out


def delta_of(new: bytes, changes: List[_Change]) -> bytes:
    """The binary delta that the changes make: one fragment each."""
    pack = _HEADER.pack
    parts: List[bytes] = []
    for a1, a2, b1, b2 in changes:
        parts.append(pack(a1, a2, b2 - b1))
        parts.append(new[b1:b2])
    return b"".join(parts)


def changes_from_blocks(old_lines: List[bytes], new_lines: List[bytes],
                        blocks: List[Tuple[int, int, int, int]]
                        ) -> List[_Change]:
    """Byte-offset changes from the gaps between line blocks (as
    ``linesift.blocks`` gives them) of texts split into lines."""
    def offsets(lines: List[bytes]) -> List[int]:
        acc = [0]
        for line in lines:
            acc.append(acc[-1] + len(line))
        return acc

    ao, bo = offsets(old_lines), offsets(new_lines)
    out: List[_Change] = []
    pa = pb = 0
    for a1, a2, b1, b2 in blocks:
        if a1 > pa or b1 > pb:
            out.append((ao[pa], ao[a1], bo[pb], bo[b1]))
        pa, pb = a2, b2
    return out
