"""Replays the fuzz inputs through the Python modules.

Every input that ever crashed a fuzz target is kept in fuzz/crashes/<target>/
(the seed corpora in fuzz/corpus/<target>/ ride along; they are small). Each
input is cut as its fuzz target cuts it and checked against the same
reference (testkit/reference.py), which the targets load too.
"""
from pathlib import Path

import pytest

from testkit import reference as ref
from quorvan.cext import deltafold, hunkfix, linesift, pentacode

FUZZ = Path(__file__).resolve().parent.parent / "fuzz"
TARGETS = ["delta", "fold", "lines", "b85", "hunk"]


def inputs():
    for target in TARGETS:
        for kind in ("crashes", "corpus"):
            folder = FUZZ / kind / target
            for path in sorted(folder.glob("*")):
                if path.is_file() and not path.name.startswith("."):
                    yield pytest.param(target, path,
                                       id=f"{kind}/{target}/{path.name}")


def outcome(fn, *args):
    try:
        return fn(*args)
    except deltafold.deltafoldError as e:
        return str(e)


def replay_delta(data):
    src, delta, _, patched, size = ref.expect_delta(data)
    assert outcome(deltafold.patches, src, [delta]) == patched
    assert outcome(deltafold.patchedsize, len(src), delta) == size


def replay_fold(data):
    base, deltas, want = ref.expect_fold(data)
    got = outcome(deltafold.patches, base, deltas)
    if want is not None:
        assert got == want


def replay_lines(data):
    src, tgt = ref.cut_pair(data)
    delta = linesift.linesift(src, tgt)
    assert (delta == b"") == (src == tgt)
    assert deltafold.patches(src, [delta]) == ref.apply(src, delta) == tgt
    blocks = linesift.blocks(src, tgt)
    a, b = ref.split_lines(src), ref.split_lines(tgt)
    pa = pb = 0
    for a1, a2, b1, b2 in blocks:
        assert pa <= a1 <= a2 and pb <= b1 <= b2 and a2 - a1 == b2 - b1
        assert a[a1:a2] == b[b1:b2]
        pa, pb = a2, b2
    assert blocks[-1] == (len(a), len(a), len(b), len(b))


def replay_b85(data):
    mode, text = ref.cut_b85(data)
    if mode & 1 == 0:
        try:
            want = ref.b85decode(text)
        except ValueError as e:
            with pytest.raises(ValueError) as got:
                pentacode.b85decode(text)
            assert str(got.value) == str(e)
        else:
            assert pentacode.b85decode(text) == want
    else:
        pad = bool(mode & 2)
        enc = pentacode.b85encode(text, (mode >> 2) | 1 if pad else 0)
        assert enc == ref.b85encode(text, pad)
        assert pentacode.b85decode(enc) == (
            text + b"\0" * (-len(text) % 4) if pad else text)


def replay_hunk(data):
    ref.check_hunk(hunkfix, data)


REPLAY = {"delta": replay_delta, "fold": replay_fold, "lines": replay_lines,
          "b85": replay_b85, "hunk": replay_hunk}


@pytest.mark.parametrize("target, path", list(inputs()))
def test_replay(target, path):
    REPLAY[target](path.read_bytes())


@pytest.mark.parametrize("target", TARGETS)
def test_every_target_keeps_a_crash_folder(target):
    # The fuzz step runs every target over its crash folder too.
    assert (FUZZ / "crashes" / target).is_dir()
