"""Our own reading of a binary delta's framing, for error messages.

deltafold says only that a chain failed ("patch cannot be decoded",
"invalid patch"). On that path we walk the deltas ourselves, by the rules
that deltafold applies, to say which delta, which fragment and which byte.
Successful runs never come here.
"""
from __future__ import annotations

import struct
from typing import Iterator, Optional, Tuple

from quorvan.cext._cli import Data

HEADER = 12
LIMIT = 2**31 - 1   # positions in a delta are 32-bit counts
_FIELDS = struct.Struct(">iii")  # start, end, len: signed, as decoded


def _signed_note(*values: int) -> str:
    return " (fields of 2^31 or more read as negative)" \
        if any(v < 0 for v in values) else ""


def framing_problem(delta: Data) -> Optional[str]:
    """Why the delta cannot be decoded, or None if it can."""
    n = len(delta)
    p = 0
    k = 0
    while p < n:
        k += 1
        if n - p < HEADER:
            if p == 0:
                return (f"header past the end: the delta holds {n} bytes,"
                        f" a fragment header takes {HEADER}")
            return (f"{n - p} trailing bytes at byte {p}, after fragment"
                    f" {k - 1}: too few for a header")
        start, end, length = _FIELDS.unpack_from(delta, p)
        where = f"fragment {k} at byte {p}"
        if start > end:
            return (f"{where}: start {start} past end {end}"
                    + _signed_note(start, end))
        if length < 0:
            return f"{where}: data length {length & 0xFFFFFFFF} is 2^31 or more"
        after = p + HEADER + length
        if after > n:
            return (f"{where}: data past the end ({length} bytes declared,"
                    f" {n - p - HEADER} left)")
        if after > LIMIT:
            return f"{where}: data reaches past byte 2^31 - 1"
        p = after
    return None


def fragments(delta: Data) -> Iterator[Tuple[int, int, int, int]]:
    """(number from 1, byte offset, start, end) of each fragment of a delta
    that decodes."""
    p, k, n = 0, 0, len(delta)
    while n - p >= HEADER:
        k += 1
        start, end, length = _FIELDS.unpack_from(delta, p)
        yield k, p, start, end
        p += HEADER + max(length, 0)


def fit_problem(delta: Data, base_length: int) -> Optional[str]:
    """Why a decodable delta does not apply to a text of base_length
    bytes, or None if it does."""
    last = 0
    for k, p, start, end in fragments(delta):
        where = f"fragment {k} at byte {p}"
        if start < last:
            before = (f"the end ({last}) of the fragment before it" if k > 1
                      else "the start of the text")
            return (f"{where} starts at {start}, before {before}"
                    + _signed_note(start))
        if end > base_length:
            return (f"{where} ends at {end}, past the end of its"
                    f" {base_length}-byte base")
        last = end
    return None
