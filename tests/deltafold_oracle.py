"""Pure-Python reference for binary deltas: the oracle of the deltafold tests.

Kept deliberately naive: decode the fragments, check them, apply them one
delta at a time. Errors are reported as the messages deltafold raises.
"""
import random
import struct

INVALID = "invalid patch"
UNDECODABLE = "patch cannot be decoded"


class DeltaError(Exception):
    pass


def frag(start, end, data=b""):
    """One fragment with unsigned 32-bit header fields."""
    return struct.pack(">III", start, end, len(data)) + data


def raw(start, end, length, data=b""):
    """A header whose len field need not match the data that follows."""
    return struct.pack(">III", start, end, length) + data


def decode(delta):
    """Fragments of a delta as (start, end, data), header fields signed."""
    delta = bytes(delta)
    frags = []
    p = 0
    n = len(delta)
    while p < n:
        if n - p < 12:
            raise DeltaError(UNDECODABLE)
        start, end, length = struct.unpack_from(">iii", delta, p)
        if start > end or length < 0:
            raise DeltaError(UNDECODABLE)
        nxt = p + 12 + length
        if nxt > 2**31 - 1 or nxt > n:
            raise DeltaError(UNDECODABLE)
        frags.append((start, end, delta[p + 12:nxt]))
        p = nxt
    return frags


def apply_frags(text, frags):
    text = bytes(text)
    out = []
    last = 0
    for start, end, data in frags:
        if start < last or end > len(text):
            raise DeltaError(INVALID)
        out.append(text[last:start])
        out.append(data)
        last = end
    out.append(text[last:])
    return b"".join(out)


def apply(text, delta):
    return apply_frags(text, decode(delta))


def apply_chain(text, deltas):
    """Applies the deltas one after another (every delta decoded first, as
    the fold fetches every item before anything is sized)."""
    decoded = [decode(d) for d in deltas]
    for frags in decoded:
        text = apply_frags(text, frags)
    return bytes(text)


def size_only(baselen, delta):
    """The header walk of patchedsize: fields unsigned, only the framing and
    start <= end are tested."""
    delta = bytes(delta)
    if not delta:
        return baselen
    p = running = last = 0
    n = len(delta)
    while p < n:
        if n - p < 12:
            raise DeltaError(UNDECODABLE)
        start, end, length = struct.unpack_from(">III", delta, p)
        if start > end:
            raise DeltaError(UNDECODABLE)
        p += 12 + length
        running += start - last + length
        last = end
    if p != n:
        raise DeltaError(UNDECODABLE)
    return baselen + running - last


def random_delta(rng, text, maxfrags=6, maxdata=8, lines=False):
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


def random_chain(seed, base, k, **kw):
    """k deltas, each valid for the result of the ones before."""
    rng = random.Random(seed)
    deltas = []
    text = base
    for _ in range(k):
        d = random_delta(rng, text, **kw)
        deltas.append(d)
        text = apply(text, d)
    return deltas, text
