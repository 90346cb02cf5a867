"""Replays the fuzz inputs through the Python modules.

Every input that ever crashed a fuzz target is kept in fuzz/crashes/<target>/
(the seed corpora in fuzz/corpus/<target>/ ride along; they are small). Each
input is cut the way its fuzz target cuts it (see the comment at the top of
fuzz/fuzz_<target>.cpp) and the modules' results are checked against the
same reference rules, written here in Python.
"""
import importlib.util
import struct
from pathlib import Path

import pytest

from quorvan.cext import deltafold, hunkfix, linesift, pentacode

FUZZ = Path(__file__).resolve().parent.parent / "fuzz"
TARGETS = ["delta", "fold", "lines", "b85", "hunk"]


def load_hunk_reference():
    # Shared with the hunk fuzz target, which loads the same file.
    spec = importlib.util.spec_from_file_location(
        "hunk_reference", FUZZ / "hunk_reference.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


HUNK_REFERENCE = load_hunk_reference()
INT32_MAX = 2**31 - 1


def inputs():
    for target in TARGETS:
        for kind in ("crashes", "corpus"):
            folder = FUZZ / kind / target
            for path in sorted(folder.glob("*")):
                if path.is_file() and not path.name.startswith("."):
                    yield pytest.param(target, path,
                                       id=f"{kind}/{target}/{path.name}")


class Reader:
    def __init__(self, data):
        self.data, self.pos = data, 0

    def u8(self):
        if self.pos >= len(self.data):
            return 0
        self.pos += 1
        return self.data[self.pos - 1]

    def u16(self):
        return self.u8() << 8 | self.u8()

    def take(self, n):
        out = self.data[self.pos:self.pos + n]
        self.pos += len(out)
        return out

    def rest(self):
        return self.take(len(self.data))


def ref_decode(delta):
    """Fragments (start, end, data) by rules V1 to V4, or None."""
    frags, p, n = [], 0, len(delta)
    while p < n:
        if n - p < 12:
            return None
        s, e, ln = struct.unpack_from(">iii", delta, p)
        nxt = p + 12 + ln
        if s > e or ln < 0 or nxt > INT32_MAX:
            return None
        frags.append((s, e, delta[p + 12:nxt]))
        p = nxt
    return frags if p == n else None


def ref_apply(src, frags):
    """The patched text by rules V5 and V6, or None."""
    out, last = [], 0
    for s, e, data in frags:
        if s < last or e > len(src):
            return None
        out += [src[last:s], data]
        last = e
    return b"".join(out) + src[last:]


def ref_patchedsize(n, delta):
    """The size-only reading: unsigned fields, V1 and unsigned V2 only."""
    p, total, last = 0, 0, 0
    while p < len(delta):
        if len(delta) - p < 12:
            return None
        s, e, ln = struct.unpack_from(">III", delta, p)
        if s > e or p + 12 + ln > len(delta):
            return None
        p += 12 + ln
        total += s - last + ln
        last = e
    return n + total - last


def patch_outcome(base, deltas):
    """What patches() should do with a one-at-a-time chain: a text or an
    error message (None when folding may legitimately differ)."""
    for d in deltas:
        if ref_decode(d) is None:
            return "patch cannot be decoded"
    text = base
    for d in deltas:
        text = ref_apply(text, ref_decode(d))
        if text is None:
            return "invalid patch" if len(deltas) == 1 else None
    return text


def check_patches(base, deltas):
    want = patch_outcome(base, deltas)
    try:
        got = deltafold.patches(base, deltas)
    except deltafold.deltafoldError as e:
        got = str(e)
    if want is not None:
        assert got == want


def repair_delta(raw, cur):
    out, pos, prev_end = [], 0, 0
    while len(raw) - pos >= 12:
        s, e, ln = struct.unpack_from(">III", raw, pos)
        pos += 12
        ln %= len(raw) - pos + 1
        start = prev_end + s % (cur - prev_end + 1)
        end = start + e % (cur - start + 1)
        out += [struct.pack(">III", start, end, ln), raw[pos:pos + ln]]
        pos += ln
        prev_end = end
    return b"".join(out)


def replay_delta(data):
    r = Reader(data)
    src = r.take(r.u16())
    delta = r.rest()
    check_patches(src, [delta])
    want = ref_patchedsize(len(src), delta)
    if want is None:
        with pytest.raises(deltafold.deltafoldError,
                           match="^patch cannot be decoded$"):
            deltafold.patchedsize(len(src), delta)
    else:
        assert deltafold.patchedsize(len(src), delta) == want


def replay_fold(data):
    r = Reader(data)
    flags = r.u8()
    base = r.take(r.u16())
    text, deltas = base, []
    for _ in range((flags & 7) + 1):
        delta = r.take(r.u16())
        if flags & 8 and text is not None:
            delta = repair_delta(delta, len(text))
        frags = ref_decode(delta) if text is not None else None
        text = ref_apply(text, frags) if frags is not None else None
        deltas.append(delta)
    check_patches(base, deltas)


def split_lines(text):
    """Lines as the engine cuts them: only a line feed ends a line."""
    parts = text.split(b"\n")
    return [p + b"\n" for p in parts[:-1]] + ([parts[-1]] if parts[-1] else [])


def replay_lines(data):
    r = Reader(data)
    src = r.take(r.u16())
    tgt = r.rest()
    delta = linesift.linesift(src, tgt)
    assert (delta == b"") == (src == tgt)
    assert deltafold.patches(src, [delta]) == tgt
    blocks = linesift.blocks(src, tgt)
    a, b = split_lines(src), split_lines(tgt)
    pa = pb = 0
    for a1, a2, b1, b2 in blocks:
        assert pa <= a1 <= a2 and pb <= b1 <= b2 and a2 - a1 == b2 - b1
        assert a[a1:a2] == b[b1:b2]
        pa, pb = a2, b2
    assert blocks[-1] == (len(a), len(a), len(b), len(b))


DIGITS = (b"0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
          b"!#$%&()*+-;<=>?@^_`{|}~")


def ref_b85decode(text):
    """Decoded bytes, or the exact error message."""
    out = bytearray()
    for i in range(0, len(text), 5):
        group = text[i:i + 5]
        v = 0
        for j, ch in enumerate(group):
            last = j == len(group) - 1
            if ch not in DIGITS:
                return f"bad pentacode character at position {i + j + last}"
            v = v * 85 + DIGITS.index(ch)
            if last and v > 0xFFFFFFFF:
                return f"bad pentacode sequence at position {i + j + 1}"
        m = min(len(group) - 1, 4)
        if 1 <= m <= 3:
            v = (v * 85 ** (5 - len(group)) + (1 << 8 * (4 - m)) - 1) % 2**32
        out += v.to_bytes(4, "big")[:m]
    return bytes(out)


def ref_b85encode(data, pad):
    out = bytearray()
    for i in range(0, len(data), 4):
        chunk = data[i:i + 4]
        v = int.from_bytes(chunk.ljust(4, b"\0"), "big")
        group = bytes(DIGITS[v // 85 ** k % 85] for k in range(4, -1, -1))
        out += group if pad else group[:len(chunk) + 1]
    return bytes(out)


def replay_b85(data):
    r = Reader(data)
    mode = r.u8()
    text = r.rest()
    if mode & 1 == 0:
        want = ref_b85decode(text)
        if isinstance(want, str):
            with pytest.raises(ValueError) as e:
                pentacode.b85decode(text)
            assert str(e.value) == want
        else:
            assert pentacode.b85decode(text) == want
    else:
        pad = bool(mode & 2)
        enc = pentacode.b85encode(text, (mode >> 2) | 1 if pad else 0)
        assert enc == ref_b85encode(text, pad)
        assert pentacode.b85decode(enc) == (
            text + b"\0" * (-len(text) % 4) if pad else text)


def replay_hunk(data):
    HUNK_REFERENCE.check(hunkfix, data)


REPLAY = {"delta": replay_delta, "fold": replay_fold, "lines": replay_lines,
          "b85": replay_b85, "hunk": replay_hunk}


@pytest.mark.parametrize("target, path", list(inputs()))
def test_replay(target, path):
    REPLAY[target](path.read_bytes())


@pytest.mark.parametrize("target", TARGETS)
def test_every_target_keeps_a_crash_folder(target):
    # The fuzz step runs every target over its crash folder too.
    assert (FUZZ / "crashes" / target).is_dir()
