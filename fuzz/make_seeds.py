"""Writes the hand-made seeds of the fuzz targets (fuzz/corpus/*/seed-*).

Deterministic: run it again (from the checkout root, with PYTHONPATH=.) after
changing the seeds and commit the result.
Each input follows its target's layout ("fuzz input layouts" in
testkit/reference.py). The other files in fuzz/corpus/ are inputs the fuzzers
found, minimised with libFuzzer's -merge=1; this script leaves them alone.
"""
import base64
import hashlib
import random
from pathlib import Path

from testkit.reference import apply, fold_input, frag
from testkit.reference import pair_input as pair

HERE = Path(__file__).resolve().parent
SAMPLE = HERE.parent / "src" / "quorvan" / "cext" / "sample"


def delta_seeds():
    abc = b"a\nb\nc\n"
    return [
        pair(b"", b""),
        pair(abc, b""),
        pair(b"x\n", frag(2, 2, b"y\n")),
        pair(abc, frag(2, 4, b"B\n")),
        pair(abc, frag(0, 0) + frag(6, 6, b"end")),
        pair(abc, frag(0, 2) + frag(2, 4, b"Q") + frag(4, 6, b"\0\xff")),
        pair(abc, frag(2, 4, b"B\n") + b"\0" * 5),        # trailing bytes
        pair(abc, frag(0, 1, b"xy", length=9)),           # data runs past
        pair(abc, frag(4, 2)),                            # start > end
        pair(abc, frag(0, 0, length=-1)),                 # negative len
        pair(abc, frag(2, 4) + frag(3, 5)),               # overlap
        pair(abc, frag(4, 6) + frag(0, 2)),               # descending
        pair(abc, frag(6, 7)),                            # past the end
        pair(abc, frag(-1, 2)),                           # negative start
        pair(abc, frag(0x80000000, 0x80000001)),          # fields >= 2^31
        pair(b"", frag(0, 0, b"") * 4),
    ]


def random_delta(rng, text):
    """A delta valid for text (not reference.random_delta: the seeds already
    committed come from this one)."""
    pos, parts = 0, []
    while pos <= len(text) and rng.random() < 0.7:
        s = rng.randint(pos, len(text))
        e = rng.randint(s, min(len(text), s + 8))
        parts.append(frag(s, e, bytes(rng.randrange(256)
                                      for _ in range(rng.randint(0, 6)))))
        pos = e
    return b"".join(parts)


def fold_seeds():
    t0 = b"0123456"
    seeds = [
        fold_input(t0, [frag(1, 3, b"XY"), frag(0, 0, b"Q") + frag(2, 4, b"ZZZ")]),
        fold_input(t0, [frag(2, 2, b"abc"), frag(3, 4)]),
        fold_input(t0, [b"", b""]),
        fold_input(t0, [frag(0, 7, b"new"), b"", frag(0, 3)]),
        fold_input(t0, [frag(9, 9)]),                     # invalid single
        fold_input(t0, [frag(1, 0), frag(0, 0)]),         # undecodable first
        fold_input(t0, [frag(4, 5) + frag(1, 2), frag(0, 1, b"z")]),
    ]
    m = 2**31 - 1  # fields at the top of the signed range
    seeds += [
        fold_input(t0, [frag(0, 0, b"abc") + frag(m, m), frag(m, m, b"z")]),
        fold_input(t0, [frag(0, 0, b"abc") + frag(m - 1, m), frag(m - 2, m, b"z")]),
        fold_input(t0, [frag(0, m), frag(0, 0, b"q" * 10)]),
        fold_input(t0, [frag(m, m, b"abc"), frag(m, m, b"x"), frag(0, m)]),
        fold_input(t0, [frag(5, m), frag(0, 0, b"x" * 8) + frag(6, 7)]),
    ]
    rng = random.Random(1)
    for k in range(1, 9):
        text, deltas = bytes(rng.randrange(97, 100) for _ in range(20)), []
        base = text
        for _ in range(k):
            d = random_delta(rng, text)
            deltas.append(d)
            text = apply(text, d)
        seeds.append(fold_input(base, deltas))
        seeds.append(fold_input(base, [bytes(rng.randrange(256)
                                             for _ in range(30))
                                       for _ in range(k)], repair=True))
    return seeds


def lines_seeds():
    seeds = [
        pair(b"", b""), pair(b"", b"a\nb\nc\n"), pair(b"a\nb\n", b""),
        pair(b"x\n", b"x\ny\n"), pair(b"a\nb\nc\n", b"a\nB\nc\n"),
        pair(b"abc", b"abd"), pair(b"x", b"x\ny"),
        pair(b"a\r\nb\r\n", b"a\nb\r\n"), pair(b"x\na\n", b"a\nx\na\n"),
        pair(b"a\na\n", b"a\na\na\n"), pair(b"a\nb\nc\nc\n", b"a\nb\nb\nc\nc\n"),
        pair(b"y\n" + b"x\n" * 50, b"x\n" * 60), pair(b"\0\n\xff\n", b"\xff\n\0"),
    ]
    revs = sorted(SAMPLE.glob("*"))
    for old, new in zip(revs, revs[1:]):
        seeds.append(pair(old.read_bytes()[:3000], new.read_bytes()[:3000]))
    return seeds


def b85_seeds():
    texts = [b"", b"VPaz", b"VPazd", b"VPa!s", b"00000", b"|NsC0", b"|NsC1",
             b"|NsD0", b"~~", b"0", b",", b"ab,de", b"abcd,", b"abcde,0",
             b"abcde0,", b"\0", b"\x80abc", base64.b85encode(bytes(range(64)))]
    seeds = [b"\0" + t for t in texts]
    for data in [b"", b"a", b"ab", b"abc", b"abcd", b"\xff" * 4,
                 bytes(range(256))[::7]]:
        seeds += [b"\1" + data, b"\3" + data]
    # The vector kernels decode blocks of up to 12 groups (60 characters,
    # in lanes of 15) and encode blocks of up to 16 groups: a bad character
    # at every offset of the first 13 groups, an overflowing group at every
    # group of a block, and inputs around the block sizes.
    rng = random.Random(85)
    text = base64.b85encode(rng.randbytes(4 * 26))
    bad = b',\0\x80" \x7f:[\\]./\'\xff'
    for pos in range(65):
        seeds.append(b"\0" + text[:pos] + bad[pos % len(bad):][:1]
                     + text[pos + 1:])
    for group in range(13):
        seeds.append(b"\0" + text[:5 * group] + b"|NsC1" + text[5 * group + 5:])
    for n in (31, 32, 33, 63, 64, 65, 67, 95, 128, 131):
        seeds += [b"\1" + rng.randbytes(n), b"\0" + text[:n]]
    return seeds


def hunk_seeds():
    marker = b"\\ No newline at end of file\n"
    bodies = [
        (2, 2, b"-a\n+b\n c\n"), (1, 1, b"-a\n" + marker + b"+a\n"),
        (0, 0, b""), (1, 1, b"\n"), (1, 1, marker[:-1]),
        (1, 1, b"+x\n" + marker), (1, 1, b" x\r\n" + marker + b"-y\n"),
        (2, 1, b"-ab" + marker + b"-c\n"), (1, 1, marker),
        (3, 3, b" a\0b\n-\0\n+\n \n"), (4, 4, b"-a\n-b\n"),
        (1, 2, b"+\n" + marker + b" q\n"),
    ]
    return [bytes([o, n]) + body for o, n, body in bodies]


def main():
    for name, seeds in [("delta", delta_seeds()), ("fold", fold_seeds()),
                        ("lines", lines_seeds()), ("b85", b85_seeds()),
                        ("hunk", hunk_seeds())]:
        out = HERE / "corpus" / name
        out.mkdir(parents=True, exist_ok=True)
        for old in out.glob("seed-*"):
            old.unlink()
        for s in seeds:
            (out / ("seed-" + hashlib.sha1(s).hexdigest()[:16])).write_bytes(s)
        print(name, len(seeds))


if __name__ == "__main__":
    main()
