"""Every method, on success and on every error path, called thousands of
times: no growth of the interpreter's allocated blocks nor of the C heap, and
the reference counts of the arguments are the same afterwards."""
import ctypes
import gc
import sys
import tracemalloc

import pytest

from quorvan.cext import deltafold, hunkfix, linesift, pentacode
from testkit.reference import MARKER, frag

CALLS = 2000
ROUNDS = 3


class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks",
        "fsmblks", "uordblks", "fordblks", "keepcost")]


def _heap_probe():
    """Bytes in use on the C heap (glibc), or None where we cannot tell."""
    try:
        fn = ctypes.CDLL(None).mallinfo2
    except (OSError, AttributeError):
        return None
    fn.restype = MallInfo2
    return lambda: fn().uordblks + fn().hblkhd


HEAP = _heap_probe()


BASE = b"line 1\nline 2\nline 3\n" * 20
D1 = frag(7, 14, b"LINE 2\n") + frag(140, 140, b"tail\n")
D2 = frag(0, 7)


class Raises:
    """A readline that fails."""

    def readline(self):
        raise OSError("disk gone")


class Lines:
    """A readline that hands out the same line objects on every call."""

    def __init__(self, lines):
        self.lines, self.pos = lines, 0

    def readline(self):
        line = self.lines[self.pos % len(self.lines)]
        self.pos += 1
        return line


Y = b" y\r\n"
HUNK_LINES = [b"-a\n", b"+b\n", b" c\n", b"\n", b" d\r\n", MARKER]


def addlines(lines, old=2, new=2, lists=None):
    """Reads a fresh hunk from the same line objects on every call."""
    def call():
        h, o, n = lists() if lists else ([], [], [])
        reader = Lines(lines) if isinstance(lines, list) else lines
        return hunkfix.addlines(reader, h, old, new, o, n)
    return call


def fix_newline(hunk, old, new):
    """fix_newline on fresh copies of the lists (it changes them)."""
    def call():
        return hunkfix.fix_newline(list(hunk), list(old), list(new))
    return call


class ReleasedView:
    def __init__(self):
        m = memoryview(b"x" * 24)
        m.release()
        self.view = m


RELEASED = ReleasedView().view

# (name, function, arguments, the exception expected or None)
CASES = [
    ("linesift", linesift.linesift, (BASE, BASE.replace(b"2", b"two")), None),
    ("linesift-equal", linesift.linesift, (BASE, BASE), None),
    ("linesift-str", linesift.linesift, ("a\nb\n", "a\nc\n"), None),
    ("linesift-type", linesift.linesift, (BASE, 1), TypeError),
    ("linesift-count", linesift.linesift, (BASE,), TypeError),
    ("linesift-bytearray", linesift.linesift, (bytearray(BASE), BASE), TypeError),
    ("linesift-surrogate", linesift.linesift, ("\udc80", BASE), UnicodeEncodeError),
    ("blocks", linesift.blocks, (BASE, BASE[20:] + b"x\n"), None),
    ("blocks-str", linesift.blocks, ("a", b"a"), TypeError),
    ("fixws", linesift.fixws, (b" a \t b \r\n", 0), None),
    ("fixws-all", linesift.fixws, (b" a \t b \r\n", 7), None),
    ("fixws-range", linesift.fixws, (b"a", 256), OverflowError),
    ("fixws-type", linesift.fixws, ("a", 0), TypeError),
    ("patches", deltafold.patches, (BASE, [D1, D2]), None),
    ("patches-empty", deltafold.patches, (BASE, []), None),
    ("patches-views", deltafold.patches,
     (memoryview(BASE), [bytearray(D1), memoryview(D2)]), None),
    ("patches-not-list", deltafold.patches, (BASE, (D1,)), Exception),
    ("patches-base-no-buffer", deltafold.patches, (object(), [D1]), TypeError),
    ("patches-item-no-buffer", deltafold.patches, (BASE, [D1, object()]), TypeError),
    ("patches-released-view", deltafold.patches, (BASE, [D1, RELEASED]), ValueError),
    ("patches-undecodable", deltafold.patches,
     (BASE, [D1, b"\0" * 13, frag(2, 1)]), deltafold.deltafoldError),
    ("patches-mixed-errors", deltafold.patches,
     (BASE, [b"\0" * 5, object(), D1]), TypeError),
    ("patches-invalid", deltafold.patches,
     (BASE, [frag(5, 9) + frag(0, 1)]), deltafold.deltafoldError),
    ("patches-past-end", deltafold.patches,
     (BASE, [D1, frag(0, 10**6)]), deltafold.deltafoldError),
    ("patches-count", deltafold.patches, (BASE,), TypeError),
    ("patchedsize", deltafold.patchedsize, (len(BASE), D1), None),
    ("patchedsize-undecodable", deltafold.patchedsize, (9, b"\0" * 11),
     deltafold.deltafoldError),
    ("patchedsize-type", deltafold.patchedsize, ("9", D1), TypeError),
    ("patchedsize-range", deltafold.patchedsize, (2**63, D1), OverflowError),
    ("patchedsize-overflow", deltafold.patchedsize,
     (2**63 - 1, frag(0, 0, b"x")), OverflowError),
    ("b85encode", pentacode.b85encode, (BASE[:37],), None),
    ("b85encode-pad", pentacode.b85encode, (BASE[:37], 1), None),
    ("b85encode-type", pentacode.b85encode, (1,), TypeError),
    ("b85encode-pad-range", pentacode.b85encode, (b"a", 2**40), OverflowError),
    ("b85decode", pentacode.b85decode, (pentacode.b85encode(BASE),), None),
    ("b85decode-char", pentacode.b85decode, (b"abcde0,",), ValueError),
    ("b85decode-char-fifth", pentacode.b85decode, (b"abcd,",), ValueError),
    ("b85decode-char-short", pentacode.b85decode, (b"abc\0",), ValueError),
    ("b85decode-sequence", pentacode.b85decode, (b"|NsC1",), ValueError),
    ("b85decode-surrogate", pentacode.b85decode, ("\udc80",), UnicodeEncodeError),
    ("addlines", addlines(HUNK_LINES, 4, 4), (), None),
    ("addlines-met", addlines(HUNK_LINES, 0, 0), (), None),
    ("addlines-readline-raises", addlines(Raises()), (), OSError),
    ("addlines-readline-str", addlines(["-a\n"]), (), TypeError),
    ("addlines-readline-int", addlines([7]), (), TypeError),
    ("addlines-eof", addlines([b"-a\n", b""]), (), hunkfix.hunkfixError),
    ("addlines-no-readline", addlines(object()), (), AttributeError),
    ("addlines-marker-first", addlines([MARKER]), (), hunkfix.hunkfixError),
    ("addlines-repeated-marker", addlines([b" a\n", MARKER, MARKER]), (),
     hunkfix.hunkfixError),
    ("addlines-not-list", addlines(HUNK_LINES,
                                   lists=lambda: ((), [], [])), (), TypeError),
    ("fix_newline", fix_newline(
        [b"-x\n", Y], [b"-x\n", Y], [b"y\r\n"]), (), None),
    ("fix_newline-empty", hunkfix.fix_newline, ([], [], []), hunkfix.hunkfixError),
    ("fix_newline-not-bytes", hunkfix.fix_newline, (["+x\n"], [], ["x"]), TypeError),
    ("fix_newline-short", hunkfix.fix_newline, ([b"+"], [], [b""]), hunkfix.hunkfixError),
    ("fix_newline-no-old", hunkfix.fix_newline, ([b" x\n"], [], [b"x\n"]),
     hunkfix.hunkfixError),
    ("fix_newline-no-new", hunkfix.fix_newline, ([b" x\n"], [b" x\n"], []),
     hunkfix.hunkfixError),
    ("fix_newline-not-list", hunkfix.fix_newline, ([b"+x\n"], [], None), TypeError),
    ("testhunk", hunkfix.testhunk, ([b"-x\n", b" y\n"], [b"w\n", b"x\n", b"y\n"], 1), None),
    ("testhunk-miss", hunkfix.testhunk, ([b"-x\n"], [b"y\n"], 0), None),
    ("testhunk-range", hunkfix.testhunk, ([b"-x\n"], [b"x\n"], -5), None),
    ("testhunk-not-bytes", hunkfix.testhunk, (["-x\n"], [b"x\n"], 0), TypeError),
    ("testhunk-no-prefix", hunkfix.testhunk, ([b""], [b"x\n"], 0), hunkfix.hunkfixError),
    ("testhunk-not-list", hunkfix.testhunk, ([b"-x\n"], "x", 0), TypeError),
]

if sys.version_info >= (3, 12):
    class FailingBuffer:
        def __buffer__(self, flags):
            raise RuntimeError("no buffer today")

    CASES += [
        ("patches-buffer-raises", deltafold.patches,
         (BASE, [D1, FailingBuffer(), b"\0" * 5]), RuntimeError),
        ("patches-base-buffer-raises", deltafold.patches,
         (FailingBuffer(), [D1]), RuntimeError),
    ]


def run_once(fn, args, exc):
    if exc is None:
        fn(*args)
        return
    try:
        fn(*args)
    except exc:
        return
    pytest.fail(f"{fn!r} did not raise {exc.__name__}")


def objects_reached(args):
    """The arguments and what they hold (list items), for refcount checks;
    not small ints, one-byte bytes and other objects the interpreter shares
    or never frees."""
    seen = []
    for a in args:
        seen += a if isinstance(a, list) else [a]
    if args == ():
        seen += HUNK_LINES + [Y]
    return [o for o in seen if not isinstance(o, (int, str, type(None)))
            and not (isinstance(o, bytes) and len(o) < 2)
            and sys.getrefcount(o) < 10**6]


@pytest.mark.parametrize("name, fn, args, exc", CASES, ids=[c[0] for c in CASES])
def test_no_leak(name, fn, args, exc):
    for _ in range(200):  # warm up caches and free lists
        run_once(fn, args, exc)
    gc.collect()  # drop what earlier tests left holding our arguments
    watched = objects_reached(args)
    refs = [sys.getrefcount(o) for o in watched]
    # Interpreter memory: allocated blocks, or, when the object allocator is
    # off (PYTHONMALLOC=malloc, as under the sanitizers), traced bytes.
    if sys.getallocatedblocks() == 0:
        tracemalloc.start()
        py_memory, py_limit = (lambda: tracemalloc.get_traced_memory()[0]), 8 * CALLS
    else:
        py_memory, py_limit = sys.getallocatedblocks, CALLS // 10
    py, heap = [], []
    try:
        for _ in range(ROUNDS):
            gc.collect()
            p0, h0 = py_memory(), HEAP() if HEAP else 0
            for _ in range(CALLS):
                run_once(fn, args, exc)
            gc.collect()
            py.append(py_memory() - p0)
            heap.append((HEAP() if HEAP else 0) - h0)
    finally:
        tracemalloc.stop()
    # A leak grows every round; noise does not.
    assert min(py) < py_limit, py
    assert min(heap) < 8 * CALLS, heap
    assert [sys.getrefcount(o) for o in watched] == refs
