"""Engine allocation failures. In a test build (QV_FAULTS=ON, as CI's
sanitizer step builds the modules) every engine allocation counts down one
shared countdown, and the one that reaches zero fails. We fail the k-th
allocation of a call for k = 0, 1, 2, ... until a call runs with none
failing: each call must raise MemoryError or, where the engine has a way
round the failure, return the exact result; and nothing may stay allocated.
Elsewhere these tests skip."""
import ctypes
import gc
import random
from pathlib import Path

import pytest

from quorvan.cext import deltafold, linesift
from reference import frag, random_chain

FAULTS = Path(deltafold.__file__).with_name("libqv_faults.so")
pytestmark = pytest.mark.skipif(not FAULTS.exists(),
                                reason="needs a build with QV_FAULTS=ON")
ENOMEM = -3  # DELTAFOLD_ENOMEM


def load():
    lib = ctypes.CDLL(str(FAULTS))  # the copy the modules already use
    lib.qv_faults_arm.argtypes = [ctypes.c_int64]
    lib.qv_faults_arm.restype = None
    lib.qv_faults_armed.restype = ctypes.c_int
    return lib


def heap_in_use():
    """Bytes allocated on the C heap: the sanitizer's count when its
    runtime is loaded, glibc's otherwise."""
    libc = ctypes.CDLL(None)
    try:
        fn = libc.__sanitizer_get_current_allocated_bytes
        fn.restype = ctypes.c_size_t
        return fn()
    except AttributeError:
        pass
    fn = libc.mallinfo2
    fn.restype = ctypes.c_size_t * 10
    info = fn()
    return info[7] + info[4]  # uordblks + hblkhd


def ladder(lib, call):
    """Fails each engine allocation of call() in turn; returns how many
    allocations the call makes."""
    want = call()
    for k in range(10_000):
        lib.qv_faults_arm(k)
        try:
            got = call()
        except MemoryError:
            got = MemoryError
        finally:
            failed = not lib.qv_faults_armed()
            lib.qv_faults_arm(-1)
        if not failed:
            assert got == want
            return k
        assert got is MemoryError or got == want, k
    pytest.fail("the call never ran without a failure")


def texts(nlines, seed):
    """A source and a target with scattered edits, popular lines and lines
    common enough to be searched through member lists, so that the diff
    meets the class table, those lists, the block list and the prefix."""
    rng = random.Random(seed)
    src = [b"%d\n" % rng.randrange(nlines // 3) if rng.random() < 0.7
           else b"common %d\n" % rng.randrange(2) for _ in range(nlines)]
    tgt = list(src)
    for _ in range(8):
        at = rng.randrange(1, len(tgt))
        tgt[at:at + rng.randrange(3)] = [b"new %d\n" % rng.randrange(99)]
    return b"".join(src), b"".join(tgt)


A, B = texts(400, 1)
CHAIN, _ = random_chain(3, b"base text\n" * 8, 5, lines=True)
CALLS = {
    "linesift": lambda: linesift.linesift(A, B),
    "blocks": lambda: linesift.blocks(A, B),
    "linesift-equal-prefix": lambda: linesift.linesift(A, A + b"tail\n"),
    "patches-one": lambda: deltafold.patches(b"base text\n" * 8, CHAIN[:1]),
    "patches-chain": lambda: deltafold.patches(b"base text\n" * 8, CHAIN),
}


@pytest.mark.parametrize("name", sorted(CALLS))
def test_every_allocation_failure_is_clean(name):
    lib = load()
    call = CALLS[name]
    assert ladder(lib, call) > 0
    # A failure path that keeps a block leaks once per step of the ladder:
    # over rounds of ladders that is steady growth, where noise is not.
    growth = []
    for _ in range(3):
        gc.collect()
        before = heap_in_use()
        for _ in range(20):
            ladder(lib, call)
        gc.collect()
        growth.append(heap_in_use() - before)
    assert min(growth) < 2048, growth


def test_decode_reports_its_own_code_and_leaves_out_alone():
    lib = load()
    engine = ctypes.CDLL(deltafold.__file__)
    engine.deltafold_decode.argtypes = [ctypes.c_char_p, ctypes.c_int64,
                                        ctypes.POINTER(ctypes.c_void_p)]
    delta = frag(0, 1, b"x") * 3
    for k in (0, 1):  # the list header, then its array
        out = ctypes.c_void_p(12345)
        lib.qv_faults_arm(k)
        try:
            rc = engine.deltafold_decode(delta, len(delta), ctypes.byref(out))
        finally:
            lib.qv_faults_arm(-1)
        assert rc == ENOMEM and out.value == 12345
