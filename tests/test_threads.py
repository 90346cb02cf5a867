"""Concurrent calls: `linesift` gives up the interpreter lock while it
computes, so threads really run it at the same time; hunkfix runs Python code
(a readline) in the middle of a call, where other threads get their turn.
The results must be exactly the single-threaded ones, and objects mutated
meanwhile, by another thread or by that Python code, must never crash us.
`patches` holds the lock throughout; it can meet foreign code only through a
buffer export, which test_deltafold.py's TestExporterCode drives."""
import random
import sys
import threading
import time

import pytest

from quorvan.cext import hunkfix, linesift
from testkit.reference import MARKER, apply

THREADS = 6


@pytest.fixture(autouse=True)
def tiny_switch_interval():
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(old)


def make_pair(seed, lines=1500):
    rng = random.Random(seed)
    words = [b"alpha", b"beta", b"gamma", b"delta", b"{", b"}", b""]
    old = [b" ".join(rng.choices(words, k=rng.randint(1, 4))) + b"\n"
           for _ in range(lines)]
    new = list(old)
    for _ in range(lines // 20):
        i = rng.randrange(len(new))
        if rng.random() < 0.5:
            del new[i]
        else:
            new.insert(i, b"edit %d\n" % rng.randrange(10**6))
    return b"".join(old), b"".join(new)


def run_threads(target, count=THREADS):
    """Runs target(i) in count threads, started together; re-raises the
    first failure in the calling thread."""
    errors = []
    start = threading.Barrier(count)

    def guarded(i):
        try:
            start.wait()
            target(i)
        except BaseException as e:  # reported in the main thread
            errors.append(e)

    threads = [threading.Thread(target=guarded, args=(i,)) for i in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if errors:
        raise errors[0]


def test_linesift_runs_in_threads_at_once_with_exact_results():
    # With a switch interval far longer than the test, a thread in Python
    # code keeps the lock: another thread can start a call while one is under
    # way only if linesift gave the lock up. So calls overlap only when the
    # lock is released, and each result must still be the single-threaded
    # one. The long texts with popular lines hold the engine longest.
    rng = random.Random(11)
    pairs = [make_pair(i) for i in range(THREADS)]
    for k in range(2):
        src = [b"l%d\n" % rng.randrange(5000) for _ in range(20000 + 1000 * k)]
        tgt = list(src)
        for _ in range(50):
            p = rng.randrange(len(tgt))
            tgt[p:p + rng.randrange(3)] = [b"t%d\n" % rng.randrange(99)]
        pairs.append((b"".join(src), b"".join(tgt)))
    expect = {pair: linesift.linesift(*pair) for pair in pairs}
    assert all(apply(a, d) == b for (a, b), d in expect.items())
    blocks = linesift.blocks(*pairs[0])
    active, overlaps = [0], [0]

    def work(i):
        for k in range(6):
            pair = pairs[(i + k) % len(pairs)]
            overlaps[0] += active[0] > 0
            active[0] += 1
            try:
                got = linesift.linesift(*pair)
            finally:
                active[0] -= 1
            assert got == expect[pair]
        # str arguments take the UTF-8 path; same delta for ASCII text.
        pair = pairs[i]
        assert linesift.linesift(*(p.decode() for p in pair)) == expect[pair]
        assert linesift.blocks(*pairs[0]) == blocks

    old = sys.getswitchinterval()
    sys.setswitchinterval(1000)
    try:
        run_threads(work)
    finally:
        sys.setswitchinterval(old)
    assert overlaps[0] > 0


class ThreadedReader:
    """A readline that yields to other threads before each line."""

    def __init__(self, lines, gate):
        self.lines, self.pos, self.gate = lines, 0, gate

    def readline(self):
        self.gate.wait(0.0001)
        line = self.lines[self.pos % len(self.lines)]
        self.pos += 1
        return line


def test_mutating_hunk_lists_from_another_thread():
    # Lists changed by another thread while a call waits in readline. Every
    # call must end in a result or a clean refusal (any other exception
    # fails the test), and take and give back references to the line objects
    # in pairs: a stale borrowed item shows up as a count that moved, or as
    # a crash.
    marker = bytes(bytearray(MARKER))
    lines = [bytes(bytearray(x)) for x in
             (b"-a\n", b"+b\n", b" c\n", b"\n", b"+d\r\n")]
    lines[3:3] = [marker]
    lines.append(marker)
    refs = refcounts(lines)
    hunk, old, new = [], [], []
    stop = threading.Event()
    count = {"mutations": 0, "met": 0}

    def mutate():
        rng = random.Random(3)
        junk = [b"", b"x", 7, None, b" y\n"]
        while not stop.is_set():
            started.set()
            target = rng.choice([hunk, old, new])
            op = rng.randrange(4)
            if op == 0:
                target.clear()
            elif op == 1:
                target.append(rng.choice(junk))
            elif op == 2 and target:
                target.pop()
            else:
                target[:] = [b"-q\n"] * rng.randrange(3)
            count["mutations"] += 1

    def work(i):
        gate = threading.Event()
        # On a loaded machine the mutator may get no turn for a while: go on
        # past 200 calls until it has met one (for a few seconds at most).
        calls, deadline = 0, time.monotonic() + 5
        while calls < 200 or (not count["met"] and time.monotonic() < deadline):
            calls += 1
            before = count["mutations"]
            try:
                hunkfix.addlines(ThreadedReader(lines, gate), hunk, 3, 3,
                                 old, new)
                hunkfix.fix_newline(hunk, old, new)
                hunkfix.testhunk(old, [b"a\n", b"c\n"] * 3, 0)
            except (hunkfix.hunkfixError, TypeError):
                pass
            count["met"] += count["mutations"] != before

    started = threading.Event()
    mutator = threading.Thread(target=mutate)
    mutator.start()
    started.wait()
    try:
        run_threads(work, 3)
    finally:
        stop.set()
        mutator.join()
    # The lists really changed in the middle of calls.
    assert count["met"] > 0
    del hunk[:], old[:], new[:]
    assert refcounts(lines) == refs


def refcounts(objs):
    """Reference counts, None for immortal objects (3.12+): their count is
    fixed by the interpreter, which skips its own changes to it, while a
    stable-ABI module built for 3.11 changes it as for any object."""
    return [n if n < 1 << 30 else None for n in map(sys.getrefcount, objs)]


class MeddlingReader:
    """A readline that changes the caller's lists itself."""

    def __init__(self, lines, meddle):
        self.lines, self.meddle, self.pos = lines, meddle, 0

    def readline(self):
        line = self.lines[self.pos]
        self.pos += 1
        self.meddle()
        return line


@pytest.mark.parametrize("meddle", [
    lambda h, o, n: h.clear(),
    lambda h, o, n: (o.clear(), n.clear()),
    lambda h, o, n: h.append(12),
    lambda h, o, n: h.append(b"+"),
    lambda h, o, n: h.__setitem__(slice(None), [b" long line\n"] * 1000),
    lambda h, o, n: n.extend(range(5)),
], ids=["clear-hunk", "clear-sides", "append-int", "append-short",
        "grow-hunk", "fill-new"])
def test_readline_that_mutates_the_lists(meddle):
    hunk, old, new = [], [], []
    reader = MeddlingReader([b"-a\n", b" b\n", MARKER, b"+c\n"] * 3,
                            lambda: meddle(hunk, old, new))
    try:
        assert hunkfix.addlines(reader, hunk, 3, 3, old, new) == 0
    except (hunkfix.hunkfixError, TypeError):
        pass
    # Whatever happened, the lists stay sound Python lists.
    assert all(isinstance(x, (bytes, int)) for x in hunk + old + new)


@pytest.mark.parametrize("alias", ["hunk-old", "old-new", "all"])
def test_one_list_passed_in_several_places(alias):
    a, b, c = [], [], []
    hunk, old, new = {"hunk-old": (a, a, b), "old-new": (a, b, b),
                      "all": (a, a, a)}[alias]
    reader = MeddlingReader([b"-a\n", b" b\n", b"+c\n", MARKER] * 4,
                            lambda: None)
    try:
        hunkfix.addlines(reader, hunk, 6, 6, old, new)
        hunkfix.fix_newline(hunk, old, new)
    except hunkfix.hunkfixError:
        pass
    assert all(isinstance(x, bytes) for x in a + b + c)
