"""The checks of pentacode's kernels, run once per kernel path: the module
picks its path at import (QUORVAN_PENTACODE_ISA caps it), so each path needs
an interpreter of its own.

    QUORVAN_PENTACODE_ISA=avx2 python -m testkit.pentacode_paths

prints the path in use and exits 0 when every check holds. The inputs cross
the vector kernels' block edges (blocks of up to 12 groups, a faulty block
handed to the scalar kernel) at every offset."""
from __future__ import annotations

import random
from typing import Optional

from testkit.reference import b85decode, b85encode

BAD = b',\0\x80" \x7f:[\\]./\xff'


def decode_error(text: bytes) -> Optional[str]:
    try:
        b85decode(text)
    except ValueError as e:
        return str(e)
    return None


def check(pentacode: object) -> None:
    """Raises AssertionError at the first disagreement with the reference."""
    enc = pentacode.b85encode  # type: ignore[attr-defined]
    dec = pentacode.b85decode  # type: ignore[attr-defined]
    rng = random.Random(85)
    # Every length up to a few blocks, both forms: exact bytes both ways.
    for n in range(0, 4 * 12 * 3 + 9):
        data = bytes(rng.randrange(256) for _ in range(n))
        for pad in (False, True):
            text = enc(data, pad)
            assert text == b85encode(data, pad), (n, pad)
            assert dec(text) == b85decode(text), (n, pad)
    # A bad character at every offset: a lane or mask off by one shows up as
    # a wrong position, a missed fault or a fault reported a group late.
    text = b85encode(bytes(range(7, 255, 2))[:4 * 30])
    for pos in range(len(text)):
        bad = bytearray(text)
        bad[pos] = BAD[pos % len(BAD)]
        try:
            dec(bytes(bad))
        except ValueError as e:
            assert str(e) == decode_error(bytes(bad)), pos
        else:
            raise AssertionError(f"no error for a bad character at {pos}")
    # A group just past 2^32 - 1, and one just within, in every group.
    for start in range(0, len(text), 5):
        for group in (b"|NsC1", b"|NsC0"):
            t = text[:start] + group + text[start + 5:]
            want = decode_error(t)
            try:
                got = dec(t)
            except ValueError as e:
                assert str(e) == want, start
            else:
                assert want is None and got == b85decode(t), start


if __name__ == "__main__":
    from quorvan.cext import pentacode

    check(pentacode)
    print(pentacode._isa)
