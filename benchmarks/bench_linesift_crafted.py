"""Line diff on hostile and worst-case inputs, and engine for engine on a
batch of revisions: ``linesift.linesift`` in process against GNU diff and
git diff --no-index on the same files, in one run.

    python benchmarks/bench_linesift_crafted.py [--quick] [--only GROUP]
                                                [--history DIR]

Groups (each a function returning rows, for a report to call):

- ``crafted_rows``: distinct lines that all share one defined line hash, in
  three layouts (target reversed; disjoint sets; disjoint with a 256-byte
  common prefix), at 16k to 1M lines, and the same layouts without
  collisions. Before the keyed class table these took quadratic time.
- ``shape_rows``: the matching's own worst cases: lines occurring just at
  the popularity limit ("near limit"), short periodic texts ("periodic"),
  and near-limit blocks each closed by a unique anchor ("staircase").
- ``batch_rows``: 100 consecutive revisions of a ~14k-line C file (from
  --history DIR, the files in name order, else a synthetic evolving
  history), every consecutive pair diffed: ours in one process, GNU diff as
  ``diff -r -U0`` over two folders, git as ``git diff --no-index
  --histogram`` over the same folders; per pair.

Times are medians of a few runs (benchlib's timer), ours of in-process
calls and the peers' of whole processes, start-up included; in the batch
case one process serves all 99 pairs. Ratios are peer time / our time
(above 1: we are faster). ``report(quick)`` gives what
benchmarks/report.py shows.
"""
from __future__ import annotations

import argparse
import math
import random
import shutil
import sys
import tempfile
from pathlib import Path
from typing import NamedTuple, Optional

import benchlib
from benchlib import Results, Row as ReportRow

from quorvan.cext import linesift


class Row(NamedTuple):
    group: str
    name: str
    lines: int                 # lines in the source text
    ours: float                # seconds, median
    diff: Optional[float]      # None: not measured or not installed
    git: Optional[float]


# ---- timing ----------------------------------------------------------------

# Runs per case: at least one, at most three, fewer once two seconds are
# spent; the shapes, seconds long each, at most two.
RUNS = {"min_runs": 1, "max_runs": 3, "budget": 2.0}
SHAPE_RUNS = {"min_runs": 1, "max_runs": 2, "budget": 2.0}
BATCH_RUNS = {"min_runs": 5, "max_runs": 5}


def process_time(argv: list[str], **kw: float) -> Optional[float]:
    """Median time of a whole process; None when it is not installed."""
    if shutil.which(argv[0]) is None:
        return None
    return benchlib.process_time(argv, **kw)


GIT = ["git", "diff", "--no-index", "--no-color", "--no-ext-diff"]


def peers(a: bytes, b: bytes, tmp: Path, **kw: float):
    fa, fb = tmp / "old", tmp / "new"
    fa.write_bytes(a)
    fb.write_bytes(b)
    return (process_time(["diff", str(fa), str(fb)], **kw),
            process_time(GIT + [str(fa), str(fb)], **kw))


def measure(group: str, name: str, a: list[bytes], b: list[bytes], tmp: Path,
            **kw: float) -> Row:
    sa, sb = b"".join(a), b"".join(b)
    ours = benchlib.time_call(lambda: linesift.linesift(sa, sb), **kw).median
    return Row(group, name, len(a), ours, *peers(sa, sb, tmp, **kw))


# ---- crafted collisions ----------------------------------------------------

# Bytes 32 places apart fold into the same bits of the defined hash, and a
# pair of them with a fixed sum (here 200) keeps it: so a line of 32 free
# bytes followed by their complements has the hash of every other such line,
# carries aside (they spoil about one line in a thousand).
_COMPLEMENT = bytes(200 - c if 97 <= c <= 109 else c for c in range(256))
_DIGITS = "abcdefghijklm"


def colliding(n: int, start: int = 0, prefix: bytes = b"") -> list[bytes]:
    out = []
    for k in range(start, start + n):
        head, v = [], k + 1
        for _ in range(7):             # 13^7 > 6e7 distinct lines
            head.append(_DIGITS[v % 13])
            v //= 13
        x = "".join(head).encode() + b"a" * 25
        out.append(prefix + x + x.translate(_COMPLEMENT) + b"\n")
    return out


def ordinary(n: int, start: int = 0, prefix: bytes = b"") -> list[bytes]:
    """The same layout without collisions: lines of the same length."""
    return [prefix + b"%064d\n" % (k + 1) for k in range(start, start + n)]


def crafted_pairs(n: int, make) -> list[tuple[str, list[bytes], list[bytes]]]:
    a = make(n)
    return [("reversed", a, a[::-1]),
            ("disjoint", a, make(n, n)),
            ("disjoint, 256-byte prefix", make(n, 0, b"p" * 256),
             make(n, n, b"p" * 256))]


def crafted_rows(quick: bool = False) -> list[Row]:
    sizes = (16_000, 64_000) if quick else (16_000, 64_000, 256_000, 1_000_000)
    rows = []
    with tempfile.TemporaryDirectory() as d:
        for n in sizes:
            for kind, make in (("colliding", colliding), ("ordinary", ordinary)):
                for layout, a, b in crafted_pairs(n, make):
                    benchlib.note(f"crafted: {n} lines, {kind}, {layout}")
                    rows.append(measure("crafted", f"{kind}, {layout}", a, b,
                                        Path(d), **RUNS))
    return rows


# ---- the matching's worst cases -----------------------------------------------

def limit(bn: int) -> int:
    return bn // 1000 if bn >= 31000 else 1000000 // (bn + 1)


def near_limit(n: int, seed: int) -> list[bytes]:
    """Every line occurs exactly L times, the most that still seeds matches;
    source and target are independent shuffles of the same lines."""
    k = n // limit(n)
    lines = [b"n%d\n" % (i % k) for i in range(n)]
    random.Random(seed).shuffle(lines)
    return lines


def periodic(n: int) -> list[bytes]:
    """Period n / L, so every line occurs L times."""
    p = n // limit(n)
    return [b"p%d\n" % (i % p) for i in range(n)]


def staircase(n: int, seed: int) -> list[bytes]:
    """Blocks of 50 near-limit lines, each closed by a unique anchor that
    both texts share."""
    rng = random.Random(seed)
    k = n // limit(n)
    out: list[bytes] = []
    while len(out) < n:
        out += [b"s%d\n" % rng.randrange(k) for _ in range(50)]
        out.append(b"anchor %d\n" % len(out))
    return out[:n]


def shape_rows(quick: bool = False) -> list[Row]:
    rows = []
    cases = [("near limit", 250_000), ("periodic", 1_000_000),
             ("staircase", 500_000)]
    if not quick:
        cases += [("near limit", 500_000), ("periodic", 2_000_000)]
    with tempfile.TemporaryDirectory() as d:
        for name, n in cases:
            if name == "near limit":
                a, b = near_limit(n, 1), near_limit(n, 2)
            elif name == "periodic":
                a = periodic(n)
                b = a[7:] + a[:7]
            else:
                a, b = staircase(n, 1), staircase(n, 2)
            benchlib.note(f"shapes: {name}, {n} lines")
            rows.append(measure("shapes", name, a, b, Path(d), **SHAPE_RUNS))
    return rows


# ---- engine for engine: a batch of revisions ----------------------------------

def evolve(lines: list[bytes], rng: random.Random, rev: int) -> list[bytes]:
    """One commit: one to six hunks of one to eight changed, added or
    removed lines, as a typical commit to a large source file
    (benchlib.edit_lines makes a fixed number of one- to three-line edits)."""
    out = list(lines)
    for e in range(rng.randint(1, 6)):
        benchlib.splice(out, rng, 8, lambda k: b"    v%d_%d_%d = step_%d(%d);\n"
                        % (rev, e, k, rng.randrange(17), rng.randrange(100)))
    return out


def history(count: int, source: Optional[Path]) -> tuple[str, list[bytes]]:
    if source is not None:
        files = sorted(f for f in source.iterdir() if f.is_file())[:count]
        return f"{len(files)} revisions from {source}", [f.read_bytes() for f in files]
    rng = random.Random(20261208)
    revs = [benchlib.c_like_lines(14_000, rng)]
    while len(revs) < count:
        revs.append(evolve(revs[-1], rng, len(revs)))
    return f"{count} synthetic revisions", [b"".join(r) for r in revs]


def batch_rows(quick: bool = False, source: Optional[Path] = None) -> list[Row]:
    label, texts = history(30 if quick else 100, source)
    pairs = list(zip(texts, texts[1:]))

    def ours():
        for a, b in pairs:
            linesift.linesift(a, b)

    benchlib.note(f"batch: {label}")
    t_ours = benchlib.time_call(ours, **BATCH_RUNS).median / len(pairs)
    with tempfile.TemporaryDirectory() as d:
        old, new = Path(d) / "old", Path(d) / "new"
        old.mkdir()
        new.mkdir()
        for k, (a, b) in enumerate(pairs):
            (old / f"f{k:03d}.c").write_bytes(a)
            (new / f"f{k:03d}.c").write_bytes(b)
        t_diff = process_time(["diff", "-r", "-U0", str(old), str(new)],
                              **BATCH_RUNS)
        t_git = process_time(GIT + ["--histogram", "-U0", str(old), str(new)],
                             **BATCH_RUNS)
    per = [None if t is None else t / len(pairs) for t in (t_diff, t_git)]
    lines = sum(t.count(b"\n") for t in texts) // len(texts)
    return [Row("batch", label + ", per pair", lines, t_ours, *per)]


# ---- report ------------------------------------------------------------------

def ratio(peer: Optional[float], ours: float) -> str:
    return "-" if peer is None else f"{peer / ours:.2f}x"


def summary(rows: list[Row]) -> list[str]:
    """What the crafted rows say of collisions: their cost against the same
    layout without them, and how time grows with colliding lines."""
    out = []
    coll = {r.lines: r.ours for r in rows
            if r.group == "crafted" and r.name == "colliding, disjoint"}
    plain = {r.lines: r.ours for r in rows
             if r.group == "crafted" and r.name == "ordinary, disjoint"}
    if 64_000 in coll and 64_000 in plain:
        out.append(f"64k colliding / ordinary (disjoint):"
                   f" {coll[64_000] / plain[64_000]:.2f}x")
    if len(coll) > 1:
        lo, hi = min(coll), max(coll)
        out.append(f"growth exponent {lo} -> {hi} colliding lines (disjoint):"
                   f" {math.log(coll[hi] / coll[lo]) / math.log(hi / lo):.2f}")
    return out


def print_rows(rows: list[Row]) -> None:
    print(f"{'group':<8}{'case':<38}{'lines':>9}{'ours':>11}{'GNU diff':>11}"
          f"{'git':>11}{'diff/ours':>10}{'git/ours':>10}")
    for r in rows:
        fmt = [("-" if t is None else f"{t * 1e3:9.2f}ms") for t in (r.diff, r.git)]
        print(f"{r.group:<8}{r.name:<38}{r.lines:>9}{r.ours * 1e3:>9.2f}ms"
              f"{fmt[0]:>11}{fmt[1]:>11}{ratio(r.diff, r.ours):>10}"
              f"{ratio(r.git, r.ours):>10}")
    for line in summary(rows):
        print(line)
    print("times: median of runs; peers are whole processes (batch: one "
          "process for all pairs); ratios: peer / ours")


SECTIONS = {"crafted": "line diff, colliding lines (bench_linesift_crafted)",
            "shapes": "line diff, worst shapes (bench_linesift_crafted)",
            "batch": "line diff, batch of revisions (bench_linesift_crafted)"}


def report(quick: bool = False) -> Results:
    """What benchmarks/report.py shows of this script: every crafted, shape
    and batch row, ours against GNU diff and against git."""
    res = Results()
    rows = crafted_rows(quick) + shape_rows(quick) + batch_rows(quick)
    for r in rows:
        case = f"{r.name}, {r.lines:,} lines"
        batch = r.group == "batch"
        for peer, t, cmd in (("GNU diff" + (" -r -U0" if batch else ""),
                              r.diff, "diff"),
                             ("git diff --no-index"
                              + (" --histogram" if batch else ""), r.git,
                              "git")):
            res.rows.append(ReportRow(
                SECTIONS[r.group], case, "linesift", r.ours,
                peer + (" (one process, all pairs)" if batch else ""), t,
                "" if t is not None else f"{cmd} is not on PATH"))
    res.notes += [f"bench_linesift_crafted.py: {line}."
                  for line in summary(rows)]
    res.notes.append("bench_linesift_crafted.py: the batch rows are per pair"
                     " of consecutive revisions: ours one call per pair in"
                     " this process, each peer one process over two folders"
                     " of all pairs.")
    return res


def main(argv: Optional[list[str]] = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="smaller, faster run")
    ap.add_argument("--only", choices=["crafted", "shapes", "batch"])
    ap.add_argument("--history", type=Path,
                    help="folder of consecutive revisions of one file")
    args = ap.parse_args(argv)
    rows: list[Row] = []
    if args.only in (None, "crafted"):
        rows += crafted_rows(args.quick)
    if args.only in (None, "shapes"):
        rows += shape_rows(args.quick)
    if args.only in (None, "batch"):
        rows += batch_rows(args.quick, args.history)
    print_rows(rows)
    return 0


if __name__ == "__main__":
    sys.exit(main())
