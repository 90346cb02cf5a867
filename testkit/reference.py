"""Plain-Python reference of what the modules compute, written from their
rules and kept naive: the binary delta format, base-85, the reading of hunk
bodies, and the layouts in which the fuzz targets cut their inputs.

The tests, the fuzz replay, the fuzz targets (through an embedded
interpreter), fuzz/make_seeds.py and the benchmarks all import this one
module, as testkit.reference.
"""
from __future__ import annotations

import io
import random
import struct
from typing import Callable, Iterator, Optional

# -- binary deltas ----------------------------------------------------------
#
# A delta is a run of fragments, each a 12-byte header of three big-endian
# 32-bit fields start, end, len, then len data bytes. The rules a reader
# checks, numbered as in the README:
#   1. framing: every header and its data lie inside the delta, and the last
#      fragment ends exactly at its end;
#   2. start <= end and len >= 0 in every fragment, fields read signed;
#   3. the delta is shorter than 2^31 bytes (the offset past every fragment
#      stays below 2^31);
#   4. against the source: fragments ascend without overlap (the first start
#      >= 0, every later start >= the previous end);
#   5. every end lies within the source.
# Decoding checks 1 to 3, sizing and applying 4 and 5. The size-only reading
# takes the fields unsigned and checks only 1 and start <= end.

INVALID = "invalid patch"  # rules 4 and 5
UNDECODABLE = "patch cannot be decoded"  # rules 1 to 3
INT32_MAX = 2**31 - 1
_HEADER = struct.Struct(">iii")
_UHEADER = struct.Struct(">III")


class DeltaError(Exception):
    """A delta refused, with the message deltafold raises for it."""


Fragment = tuple[int, int, bytes]  # start, end, data


def frag(start: int, end: int, data: bytes = b"",
         length: Optional[int] = None) -> bytes:
    """One fragment. Fields are taken modulo 2^32 (so -1 is 0xFFFFFFFF), and
    length, when given, need not match the data that follows."""
    n = len(data) if length is None else length
    return _UHEADER.pack(start & 0xFFFFFFFF, end & 0xFFFFFFFF,
                         n & 0xFFFFFFFF) + data


def walk(delta: bytes) -> Iterator[tuple[int, int, int, int]]:
    """(start, end, offset of the data, len) of each fragment by rules 1 to
    3, fields signed; DeltaError at the first fault."""
    p, n = 0, len(delta)
    while p < n:
        if n - p < 12:
            raise DeltaError(UNDECODABLE)
        start, end, length = _HEADER.unpack_from(delta, p)
        nxt = p + 12 + length
        if start > end or length < 0 or nxt > INT32_MAX or nxt > n:
            raise DeltaError(UNDECODABLE)
        yield start, end, p + 12, length
        p = nxt


def decode(delta: bytes) -> list[Fragment]:
    """Fragments of a delta by rules 1 to 3, fields signed."""
    delta = bytes(delta)
    return [(s, e, delta[at:at + n]) for s, e, at, n in walk(delta)]


def apply_frags(text: bytes, frags: list[Fragment]) -> bytes:
    """The patched text by rules 4 and 5. Source stretches are memoryview
    slices, so each byte is copied once, by the join."""
    src = memoryview(text)
    out: list[object] = []
    last = 0
    for start, end, data in frags:
        if start < last or end > len(src):
            raise DeltaError(INVALID)
        out.append(src[last:start])
        out.append(data)
        last = end
    out.append(src[last:])
    return b"".join(out)  # type: ignore[arg-type]


def apply(text: bytes, delta: bytes) -> bytes:
    return apply_frags(text, decode(delta))


def apply_chain(text: bytes, deltas: list[bytes]) -> bytes:
    """The deltas applied one after another. Every delta is decoded first,
    as patches fetches every item before it sizes anything."""
    decoded = [decode(d) for d in deltas]
    for frags in decoded:
        text = apply_frags(text, frags)
    return bytes(text)


def size_only(baselen: int, delta: bytes) -> int:
    """The header walk of patchedsize: fields unsigned, only rule 1 and
    start <= end checked, the data never looked at."""
    delta = bytes(delta)
    p = running = last = 0
    n = len(delta)
    while p < n:
        if n - p < 12:
            raise DeltaError(UNDECODABLE)
        start, end, length = _UHEADER.unpack_from(delta, p)
        if start > end:
            raise DeltaError(UNDECODABLE)
        p += 12 + length
        running += start - last + length
        last = end
    if p != n:
        raise DeltaError(UNDECODABLE)
    return baselen + running - last


def count_fragments(delta: bytes) -> int:
    n = p = 0
    while p < len(delta):
        p += 12 + _UHEADER.unpack_from(delta, p)[2]
        n += 1
    return n


def shift(delta: bytes, off: int) -> bytes:
    """The delta with every offset moved by off bytes."""
    return b"".join(frag(s + off, e + off, d) for s, e, d in decode(delta))


def random_delta(rng: random.Random, text: bytes, maxfrags: int = 6,
                 maxdata: int = 8, lines: bool = False) -> bytes:
    """A valid delta for text: ascending, non-overlapping fragments. With
    lines=True the cut points are line boundaries and the data whole lines,
    like the deltas a line diff writes."""
    if lines:
        cuts = [0] + [i + 1 for i, c in enumerate(text) if c == 0x0A]
        if cuts[-1] != len(text):
            cuts.append(len(text))
    else:
        cuts = list(range(len(text) + 1))
    k = rng.randint(0, maxfrags)
    points = sorted(rng.choice(cuts) for _ in range(2 * k))
    out = []
    for i in range(k):
        start, end = points[2 * i], points[2 * i + 1]
        if lines:
            data = b"".join(b"L%d\n" % rng.randrange(1000)
                            for _ in range(rng.randint(0, 3)))
        else:
            data = bytes(rng.randrange(256)
                         for _ in range(rng.randint(0, maxdata)))
        out.append(frag(start, end, data))
    return b"".join(out)


def random_chain(seed: int, base: bytes, k: int,
                 **kw: object) -> tuple[list[bytes], bytes]:
    """k deltas, each valid for the result of the ones before."""
    rng = random.Random(seed)
    deltas = []
    text = base
    for _ in range(k):
        d = random_delta(rng, text, **kw)  # type: ignore[arg-type]
        deltas.append(d)
        text = apply(text, d)
    return deltas, text


def repair_delta(raw: bytes, cur: int) -> bytes:
    """Arbitrary bytes turned into a delta valid against a text of cur
    bytes: headers keep their framing, every field is folded into range."""
    out, pos, prev_end = [], 0, 0
    while len(raw) - pos >= 12:
        s, e, ln = _UHEADER.unpack_from(raw, pos)
        pos += 12
        ln %= len(raw) - pos + 1
        start = prev_end + s % (cur - prev_end + 1)
        end = start + e % (cur - start + 1)
        out.append(frag(start, end, raw[pos:pos + ln]))
        pos += ln
        prev_end = end
    return b"".join(out)


def patch_outcome(base: bytes, deltas: list[bytes]) -> Optional[bytes | str]:
    """What patches(base, deltas) gives: the text or the error message, or
    None where a fold may legitimately differ from one-at-a-time
    application (a later delta that does not fit its text)."""
    try:
        decoded = [decode(d) for d in deltas]
    except DeltaError as e:
        return str(e)
    text = base
    for frags in decoded:
        try:
            text = apply_frags(text, frags)
        except DeltaError as e:
            return str(e) if len(deltas) == 1 else None
    return bytes(text)


def split_lines(text: bytes) -> list[bytes]:
    """Lines as the line diff cuts them: only a line feed ends a line."""
    parts = text.split(b"\n")
    return [p + b"\n" for p in parts[:-1]] + ([parts[-1]] if parts[-1] else [])


# -- base-85 ----------------------------------------------------------------

B85_DIGITS = (b"0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
              b"!#$%&()*+-;<=>?@^_`{|}~")
B85_CHAR = "bad pentacode character at position %d"
B85_SEQUENCE = "bad pentacode sequence at position %d"


def b85encode(data: bytes, pad: bool = False) -> bytes:
    out = bytearray()
    for i in range(0, len(data), 4):
        chunk = data[i:i + 4]
        v = int.from_bytes(chunk.ljust(4, b"\0"), "big")
        group = bytes(B85_DIGITS[v // 85 ** k % 85] for k in range(4, -1, -1))
        out += group if pad else group[:len(chunk) + 1]
    return bytes(out)


def b85decode(text: bytes) -> bytes:
    """Decoded bytes; ValueError with the module's exact message. Groups of
    five from the start; a non-digit is reported at its position, or one
    past it when it ends its group; a group above 2^32 - 1 one past its
    last digit."""
    out = bytearray()
    for i in range(0, len(text), 5):
        group = text[i:i + 5]
        v = 0
        for j, ch in enumerate(group):
            last = j == len(group) - 1
            if ch not in B85_DIGITS:
                raise ValueError(B85_CHAR % (i + j + last))
            v = v * 85 + B85_DIGITS.index(ch)
            if last and v > 0xFFFFFFFF:
                raise ValueError(B85_SEQUENCE % (i + j + 1))
        m = min(len(group) - 1, 4)
        if 1 <= m <= 3:
            v = (v * 85 ** (5 - len(group)) + (1 << 8 * (4 - m)) - 1) % 2**32
        out += v.to_bytes(4, "big")[:m]
    return bytes(out)


# -- hunk bodies ------------------------------------------------------------
#
# Lines are kept whole: zero bytes are data like any other.

MARKER = b"\\ No newline at end of file\n"


class HunkError(Exception):
    """A hunk the module refuses (hunkfixError), or an end of input."""


def fix_newline(hunk: list, old: list, new: list) -> None:
    if not hunk or len(hunk[-1]) < 2:
        raise HunkError("no line to fix")
    line = hunk[-1]
    end = len(line) - 2 if line[-2:-1] == b"\r" else len(line) - 1
    fixed, c = line[:end], line[:1]
    if c in (b" ", b"+") and not new or c in (b" ", b"-") and not old:
        raise HunkError("side list empty")
    if c in (b" ", b"+"):
        new[-1] = line[1:end]
    if c in (b" ", b"-"):
        old[-1] = fixed
    hunk[-1] = fixed


def addlines(readline: Callable[[], bytes], hunk: list, oldcount: int,
             newcount: int, old: list, new: list) -> int:
    """Reads hunk lines until both sides hold their counts, in batches of
    the larger shortfall. A marker straight after a marker is refused."""
    prev = b""
    while True:
        need = max(oldcount - len(old), newcount - len(new))
        if need <= 0:
            return 0
        for _ in range(need):
            line = readline()
            if not line:
                raise HunkError("end of input")
            if line == MARKER:
                if prev == MARKER:
                    raise HunkError("repeated marker")
                fix_newline(hunk, old, new)
            elif line[:1] == b"\n":
                hunk.append(b" \n")
                new.append(b"\n")
                old.append(hunk[-1])
            else:
                hunk.append(line)
                if line[:1] != b"+":
                    old.append(line)
                if line[:1] != b"-":
                    new.append(line[1:])
            prev = line


def testhunk(old: list, lines: list, start: int) -> int:
    if start < 0 or len(old) > len(lines) - start:
        return -1
    for a, b in zip(old, lines[start:]):
        if not a:
            raise HunkError("old line without prefix")
        if a[1:] != b:
            return -1
    return 0


# -- fuzz input layouts -----------------------------------------------------
#
# How each fuzz target cuts its input, and how make_seeds.py builds one:
#   delta, lines: 2-byte big-endian length k, k bytes of text, then the rest
#                 (the delta, or the second text);
#   fold:  flags f (f & 7 + 1 deltas, repaired when f & 8), a 2-byte length
#          and the base, then per delta a 2-byte length and its bytes (cut
#          short when the input ends);
#   b85:   mode m, then the text (decode when m & 1 == 0, else encode, padded
#          when m & 2, with the pad flag (m >> 2) | 1);
#   hunk:  old count byte, new count byte (both taken modulo 16), the body.


class Reader:
    """Reads an input front to back; past its end, bytes read as 0."""

    def __init__(self, data: bytes) -> None:
        self.data, self.pos = bytes(data), 0

    def u8(self) -> int:
        if self.pos >= len(self.data):
            return 0
        self.pos += 1
        return self.data[self.pos - 1]

    def u16(self) -> int:
        return self.u8() << 8 | self.u8()

    def take(self, n: int) -> bytes:
        out = self.data[self.pos:self.pos + n]
        self.pos += len(out)
        return out

    def rest(self) -> bytes:
        return self.take(len(self.data))


def cut_pair(data: bytes) -> tuple[bytes, bytes]:
    r = Reader(data)
    first = r.take(r.u16())
    return first, r.rest()


def pair_input(first: bytes, rest: bytes) -> bytes:
    return struct.pack(">H", len(first)) + first + rest


def cut_fold(data: bytes) -> tuple[bytes, list[bytes]]:
    """The base and the deltas, repaired against the running text while the
    chain still applies."""
    r = Reader(data)
    flags = r.u8()
    base = r.take(r.u16())
    text: Optional[bytes] = base
    deltas = []
    for _ in range((flags & 7) + 1):
        delta = r.take(r.u16())
        if flags & 8 and text is not None:
            delta = repair_delta(delta, len(text))
        if text is not None:
            try:
                text = apply(text, delta)
            except DeltaError:
                text = None
        deltas.append(delta)
    return base, deltas


def fold_input(base: bytes, deltas: list[bytes],
               repair: bool = False) -> bytes:
    flags = (len(deltas) - 1) | (8 if repair else 0)
    return bytes([flags]) + b"".join(
        struct.pack(">H", len(x)) + x for x in [base] + deltas)


def cut_b85(data: bytes) -> tuple[int, bytes]:
    r = Reader(data)
    return r.u8(), r.rest()


def cut_hunk(data: bytes) -> tuple[int, int, bytes]:
    r = Reader(data)
    return r.u8() % 16, r.u8() % 16, r.rest()


# -- checks run by the fuzz targets and their replay -------------------------

def expect_delta(data: bytes) -> tuple[bytes, bytes, object, object, object]:
    """The delta target's input cut, with what the engine must give for it:
    the decoded fragments as (start, end, data offset, len) or None, what
    patches gives (a text or the error message) and what patchedsize gives
    (a size or the error message)."""
    src, delta = cut_pair(data)
    try:
        frags: object = list(walk(delta))
    except DeltaError:
        frags = None
    try:
        size: object = size_only(len(src), delta)
    except DeltaError as e:
        size = str(e)
    return src, delta, frags, patch_outcome(src, [delta]), size


def expect_fold(data: bytes) -> tuple[bytes, list[bytes], object]:
    """The fold target's input cut, with what patches must give for it (None
    where a fold may legitimately differ from one-at-a-time application)."""
    base, deltas = cut_fold(data)
    return base, deltas, patch_outcome(base, deltas)


def check_hunk(hunkfix: object, data: bytes) -> None:
    """Raises AssertionError when hunkfix disagrees with the reference on
    the hunk target's input: addlines over the body, then testhunk of the
    old side against the new side at every start around it."""
    oldcount, newcount, body = cut_hunk(data)
    h: list = []
    o: list = []
    n: list = []
    want: Optional[tuple[list, list, list]] = (h, o, n)
    try:
        addlines(io.BytesIO(body).readline, h, oldcount, newcount, o, n)
    except HunkError:
        want = None
    hunk: list = []
    old: list = []
    new: list = []
    error = hunkfix.hunkfixError  # type: ignore[attr-defined]
    try:
        got = hunkfix.addlines(  # type: ignore[attr-defined]
            io.BytesIO(body), hunk, oldcount, newcount, old, new)
    except error:
        assert want is None
        return
    assert got == 0 and want == (hunk, old, new), (want, hunk, old, new)
    for start in range(-1, len(new) + 2):
        try:
            expect: Optional[int] = testhunk(old, new, start)
        except HunkError:
            expect = None
        try:
            assert hunkfix.testhunk(  # type: ignore[attr-defined]
                old, new, start) == expect
        except error:
            assert expect is None

