"""Shared pieces of the benchmark scripts: the timer, the rows a report is
made of, inputs and small helpers.

Inputs come from fixed seeds so that every run measures the same texts.
Peers run in the same process and the same run as our methods, so ratios
compare like with like on a loaded machine. Every time is the minimum or
the median of repeated runs, and says which.
"""
from __future__ import annotations

import importlib
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, field
from pathlib import Path
from types import ModuleType
from typing import Callable, Optional, Sequence

# Scripts import the shared reference of the tests (tests/reference.py).
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))

# -- timing ----------------------------------------------------------------


@dataclass
class Timing:
    """The run times of one callable, in seconds."""
    runs: list[float]

    @property
    def min(self) -> float:
        return min(self.runs)

    @property
    def median(self) -> float:
        return statistics.median(self.runs)


def time_calls(*fns: Callable[[], object], budget: float = 1.0,
               min_runs: int = 3, max_runs: int = 25) -> list[Timing]:
    """Times the callables in turns, one round after another, so that load
    from elsewhere on the machine falls on all of them alike. Runs at least
    min_runs rounds, then stops once budget seconds are spent or max_runs
    rounds are done: fast calls get many samples and slow ones few."""
    runs: list[list[float]] = [[] for _ in fns]
    spent = 0.0
    while len(runs[0]) < max_runs and (len(runs[0]) < min_runs
                                       or spent < budget):
        for fn, out in zip(fns, runs):
            t0 = time.perf_counter()
            fn()
            dt = time.perf_counter() - t0
            out.append(dt)
            spent += dt
    return [Timing(r) for r in runs]


def time_call(fn: Callable[[], object], **kw: float) -> Timing:
    return time_calls(fn, **kw)[0]  # type: ignore[arg-type]


def median_time(fn: Callable[[], object], **kw: float) -> float:
    return time_call(fn, **kw).median


def process_time(argv: Sequence[str], **kw: float) -> float:
    """Median wall time of a whole process (start-up included)."""
    def run() -> None:
        subprocess.run(argv, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, check=False)
    return median_time(run, **kw)


# -- what a report is made of ----------------------------------------------

# A peer whose time passed this many seconds at one size of a growth sweep
# is not run at the larger sizes: the growth it has shown so far says enough.
TIME_CAP = 2.0


def sweep_sizes(quick: bool) -> tuple[list[int], set[int]]:
    """Line counts of the growth sweeps, and those that also make rows."""
    top = 100_000 if quick else 1_000_000
    sizes = [n for n in (1_000, 3_000, 10_000, 30_000, 100_000, 300_000,
                         1_000_000) if n <= top]
    return sizes, {10_000, top}


@dataclass
class Row:
    section: str
    case: str
    ours: str
    ours_s: float
    peer: str
    peer_s: Optional[float]  # None: the peer was not run (see note)
    note: str = ""
    key: bool = False     # also shown in the README's short table
    stat: str = "median"  # which statistic of repeated runs: median, min,
    # or cpu (the median of whole processes' CPU time)


@dataclass
class Results:
    rows: list[Row] = field(default_factory=list)
    # plot name -> series name -> [(input lines, seconds)]
    sweeps: dict[str, dict[str, list[tuple[int, float]]]] = \
        field(default_factory=dict)
    notes: list[str] = field(default_factory=list)

    def series(self, plot: str, name: str) -> list[tuple[int, float]]:
        return self.sweeps.setdefault(plot, {}).setdefault(name, [])


def optional(name: str) -> Optional[ModuleType]:
    try:
        return importlib.import_module(name)
    except ImportError:
        return None


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


def c_like_lines(n: int, seed: int | random.Random) -> list[bytes]:
    """n lines that look like C source: statements, declarations, braces,
    comments and blank lines, with the repeats real code has."""
    rng = seed if isinstance(seed, random.Random) else random.Random(seed)
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


def splice(out: list[bytes], rng: random.Random, most: int,
           make: Callable[[int], bytes]) -> None:
    """One edit in place: at a random line, insert, delete or replace one to
    most lines; make(k) gives the k-th new line."""
    p = rng.randrange(len(out))
    n = rng.randint(1, most)
    kind = rng.randrange(3)
    new = [make(k) for k in range(n)]
    if kind == 0:
        out[p:p] = new
    elif kind == 1:
        del out[p:p + n]
    else:
        out[p:p + n] = new


def revision_chain(nlines: int, nrevs: int, edits: int,
                   seed: int) -> list[bytes]:
    """nrevs successive revisions of one C-like text, as whole texts."""
    lines = c_like_lines(nlines, seed)
    revs = [b"".join(lines)]
    for k in range(1, nrevs):
        lines = edit_lines(lines, edits, seed * 1000 + k)
        revs.append(b"".join(lines))
    return revs
