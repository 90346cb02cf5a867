"""Shared pieces of the benchmark scripts: timers, inputs, peers.

Inputs come from fixed seeds so that every run measures the same texts.
Times are medians of repeated runs; peers run in the same process and the
same run as our methods, so ratios compare like with like on a loaded
machine.
"""
from __future__ import annotations

import os
import random
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
import time
from typing import Callable, Sequence

# -- timing ----------------------------------------------------------------


def median_time(fn: Callable[[], object], *, budget: float = 1.0,
                min_runs: int = 3, max_runs: int = 25) -> float:
    """Median wall time of fn() in seconds.

    Runs at least min_runs times, then stops once budget seconds are spent,
    so fast calls get many samples and slow ones the minimum.
    """
    times: list[float] = []
    spent = 0.0
    while len(times) < max_runs and (len(times) < min_runs or spent < budget):
        t0 = time.perf_counter()
        fn()
        dt = time.perf_counter() - t0
        times.append(dt)
        spent += dt
    return statistics.median(times)


def process_time(argv: Sequence[str], **kw: object) -> float:
    """Median wall time of a whole process (start-up included)."""
    def run() -> None:
        subprocess.run(argv, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, check=False)
    return median_time(run, **kw)  # type: ignore[arg-type]


def have_command(name: str) -> bool:
    return shutil.which(name) is not None


class Scratch:
    """A temporary directory for files that whole-process peers read."""

    def __init__(self) -> None:
        self.dir = tempfile.mkdtemp(prefix="qvbench-")

    def file(self, name: str, data: bytes) -> str:
        path = os.path.join(self.dir, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def close(self) -> None:
        shutil.rmtree(self.dir, ignore_errors=True)

    def __enter__(self) -> Scratch:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def note(msg: str) -> None:
    """Progress for long runs: stderr, and only on a terminal."""
    if sys.stderr.isatty():
        sys.stderr.write(f"\r\033[K{msg}")
        sys.stderr.flush()


def note_done() -> None:
    if sys.stderr.isatty():
        sys.stderr.write("\r\033[K")
        sys.stderr.flush()


# -- inputs ----------------------------------------------------------------

_TYPES = ["int", "size_t", "uint32_t", "char *", "const char *", "void *",
          "struct node *", "double", "long", "bool"]
_WORDS = ["buf", "len", "pos", "node", "next", "head", "tail", "count",
          "index", "value", "key", "hash", "size", "cap", "data", "out",
          "src", "dst", "flags", "err", "ctx", "list", "item", "state"]


def c_like_lines(n: int, seed: int) -> list[bytes]:
    """n lines that look like C source: statements, declarations, braces,
    comments and blank lines, with the repeats real code has."""
    rng = random.Random(seed)
    w = _WORDS
    out: list[bytes] = []
    depth = 0
    while len(out) < n:
        r = rng.random()
        ind = "    " * depth
        if r < 0.04 and depth < 3:
            line = (f"{ind}if ({rng.choice(w)}_{rng.randrange(50)} "
                    f"{rng.choice(['==', '!=', '<', '>='])} "
                    f"{rng.randrange(1000)}) {{")
            depth += 1
        elif r < 0.08 and depth > 0:
            depth -= 1
            line = "    " * depth + "}"
        elif r < 0.12:
            line = ""
        elif r < 0.16:
            line = f"{ind}/* {rng.choice(w)} {rng.choice(w)} " \
                   f"{rng.choice(w)} */"
        elif r < 0.30:
            line = (f"{ind}{rng.choice(_TYPES)} {rng.choice(w)}_"
                    f"{rng.randrange(500)} = {rng.randrange(100000)};")
        elif r < 0.33:
            line = f"{ind}return {rng.choice(w)}_{rng.randrange(100)};"
        else:
            line = (f"{ind}{rng.choice(w)}_{rng.randrange(500)} = "
                    f"{rng.choice(w)}({rng.choice(w)}_{rng.randrange(500)}, "
                    f"{rng.randrange(4096)});")
        out.append(line.encode() + b"\n")
    return out


def edit_lines(lines: list[bytes], nedits: int, seed: int) -> list[bytes]:
    """A next revision: nedits scattered changes (a line replaced, one to
    three lines inserted, or one or two deleted)."""
    rng = random.Random(seed)
    out = list(lines)
    for _ in range(nedits):
        i = rng.randrange(len(out) + 1)
        kind = rng.randrange(3)
        if kind == 0 and i < len(out):
            out[i] = b"    changed_%d = edit(%d);\n" % (rng.randrange(10**6), i)
        elif kind == 1:
            out[i:i] = [b"    added_%d();\n" % rng.randrange(10**6)
                        for _ in range(rng.randrange(1, 4))]
        else:
            del out[i:i + rng.randrange(1, 3)]
    return out


def revision_chain(nlines: int, nrevs: int, edits: int,
                   seed: int) -> list[bytes]:
    """nrevs successive revisions of one C-like text, as whole texts."""
    lines = c_like_lines(nlines, seed)
    revs = [b"".join(lines)]
    for k in range(1, nrevs):
        lines = edit_lines(lines, edits, seed * 1000 + k)
        revs.append(b"".join(lines))
    return revs


# -- pure-Python peers -----------------------------------------------------

_HEADER = struct.Struct(">iii")


def py_apply(text: bytes, delta: bytes) -> bytes:
    """Applies one binary delta the straightforward Python way."""
    out = []
    pos = 0
    last = 0
    unpack = _HEADER.unpack_from
    n = len(delta)
    while pos < n:
        start, end, length = unpack(delta, pos)
        pos += 12
        out.append(text[last:start])
        out.append(delta[pos:pos + length])
        pos += length
        last = end
    out.append(text[last:])
    return b"".join(out)


def py_apply_chain(base: bytes, deltas: Sequence[bytes]) -> bytes:
    """The chain applied one delta after another, each making a new text."""
    text = base
    for d in deltas:
        text = py_apply(text, d)
    return text
