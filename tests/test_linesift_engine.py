"""The line diff engine through its exported C functions (ctypes on the built
module file): splitting, matching, limits and the export list."""
import ctypes
import random
import shutil
import subprocess

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from quorvan.cext import linesift

LIB = ctypes.CDLL(linesift.__file__)

ENOMEM, ETOOBIG, EINVAL = -1, -2, -3
MAX_LINES = 2**31 - 2
MAX_TARGET_LINES = 2**28 - 1


class LineRecord(ctypes.Structure):
    _fields_ = [("hash", ctypes.c_uint32), ("chain", ctypes.c_int32),
                ("eqclass", ctypes.c_int32), ("length", ctypes.c_int64),
                ("begin", ctypes.c_void_p)]


class Hunk(ctypes.Structure):
    pass


Hunk._fields_ = [("a1", ctypes.c_int32), ("a2", ctypes.c_int32),
                 ("b1", ctypes.c_int32), ("b2", ctypes.c_int32),
                 ("next", ctypes.POINTER(Hunk))]

RecPtr = ctypes.POINTER(LineRecord)
splitlines = LIB.linesift_splitlines
splitlines.argtypes = [ctypes.c_char_p, ctypes.c_int64, ctypes.POINTER(RecPtr)]
splitlines.restype = ctypes.c_int32
diff = LIB.linesift_diff
diff.argtypes = [RecPtr, ctypes.c_int32, RecPtr, ctypes.c_int32,
                 ctypes.POINTER(Hunk)]
diff.restype = ctypes.c_int32
freehunks = LIB.linesift_freehunks
freehunks.argtypes = [ctypes.POINTER(Hunk)]
freehunks.restype = None
libc = ctypes.CDLL(None)
libc.free.argtypes = [ctypes.c_void_p]


class Split:
    """A text's record array, freed when the object goes."""

    def __init__(self, text):
        self.buf = ctypes.create_string_buffer(text, len(text) or 1)
        self.base = ctypes.addressof(self.buf)
        self.recs = RecPtr()
        self.n = splitlines(self.buf, len(text), ctypes.byref(self.recs))
        assert self.n >= 0 and self.recs

    def records(self):
        return [self.recs[i] for i in range(self.n + 1)]

    def __del__(self):
        libc.free(ctypes.cast(self.recs, ctypes.c_void_p))


def run_diff(a, b):
    """Returns (result code, blocks) of matching texts a and b."""
    sa, sb = Split(a), Split(b)
    head = Hunk()
    rc = diff(sa.recs, sa.n, sb.recs, sb.n, ctypes.byref(head))
    out = []
    h = head.next
    while h:
        out.append((h.contents.a1, h.contents.a2, h.contents.b1, h.contents.b2))
        h = h.contents.next
    freehunks(head.next)
    return rc, out


def lines(*xs):
    return b"".join(x.encode() + b"\n" for x in xs)


def numbered(n, fmt=b"%d\n"):
    return b"".join(fmt % i for i in range(n))


# ---- exports -----------------------------------------------------------------

@pytest.mark.skipif(shutil.which("nm") is None, reason="needs nm")
def test_only_engine_and_init_are_exported():
    out = subprocess.run(["nm", "-D", "--defined-only", linesift.__file__],
                         capture_output=True, text=True, check=True).stdout
    names = {ln.split()[-1] for ln in out.splitlines()
             if ln.split()[-2] not in "wvWV"}
    assert names == {"PyInit_linesift", "linesift_splitlines",
                     "linesift_diff", "linesift_freehunks"}


# ---- splitting -------------------------------------------------------------

@pytest.mark.parametrize("text, expect", [
    (b"", []),
    (b"\n", [(0x0000000A, 1)]),
    (b"a\n", [(0x0000308A, 2)]),
    (b"ab\n", [(0x0018710A, 3)]),
    (b"abcdef\n", [(0x3C9AFA20, 7)]),
    (b"\xff", [(0xFFFFFFFF, 1)]),
    (b"\x80\n", [(0xFFFFC089, 2)]),
    (b"a\nb", [(0x308A, 2), (0x62, 1)]),
    (b"a\nb\n", [(0x308A, 2), (0x310A, 2)]),
    (b"\n\n", [(0x0A, 1), (0x0A, 1)]),
    (b"a\r\n", [(((0x61 << 7) + 0x0D << 7) + 0x0A, 3)]),
    (b"\x00\n\x00", [(0x0A, 2), (0, 1)]),
])
def test_split_hashes_lengths_and_terminator(text, expect):
    s = Split(text)
    recs = s.records()
    assert s.n == len(expect)
    assert [(r.hash, r.length) for r in recs[:-1]] == expect
    assert all(r.chain == 2147483647 for r in recs[:-1])
    # Records tile the text and the terminator marks its end.
    off = 0
    for r in recs[:-1]:
        assert r.begin - s.base == off
        off += r.length
    end = recs[-1]
    assert (end.hash, end.length, end.begin - s.base) == (0, 0, len(text))


def test_split_counts_line_feeds_across_word_boundaries():
    # Line feeds at every alignment and in runs longer than the counter's
    # 255-word flush interval.
    for text in (b"\n" * 5000, b"x" * 7 + b"\n" * 3000 + b"y",
                 b"".join(b"a" * (i % 11) + b"\n" for i in range(4000))):
        s = Split(text)
        assert s.n == text.count(b"\n") + (not text.endswith(b"\n"))
        assert sum(r.length for r in s.records()) == len(text)


@settings(max_examples=60, deadline=None)
@given(st.lists(st.integers(0, 150), min_size=1, max_size=300),
       st.integers(0, 2**32 - 1), st.booleans())
def test_module_lines_match_the_exported_records(lengths, seed, tail):
    # The module keeps 4-byte line starts where the exported records keep
    # pointers: lines of 1 to 151 bytes cross its 64-byte scans, 64-line
    # batches and 16-byte counting steps at every offset, and both must
    # give the same blocks.
    rnd = random.Random(seed)
    a = [b"%c" % rnd.choice(b"xy") * n + b"\n" for n in lengths]
    b = [x for x in a if rnd.random() < 0.8] + a[:rnd.randrange(len(a))]
    rnd.shuffle(b)
    ta, tb = b"".join(a), b"".join(b) + (b"x" if tail else b"")
    assert linesift.blocks(ta, tb) == run_diff(ta, tb)[1]


def test_split_refuses_bad_arguments():
    out = RecPtr()
    assert splitlines(b"abc", -1, ctypes.byref(out)) == EINVAL
    assert not out
    assert splitlines(None, 5, ctypes.byref(out)) == EINVAL
    assert splitlines(b"abc", 3, None) == EINVAL
    # size 0 never reads the text, whatever the pointer.
    assert splitlines(None, 0, ctypes.byref(out)) == 0
    libc.free(ctypes.cast(out, ctypes.c_void_p))


# ---- matching: the worked results ----------------------------------------------

@pytest.mark.parametrize("a, b, expect", [
    (b"", b"", [(0, 0, 0, 0)]),
    (b"", lines("a", "b", "c"), [(0, 0, 3, 3)]),
    (lines("a", "b"), b"", [(2, 2, 0, 0)]),
    (lines("x", "a"), lines("a", "x", "a"), [(0, 2, 1, 3), (2, 2, 3, 3)]),
    (lines("a", "a"), lines("a", "a", "a"), [(0, 2, 0, 2), (2, 2, 3, 3)]),
    (lines(*"abcc"), lines(*"abbcc"),
     [(0, 2, 0, 2), (2, 4, 3, 5), (4, 4, 5, 5)]),
    # x is popular in a target of 10000 x (L = 99): it seeds nothing, and
    # matches only where a range begins with it.
    (lines("y", "x"), b"x\n" * 10000, [(2, 2, 10000, 10000)]),
    (lines("x", "y"), b"x\n" * 10000, [(0, 1, 0, 1), (2, 2, 10000, 10000)]),
    # A last line without its line feed is a different line.
    (b"a\nb", b"a\nb\n", [(0, 1, 0, 1), (2, 2, 2, 2)]),
])
def test_diff_worked_examples(a, b, expect):
    assert run_diff(a, b) == (len(expect), expect)


@pytest.mark.parametrize("n", [1, 2, 17, 29999, 30000])
def test_equal_texts_within_the_window_are_one_block(n):
    t = numbered(n)
    assert run_diff(t, t) == (2, [(0, n, 0, n), (n, n, n, n)])


def test_equal_texts_past_the_window():
    t = numbered(30001)
    assert run_diff(t, t) == (3, [(0, 30001, 0, 30001),
                                  (30001, 30001, 30001, 30001),
                                  (30001, 30001, 30001, 30001)])
    t = numbered(90000)
    assert run_diff(t, t) == (4, [(0, 60000, 0, 60000),
                                  (60000, 90000, 60000, 90000),
                                  (90000, 90000, 90000, 90000),
                                  (90000, 90000, 90000, 90000)])


@pytest.mark.parametrize("bn, seeds", [(30999, True), (31000, False)])
def test_popularity_limit_boundary(bn, seeds):
    # 32 copies of p: within L = 1000000 / 31000 = 32 for bn = 30999, past
    # L = 31000 / 1000 = 31 for bn = 31000, where p may no longer seed.
    target = [b"x%d\n" % i for i in range(bn)]
    for k in range(32):
        target[500 + 900 * k] = b"p\n"
    rc, blocks = run_diff(b"q\np\n", b"".join(target))
    # Ties along the chain move down from the last copy until the winner is
    # no longer past the middle of the target: 500 + 900 * 16 = 14900.
    expect = [(1, 2, 14900, 14901)] if seeds else []
    assert blocks == expect + [(2, 2, bn, bn)]


def test_many_blocks_do_not_exhaust_the_stack():
    # Runs that grow towards the end make every longest match the last one
    # of its range, so the part before it nests one level deeper each time.
    src, tgt, expect = [], [], []
    n = 0
    run = 1
    while n < 1_000_000:
        expect.append((len(src), len(src) + run, len(tgt), len(tgt) + run))
        src += [b"s%d\n" % (n + i) for i in range(run)]
        tgt += [b"s%d\n" % (n + i) for i in range(run)]
        src.append(b"-%d\n" % n)
        tgt.append(b"+%d\n" % n)
        n += run + 1
        run += 1
    a, b = b"".join(src), b"".join(tgt)
    rc, blocks = run_diff(a, b)
    assert blocks[:-1] == expect
    assert blocks[-1] == (len(src), len(src), len(tgt), len(tgt))
    assert rc == len(blocks)


# ---- matching: lines built to collide ---------------------------------------

def colliding_line(k):
    """Line k of a family of distinct lines that nearly all share one defined
    hash: bytes 32 places apart fold into the same bits, so pairs with a fixed
    sum keep it (unless a carry wraps around)."""
    x = [97 + k // 13**p % 13 for p in range(32)]
    return bytes(x) + bytes(200 - c for c in x) + b"\n"


def _same_hash_family(n):
    s = Split(b"".join(colliding_line(k) for k in range(1, 4 * n)))
    recs = s.records()[:-1]
    return [k + 1 for k, r in enumerate(recs) if r.hash == recs[0].hash][:n]


COLLIDING = [colliding_line(k) for k in _same_hash_family(6)]


@settings(max_examples=150, deadline=None)
@given(st.lists(st.integers(0, 5), max_size=60),
       st.lists(st.integers(0, 5), max_size=60))
def test_colliding_lines_give_the_blocks_of_their_pattern(pa, pb):
    # Blocks depend only on which lines are equal. Lines that share one
    # defined hash must match exactly as ordinary lines in the same pattern
    # do, through the module (keyed hash) and the exported functions (which
    # hash again); a table probed by the defined hash, or a comparison that
    # trusts it, would differ or stall. Small alphabets make long chains,
    # so the search's sorted member lists are used too.
    def coll(p):
        return b"".join(COLLIDING[k] for k in p)

    def plain(p):
        return b"".join(b"%d\n" % k for k in p)

    both = Split(coll(pa + pb))
    assert len({r.hash for r in both.records()[:-1]}) <= 1
    expect = linesift.blocks(plain(pa), plain(pb))
    assert linesift.blocks(coll(pa), coll(pb)) == expect
    assert run_diff(coll(pa), coll(pb)) == (len(expect), expect)


# ---- matching: limits and arguments ------------------------------------------

def test_diff_refuses_counts_past_its_limits_before_reading():
    tiny = (LineRecord * 1)()
    p = ctypes.cast(tiny, RecPtr)
    head = Hunk()
    assert diff(p, 0, p, MAX_TARGET_LINES + 1, ctypes.byref(head)) == ETOOBIG
    assert diff(p, MAX_LINES + 1, p, 0, ctypes.byref(head)) == ETOOBIG
    assert diff(p, 2**31 - 1, p, 2**31 - 1, ctypes.byref(head)) == ETOOBIG
    assert diff(p, -1, p, 0, ctypes.byref(head)) == EINVAL
    assert diff(p, 0, p, -1, ctypes.byref(head)) == EINVAL
    assert diff(p, 0, p, 0, None) == EINVAL
    assert not head.next
    other = Hunk()
    head.next = ctypes.pointer(other)
    assert diff(p, 0, p, 0, ctypes.byref(head)) == EINVAL


def test_diff_called_twice_on_the_same_arrays():
    sa, sb = Split(lines(*"abcdab")), Split(lines(*"xbcdya"))
    results = []
    for _ in range(2):
        head = Hunk()
        rc = diff(sa.recs, sa.n, sb.recs, sb.n, ctypes.byref(head))
        got, h = [], head.next
        while h:
            got.append((h.contents.a1, h.contents.a2, h.contents.b1,
                        h.contents.b2))
            h = h.contents.next
        freehunks(head.next)
        results.append((rc, got))
    assert results[0] == results[1]
    assert results[0][1][-1] == (6, 6, 6, 6)


def test_freehunks_of_null_is_a_no_op():
    freehunks(None)
