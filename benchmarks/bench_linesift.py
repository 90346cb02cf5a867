"""Line diff speed: ``linesift.linesift`` and ``linesift.blocks`` against
difflib's matching blocks (in process) and GNU diff / git diff --no-index
(whole processes), timed side by side in one run.

    python benchmarks/bench_linesift.py [--quick] [--source FILE] [--no-env]

Every case runs twice: with the default allocator, then (in a child process
of this script) with MALLOC_MMAP_THRESHOLD_ and MALLOC_TRIM_THRESHOLD_ set to
1 GiB, which the peer processes inherit too. Times are medians; ratios are
peer time / our time (above 1 means we are faster).

Importable: ``run(quick=False, source=None)`` returns the rows, and
``report(quick)`` what benchmarks/report.py shows: those rows and the growth
sweep against difflib, cdifflib, git and GNU diff that it plots.
"""
from __future__ import annotations

import argparse
import difflib
import json
import os
import random
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path
from typing import Callable, NamedTuple, Optional

import benchlib
from benchlib import Results, Row as ReportRow, median_time, note

from quorvan.cext import deltafold, linesift

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


# ---- texts ----------------------------------------------------------------

C_WORDS = ["buf", "len", "ctx", "node", "count", "flags", "ret", "p", "q",
           "size", "entry", "state", "err", "head", "tail", "key", "val"]


def revise(lines: list[bytes], nedits: int, rng: random.Random,
           tag: bytes = b"") -> list[bytes]:
    """A revision: nedits scattered insertions, deletions and changes of one
    to three lines each."""
    out = list(lines)
    for e in range(nedits):
        benchlib.splice(out, rng, 3, lambda k: b"\tedit%s_%d_%d = %d;\n" % (
            tag, e, k, rng.randrange(1000)))
    return out


# ---- timing ----------------------------------------------------------------

def process_time(argv: list[str]) -> Optional[float]:
    if shutil.which(argv[0]) is None:
        return None

    return benchlib.process_time(argv, min_runs=3, max_runs=5, budget=1.0)


def measure(name: str, a: list[bytes], b: list[bytes], tmp: Path,
            with_difflib: bool) -> Row:
    sa, sb = b"".join(a), b"".join(b)
    fa, fb = tmp / "old", tmp / "new"
    fa.write_bytes(sa)
    fb.write_bytes(sb)
    t_ls = median_time(lambda: linesift.linesift(sa, sb), max_runs=9,
                       budget=0.5)
    t_bl = median_time(lambda: linesift.blocks(sa, sb), max_runs=9,
                       budget=0.5)
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
        base = benchlib.c_like_lines(13000, rng)
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


# ---- the growth sweep and the rows of the report ------------------------------

def growth_sweep(res: Results, quick: bool) -> None:
    """linesift and blocks against difflib, cdifflib, git diff --no-index
    and GNU diff, from 1,000 lines up; a peer that passed
    benchlib.TIME_CAP at one size is not run at larger ones."""
    sizes, table_sizes = benchlib.sweep_sizes(quick)
    cdifflib = benchlib.optional("cdifflib")
    git = benchlib.have_command("git")
    gnu = benchlib.have_command("diff")
    for missing, why in ((cdifflib is None, "cdifflib is not installed"),
                         (not git, "git is not on PATH"),
                         (not gnu, "diff is not on PATH")):
        if missing:
            res.notes.append(f"line diff: {why}; its column is skipped.")

    peers: dict[str, Callable[[bytes, bytes], Callable[[], object]]] = {
        "difflib": lambda a, b: lambda: difflib.SequenceMatcher(
            None, a.splitlines(True), b.splitlines(True)
        ).get_matching_blocks(),
    }
    if cdifflib is not None:
        peers["cdifflib"] = lambda a, b: lambda: cdifflib.CSequenceMatcher(
            None, a.splitlines(True), b.splitlines(True)
        ).get_matching_blocks()
    capped: dict[str, int] = {}
    with benchlib.Scratch() as scratch:
        for n in sizes:
            note(f"line diff: {n} lines")
            lines = benchlib.c_like_lines(n, seed=n)
            a = b"".join(lines)
            # A few hundred scattered edits at a million lines.
            b = b"".join(benchlib.edit_lines(lines, max(3, n // 3000),
                                             seed=n + 1))
            fa, fb = scratch.file("a", a), scratch.file("b", b)
            assert deltafold.patches(a, [linesift.linesift(a, b)]) == b
            ours = median_time(lambda: linesift.linesift(a, b))
            ours_blocks = median_time(lambda: linesift.blocks(a, b))
            res.series("diff", "linesift").append((n, ours))
            res.series("diff", "blocks").append((n, ours_blocks))
            # Each timer measures one peer and returns its median.
            timers: dict[str, Callable[[], float]] = {
                name: (lambda f: lambda: median_time(f))(make(a, b))
                for name, make in peers.items()}
            if git:
                timers["git diff --no-index"] = lambda: benchlib.process_time(
                    ["git", "diff", "--no-index", "--no-color", fa, fb])
            if gnu:
                timers["GNU diff"] = lambda: benchlib.process_time(
                    ["diff", fa, fb])
            for name, fn in timers.items():
                t: Optional[float] = None
                if name not in capped:
                    note(f"line diff: {n} lines, {name}")
                    t = fn()
                    res.series("diff", name).append((n, t))
                    if t > benchlib.TIME_CAP:
                        capped[name] = n
                if n in table_sizes:
                    ours_name = "blocks" if "difflib" in name else "linesift"
                    ours_t = ours_blocks if "difflib" in name else ours
                    res.rows.append(ReportRow(
                        "line diff", f"{n:,} lines, {max(3, n // 3000)} edits",
                        ours_name, ours_t, name, t,
                        "" if t is not None else
                        f"not run: over {benchlib.TIME_CAP:g} s at"
                        f" {capped[name]:,} lines", key=n == max(table_sizes)))


def report(quick: bool = False) -> Results:
    """What benchmarks/report.py shows of this script: the growth sweep,
    then every case of run() against its three peers."""
    res = Results()
    growth_sweep(res, quick)
    sec = "line diff (bench_linesift)"
    for r in run(quick):
        case = f"{r.name}, {r.size:,} lines"
        key = r.name.endswith("0->1") or r.name == "trailing numbers"
        res.rows.append(ReportRow(sec, case, "blocks", r.blocks,
                                  "difflib (lines split beforehand)",
                                  r.difflib, "" if r.difflib is not None
                                  else "not run: too slow at this size",
                                  key=key))
        res.rows.append(ReportRow(sec, case, "linesift", r.linesift,
                                  "GNU diff", r.diff, "" if r.diff is not None
                                  else "diff is not on PATH", key=key))
        res.rows.append(ReportRow(sec, case, "linesift", r.linesift,
                                  "git diff --no-index", r.git,
                                  "" if r.git is not None
                                  else "git is not on PATH", key=key))
    res.notes.append("bench_linesift.py also measures every case with"
                     " MALLOC_MMAP_THRESHOLD_ and MALLOC_TRIM_THRESHOLD_"
                     " raised (no fresh pages per result); run it on its own"
                     " for those figures.")
    return res


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
