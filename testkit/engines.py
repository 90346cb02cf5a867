"""ctypes bindings of the engines' exported C functions, taken from the built
modules themselves, and small helpers over them. Result codes and records
are laid out as the engines declare them."""
from __future__ import annotations

import ctypes
from pathlib import Path
from typing import Any, Callable, Optional

from quorvan.cext import deltafold, linesift

ENOMEM, ETOOBIG, EINVAL = -1, -2, -3  # linesift's result codes
DELTAFOLD_ENOMEM = -3
MAX_LINES = 2**31 - 2
MAX_TARGET_LINES = 2**28 - 1

libc = ctypes.CDLL(None)
libc.free.argtypes = [ctypes.c_void_p]
libc.free.restype = None


def addr(p: Any) -> int:
    """The address a pointer holds; 0 for null."""
    return ctypes.cast(p, ctypes.c_void_p).value or 0


# -- the line diff engine ---------------------------------------------------

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
LINESIFT = ctypes.CDLL(linesift.__file__)
splitlines = LINESIFT.linesift_splitlines
splitlines.argtypes = [ctypes.c_char_p, ctypes.c_int64, ctypes.POINTER(RecPtr)]
splitlines.restype = ctypes.c_int32
diff = LINESIFT.linesift_diff
diff.argtypes = [RecPtr, ctypes.c_int32, RecPtr, ctypes.c_int32,
                 ctypes.POINTER(Hunk)]
diff.restype = ctypes.c_int32
freehunks = LINESIFT.linesift_freehunks
freehunks.argtypes = [ctypes.POINTER(Hunk)]
freehunks.restype = None


class Split:
    """A text's record array, freed when the object goes."""

    def __init__(self, text: bytes) -> None:
        self.buf = ctypes.create_string_buffer(text, len(text) or 1)
        self.base = ctypes.addressof(self.buf)
        self.recs = RecPtr()
        self.n = splitlines(self.buf, len(text), ctypes.byref(self.recs))
        assert self.n >= 0 and self.recs

    def records(self) -> list[LineRecord]:
        return [self.recs[i] for i in range(self.n + 1)]

    def __del__(self) -> None:
        libc.free(ctypes.cast(self.recs, ctypes.c_void_p))


def hunk_list(head: Hunk) -> list[tuple[int, int, int, int]]:
    """The blocks behind a head record, which it then frees."""
    out = []
    h = head.next
    while h:
        out.append((h.contents.a1, h.contents.a2, h.contents.b1,
                    h.contents.b2))
        h = h.contents.next
    freehunks(head.next)
    head.next = None
    return out


def run_diff(a: bytes, b: bytes) -> tuple[int, list[tuple[int, int, int, int]]]:
    """Returns (result code, blocks) of matching texts a and b."""
    sa, sb = Split(a), Split(b)
    head = Hunk()
    rc = diff(sa.recs, sa.n, sb.recs, sb.n, ctypes.byref(head))
    return rc, hunk_list(head)


# -- the patch engine -------------------------------------------------------

class Fragment(ctypes.Structure):
    _fields_ = [("start", ctypes.c_int32), ("end", ctypes.c_int32),
                ("len", ctypes.c_int32), ("data", ctypes.c_void_p)]


class FragmentList(ctypes.Structure):
    _fields_ = [("base", ctypes.POINTER(Fragment)),
                ("head", ctypes.POINTER(Fragment)),
                ("tail", ctypes.POINTER(Fragment))]


LP = ctypes.POINTER(FragmentList)
FETCH = ctypes.CFUNCTYPE(ctypes.c_void_p, ctypes.c_void_p, ctypes.c_int64)

DELTAFOLD = ctypes.CDLL(deltafold.__file__)
DELTAFOLD.deltafold_decode.argtypes = [ctypes.c_char_p, ctypes.c_int64,
                                       ctypes.POINTER(LP)]
DELTAFOLD.deltafold_decode.restype = ctypes.c_int
DELTAFOLD.deltafold_calcsize.argtypes = [ctypes.c_int64, LP]
DELTAFOLD.deltafold_calcsize.restype = ctypes.c_int64
DELTAFOLD.deltafold_apply.argtypes = [ctypes.c_char_p, ctypes.c_char_p,
                                      ctypes.c_int64, LP]
DELTAFOLD.deltafold_apply.restype = ctypes.c_int
DELTAFOLD.deltafold_lfree.argtypes = [LP]
DELTAFOLD.deltafold_lfree.restype = None
DELTAFOLD.deltafold_fold.argtypes = [ctypes.c_void_p, FETCH, ctypes.c_int64,
                                     ctypes.c_int64]
DELTAFOLD.deltafold_fold.restype = LP
calcsize = DELTAFOLD.deltafold_calcsize
apply = DELTAFOLD.deltafold_apply
lfree = DELTAFOLD.deltafold_lfree

# PyDLL keeps the interpreter lock across calls and raises a pending error.
PYDELTAFOLD = ctypes.PyDLL(deltafold.__file__)
PYDELTAFOLD.cpygetitem.argtypes = [ctypes.py_object, ctypes.c_int64]
PYDELTAFOLD.cpygetitem.restype = LP
PYDELTAFOLD.deltafold_fold.argtypes = [ctypes.py_object, ctypes.c_void_p,
                                       ctypes.c_int64, ctypes.c_int64]
PYDELTAFOLD.deltafold_fold.restype = LP


def decode(delta: Any) -> tuple[int, Any]:
    out = LP()
    rc = DELTAFOLD.deltafold_decode(delta, len(delta), ctypes.byref(out))
    return rc, out


def fragments(lst: Any) -> list[tuple[int, int, Any]]:
    """Live fragments of a list as (start, end, data bytes, or len when it
    is negative)."""
    n = (addr(lst.contents.tail) - addr(lst.contents.head)) \
        // ctypes.sizeof(Fragment)
    res = []
    for i in range(n):
        f = lst.contents.head[i]
        data = ctypes.string_at(f.data, f.len) if f.len > 0 else b""
        res.append((f.start, f.end, f.len if f.len < 0 else data))
    return res


def make_list(frags: list[tuple[int, int, int]]) -> tuple[Any, Any]:
    """A hand-made list of (start, end, len) fragments without data, header
    and array allocated by ctypes (never freed by the engine): for feeding
    the size and apply operations. Keep the second item alive as long as
    the list is used."""
    arr = (Fragment * max(len(frags), 1))(
        *[Fragment(s, e, n, None) for s, e, n in frags])
    lst = FragmentList(arr, arr, ctypes.cast(
        ctypes.addressof(arr) + ctypes.sizeof(Fragment) * len(frags),
        ctypes.POINTER(Fragment)))
    return ctypes.pointer(lst), arr


def fold(deltas: list[bytes], fail: tuple[int, ...] = ()) -> tuple[Any, list[int]]:
    """Folds the deltas; returns (result list or None, positions fetched)."""
    calls: list[int] = []

    def fetch(_: object, pos: int) -> Optional[int]:
        calls.append(pos)
        if pos in fail:
            return None
        rc, out = decode(deltas[pos])
        assert rc == 0
        return addr(out)

    cb = FETCH(fetch)
    res = DELTAFOLD.deltafold_fold(None, cb, 0, len(deltas))
    return (res if res else None), calls


# -- the allocation-fault seam of test builds (QV_FAULTS=ON) ----------------

FAULTS_PATH = Path(deltafold.__file__).with_name("libqv_faults.so")


def faults() -> Any:
    """The fault switch the modules of a test build share; None elsewhere.
    qv_faults_arm(k) fails the k-th engine allocation from now on (-1: none);
    qv_faults_armed() says whether that one is still to come."""
    if not FAULTS_PATH.exists():
        return None
    lib = ctypes.CDLL(str(FAULTS_PATH))  # the copy the modules already use
    lib.qv_faults_arm.argtypes = [ctypes.c_int64]
    lib.qv_faults_arm.restype = None
    lib.qv_faults_armed.restype = ctypes.c_int
    return lib


def heap_in_use() -> int:
    """Bytes allocated on the C heap: the sanitizer's count when its runtime
    is loaded, glibc's otherwise."""
    try:
        fn: Callable[[], int] = libc.__sanitizer_get_current_allocated_bytes
        fn.restype = ctypes.c_size_t  # type: ignore[attr-defined]
        return fn()
    except AttributeError:
        pass
    info = libc.mallinfo2
    info.restype = ctypes.c_size_t * 10
    got = info()
    return int(got[7] + got[4])  # uordblks + hblkhd
