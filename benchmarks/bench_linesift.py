"""Line diff speed: ``linesift.linesift`` and ``linesift.blocks`` against
difflib's matching blocks (in process) and GNU diff / git diff --no-index
(whole processes), timed side by side in one run.

    python benchmarks/bench_linesift.py [--quick] [--source FILE] [--no-env]

Every case runs twice: with the default allocator, then (in a child process
of this script) with MALLOC_MMAP_THRESHOLD_ and MALLOC_TRIM_THRESHOLD_ set to
1 GiB, which the peer processes inherit too. Times are medians; ratios are
peer time / our time (above 1 means we are faster).

Importable: ``run(quick=False, source=None)`` returns the rows.
"""
from __future__ import annotations

import argparse
import difflib
import json
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import NamedTuple, Optional

from quorvan.cext import linesift

MALLOC_ENV = {"MALLOC_MMAP_THRESHOLD_": "1073741824",
              "MALLOC_TRIM_THRESHOLD_": "1073741824"}


class Row(NamedTuple):
    name: str              # case
    size: int              # lines in the source text
    linesift: float        # seconds, median of in-process calls
    blocks: float
    difflib: Optional[float]   # None: not measured
    diff: Optional[float]      # whole process
    git: Optional[float]       # whole process


# ---- texts -----------------------------------------------------------------

C_WORDS = ["buf", "len", "ctx", "node", "count", "flags", "ret", "p", "q",
           "size", "entry", "state", "err", "head", "tail", "key", "val"]


def synthetic_c(nlines: int, rng: random.Random) -> list[bytes]:
    """C-like source: functions with braces, blank lines, repeated idioms
    (so popular lines and near-duplicates occur as in real code)."""
    out: list[bytes] = []
    fn = 0
    while len(out) < nlines:
        fn += 1
        args = ", ".join(f"int {rng.choice(C_WORDS)}{i}"
                         for i in range(rng.randint(1, 3)))
        out += [b"", b"/* helper %d */" % fn,
                f"static int fn_{fn}({args})".encode(), b"{"]
        for _ in range(rng.randint(4, 30)):
            w, v = rng.choice(C_WORDS), rng.choice(C_WORDS)
            depth = b"\t" * rng.randint(1, 3)
            form = rng.randrange(8)
            if form == 0:
                out.append(depth + f"if ({w} < {v}->{rng.choice(C_WORDS)})".encode())
                out += [depth + b"\treturn -1;"]
            elif form == 1:
                out.append(depth + f"for (i = 0; i < {w}; i++) {{".encode())
                out.append(depth + f"\t{v}[i] = {w}[i] + {rng.randint(0, 99)};".encode())
                out.append(depth + b"}")
            elif form == 2:
                out.append(b"")
            else:
                out.append(depth + f"{w} = {v} + {rng.randint(0, 999)};".encode())
        out += [b"\treturn ret;", b"}"]
    return [line + b"\n" for line in out[:nlines]]


def revise(lines: list[bytes], nedits: int, rng: random.Random,
           tag: bytes = b"") -> list[bytes]:
    """A revision: nedits scattered insertions, deletions and changes of one
    to three lines each."""
    out = list(lines)
    for e in range(nedits):
        p = rng.randrange(len(out))
        n = rng.randint(1, 3)
        kind = rng.randrange(3)
        new = [b"\tedit%s_%d_%d = %d;\n" % (tag, e, k, rng.randrange(1000))
               for k in range(n)]
        if kind == 0:
            out[p:p] = new
        elif kind == 1:
            del out[p:p + n]
        else:
            out[p:p + n] = new
    return out


# ---- timing ----------------------------------------------------------------

def median_time(fn, min_runs=3, max_runs=9, budget=0.5) -> float:
    times: list[float] = []
    start = time.perf_counter()
    while len(times) < min_runs or (len(times) < max_runs and
                                    time.perf_counter() - start < budget):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times)


def process_time(argv: list[str]) -> Optional[float]:
    if shutil.which(argv[0]) is None:
        return None

    def call():
        subprocess.run(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    return median_time(call, min_runs=3, max_runs=5, budget=1.0)


def measure(name: str, a: list[bytes], b: list[bytes], tmp: Path,
            with_difflib: bool) -> Row:
    sa, sb = b"".join(a), b"".join(b)
    fa, fb = tmp / "old", tmp / "new"
    fa.write_bytes(sa)
    fb.write_bytes(sb)
    t_ls = median_time(lambda: linesift.linesift(sa, sb))
    t_bl = median_time(lambda: linesift.blocks(sa, sb))
    t_dl = None
    if with_difflib:
        t_dl = median_time(
            lambda: difflib.SequenceMatcher(None, a, b).get_matching_blocks(),
            min_runs=1, max_runs=5, budget=2.0)
    t_diff = process_time(["diff", str(fa), str(fb)])
    t_git = process_time(["git", "diff", "--no-index", "--no-color",
                          "--no-ext-diff", str(fa), str(fb)])
    return Row(name, len(a), t_ls, t_bl, t_dl, t_diff, t_git)


# ---- cases -----------------------------------------------------------------

def cases(quick: bool, source: Optional[Path]):
    """Yields (name, source lines, target lines, measure difflib?)."""
    rng = random.Random(20261208)

    # (a) successive revisions of a large source file, a few dozen lines
    # changed each time.
    if source is not None:
        base = source.read_bytes().splitlines(keepends=True)
        label = f"revisions of {source.name}"
    else:
        base = synthetic_c(13000, rng)
        label = "C revisions"
    revs = [base]
    for r in range(2 if quick else 4):
        revs.append(revise(revs[-1], 12, rng, b"r%d" % r))
    for r in range(len(revs) - 1):
        yield f"{label} {r}->{r + 1}", revs[r], revs[r + 1], True

    # (b) a large text with a few hundred scattered edits, at three sizes
    # for the growth (the same 300 edits at each size).
    for n in (10_000, 100_000) if quick else (10_000, 100_000, 1_000_000):
        text = [b"%d %s\n" % (rng.randrange(10**9), rng.choice(C_WORDS).encode())
                for _ in range(n)]
        yield "300 scattered edits", text, revise(text, 300, rng), True

    # (c) texts dominated by one popular line.
    n = 100_000 if quick else 200_000
    text = [b"}\n" if rng.random() < 0.9 else b"x%d\n" % rng.randrange(n)
            for _ in range(n)]
    yield "one popular line", text, revise(text, 200, rng), True

    # (d) lines that differ only in a trailing number.
    n = 1_000_000
    text = [b"line %d\n" % i for i in range(1, n + 1)]
    yield "trailing numbers", text, revise(text, 5, rng), False


def run(quick: bool = False, source: Optional[Path] = None) -> list[Row]:
    rows = []
    with tempfile.TemporaryDirectory() as d:
        for name, a, b, with_difflib in cases(quick, source):
            rows.append(measure(name, a, b, Path(d), with_difflib))
    return rows


# ---- report ----------------------------------------------------------------

def ratio(peer: Optional[float], ours: float) -> str:
    return "-" if peer is None else f"{peer / ours:7.1f}x"


def print_rows(title: str, rows: list[Row]) -> None:
    print(f"\n== {title}")
    print(f"{'case':<28}{'lines':>9}{'linesift':>11}{'blocks':>10}"
          f"{'difflib/':>10}{'diff/':>10}{'git/':>10}")
    for r in rows:
        print(f"{r.name:<28}{r.size:>9}{r.linesift * 1e3:>9.2f}ms"
              f"{r.blocks * 1e3:>8.2f}ms{ratio(r.difflib, r.linesift):>10}"
              f"{ratio(r.diff, r.linesift):>10}{ratio(r.git, r.linesift):>10}")
    grow = [r for r in rows if r.name == "300 scattered edits"]
    for small, big in zip(grow, grow[1:]):
        print(f"growth {small.size} -> {big.size} lines: "
              f"{big.linesift / small.linesift:.1f}x time for "
              f"{big.size / small.size:.0f}x lines")
    print("ratios: peer time / linesift time (in-process median; peers "
          "diff and git are whole processes)")


def main(argv: Optional[list[str]] = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="smaller, faster run")
    ap.add_argument("--source", type=Path,
                    help="a large source file to revise (default: synthetic C)")
    ap.add_argument("--no-env", action="store_true",
                    help="skip the run under the malloc thresholds")
    ap.add_argument("--json", action="store_true", help=argparse.SUPPRESS)
    args = ap.parse_args(argv)

    rows = run(args.quick, args.source)
    if args.json:
        json.dump([r._asdict() for r in rows], sys.stdout)
        return 0
    print_rows("default allocator", rows)
    if not args.no_env:
        child = [sys.executable, __file__, "--json"]
        if args.quick:
            child.append("--quick")
        if args.source:
            child += ["--source", str(args.source)]
        out = subprocess.run(child, env={**os.environ, **MALLOC_ENV},
                             capture_output=True, text=True, check=True).stdout
        print_rows(" ".join(f"{k}={v}" for k, v in MALLOC_ENV.items()),
                   [Row(**r) for r in json.loads(out)])
    return 0


if __name__ == "__main__":
    sys.exit(main())
