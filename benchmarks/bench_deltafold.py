"""Speed of deltafold.patches on chains of line-edit deltas.

One command: ``python benchmarks/bench_deltafold.py`` prints, for a 10k-line
and a 1M-line base and chains of 1, 10, 100 and 1000 deltas:

- ``patches``: one call folding and applying the whole chain;
- ``seq-py``: the same chain applied one delta at a time in pure Python
  (memoryview slices joined, one copy per delta);
- ``copy``: ``bytes(bytearray(x))`` of the final text, the memory floor;
- ``fold``: patches minus patches(base, [b""]) (decode + fold + size), per
  total fragment F and per F x log2(chain length k), and a least-squares
  fit fold ~ a F + b F log2 k on the 10k-line base.

It runs twice: with the default allocator and, in a child process, with
MALLOC_MMAP_THRESHOLD_ / MALLOC_TRIM_THRESHOLD_ raised so that large objects
reuse heap pages instead of faulting in fresh ones. Fixed seeds throughout;
the texts are benchlib's C-like lines. Times are minima of repeated runs.
Import it and call ``run()`` for the rows as dicts, or ``report(quick)`` for
what benchmarks/report.py shows: these chains, the patch-chain growth sweep
against one-at-a-time patching, pure Python and bsdiff4, and one delta
against bsdiff4.

Deltas are made by the line diff module over a window around each edit
(a few lines replaced, inserted or deleted at 1 to 3 places per delta), with
their offsets moved to the whole text: diffing the whole 1M-line text 1000
times would take minutes.
"""
from __future__ import annotations

import argparse
import json
import math
import os
import random
import struct
import subprocess
import sys
from typing import Callable, Optional

import numpy as np

import benchlib
from benchlib import Results, Row, median_time, note
from testkit.reference import count_fragments, shift

from quorvan.cext import deltafold, linesift

BIG_HEAP = {"MALLOC_MMAP_THRESHOLD_": "1073741824",
            "MALLOC_TRIM_THRESHOLD_": "1073741824"}


def make_line(rng):
    return benchlib.c_like_lines(1, rng)[0]


def make_base(nlines, seed=1):
    return benchlib.c_like_lines(nlines, seed)


def make_chain(lines, k, seed=2, window=12):
    """k deltas of a few line edits each, made by the line diff module; the
    input list of lines is left alone."""
    rng = random.Random(seed)
    lines = list(lines)
    lens = np.fromiter((len(x) for x in lines), dtype=np.int64,
                       count=len(lines))
    chain = []
    for _ in range(k):
        nsites = rng.randint(1, 3)
        span = len(lines) // nsites
        # One site per slice of the text, at least a window apart; handled
        # from the last one back so earlier offsets stay those of the source.
        sites = [i * span + rng.randrange(max(span - window, 1))
                 for i in range(nsites)]
        parts = []
        for at in reversed(sites):
            old = lines[at:at + window]
            new = list(old)
            for _ in range(rng.randint(1, 3)):
                op = rng.randrange(3)
                j = rng.randrange(len(new) + (op == 1))
                if op == 0 and new:
                    new[j] = make_line(rng)
                elif op == 1:
                    new.insert(j, make_line(rng))
                elif new:
                    del new[j]
            off = int(lens[:at].sum())
            parts.append(shift(linesift.linesift(b"".join(old),
                                                 b"".join(new)), off))
            lines[at:at + len(old)] = new
            lens = np.concatenate((lens[:at], np.fromiter(
                (len(x) for x in new), dtype=np.int64, count=len(new)),
                lens[at + len(old):]))
        chain.append(b"".join(reversed(parts)))
    return chain


def py_apply(text, delta, view=False):
    """One delta applied the plain Python way. With view, the source
    stretches are memoryview slices, so each byte is copied once, by the
    join; without, bytes slices, which copy it twice."""
    src = memoryview(text) if view else text
    out = []
    last = p = 0
    unpack = struct.unpack_from
    while p < len(delta):
        s, e, n = unpack(">lll", delta, p)
        p += 12
        out.append(src[last:s])
        out.append(delta[p:p + n])
        p += n
        last = e
    out.append(src[last:])
    return b"".join(out)


def py_apply_chain(base, deltas, view=False):
    """The chain applied one delta after another, each making a new text."""
    text = base
    for d in deltas:
        text = py_apply(text, d, view)
    return text


def seq_py(base, chain):
    return py_apply_chain(base, chain, view=True)


def best(fn, budget=0.3):
    """Minimum of repeated runs within about budget seconds."""
    return benchlib.time_call(fn, budget=budget, min_runs=3, max_runs=50).min


def run(sizes=(10_000, 1_000_000), chains=(1, 10, 100, 1000)):
    """Rows of timings (seconds) and ratios, one per base size and chain."""
    rows = []
    for nlines in sizes:
        lines = make_base(nlines)
        base = b"".join(lines)
        full = make_chain(lines, max(chains))
        budget = 0.3 if len(base) < 2**22 else 1.5
        floor = best(lambda: deltafold.patches(base, [b""]), budget)
        for k in chains:
            chain = full[:k]
            result = deltafold.patches(base, chain)
            want = seq_py(base, chain)
            assert result == want, "patches disagrees with the reference"
            t_patch = best(lambda: deltafold.patches(base, chain), budget)
            t_seq = best(lambda: seq_py(base, chain), budget)
            t_copy = best(lambda: bytes(bytearray(result)), budget)
            frags = sum(count_fragments(d) for d in chain)
            fold = max(t_patch - floor, 0.0)
            rows.append({
                "lines": nlines, "bytes": len(base), "chain": k,
                "fragments": frags, "patches": t_patch, "seq_py": t_seq,
                "copy": t_copy, "fold": fold,
                "seq_over_patches": t_seq / t_patch,
                "patches_over_copy": t_patch / t_copy,
                "fold_ns_per_frag": fold / frags * 1e9,
                "fold_ns_per_frag_log": (fold / (frags * math.log2(k)) * 1e9
                                         if k > 1 else None),
            })
    return rows


# -- the patch-chain sweep and one delta against bsdiff4 -------------------

CHAIN = 32  # deltas per chain in the sweep


def patch_sweep(res: Results, quick: bool, bsdiff_max: int = 30_000) -> None:
    """patches on chains of CHAIN deltas against one-at-a-time patching,
    pure Python and bsdiff4, from 1,000 lines up."""
    sizes, table_sizes = benchlib.sweep_sizes(quick)
    bsdiff4 = benchlib.optional("bsdiff4")
    if bsdiff4 is None:
        res.notes.append("patch chain: bsdiff4 is not installed; its column"
                         " is skipped.")
    capped: dict[str, int] = {}
    for n in sizes:
        note(f"patch chain: {n} lines")
        revs = benchlib.revision_chain(n, CHAIN + 1, max(2, n // 5000),
                                       seed=7 * n)
        base, last = revs[0], revs[-1]
        deltas = [linesift.linesift(x, y) for x, y in zip(revs, revs[1:])]
        assert deltafold.patches(base, deltas) == last
        assert py_apply_chain(base, deltas) == last

        def one_by_one() -> bytes:
            text = base
            for d in deltas:
                text = deltafold.patches(text, [d])
            return text

        ours = median_time(lambda: deltafold.patches(base, deltas))
        res.series("patch", "patches (folded chain)").append((n, ours))
        timers: dict[str, Optional[Callable[[], object]]] = {
            "patches, one delta at a time": one_by_one,
            "pure Python (bytes slices), one at a time":
                lambda: py_apply_chain(base, deltas),
        }
        if bsdiff4 is not None:
            timers["bsdiff4, one at a time"] = None
        if bsdiff4 is not None and n <= bsdiff_max:
            note(f"patch chain: {n} lines, making bsdiff4 deltas")
            bdeltas = [bsdiff4.diff(x, y) for x, y in zip(revs, revs[1:])]

            def bs_chain() -> bytes:
                text = base
                for d in bdeltas:
                    text = bsdiff4.patch(text, d)
                return text
            assert bs_chain() == last
            timers["bsdiff4, one at a time"] = bs_chain
        del revs
        for name, fn in timers.items():
            t = None
            why = ""
            if name in capped:
                why = (f"not run: over {benchlib.TIME_CAP:g} s at"
                       f" {capped[name]:,} lines")
            elif fn is None:
                why = ("not run: making its deltas takes too long past"
                       f" {bsdiff_max:,} lines")
            else:
                note(f"patch chain: {n} lines, {name}")
                t = median_time(fn)
                res.series("patch", name).append((n, t))
                if t > benchlib.TIME_CAP:
                    capped[name] = n
            if n in table_sizes:
                bs = name.startswith("bsdiff4")
                res.rows.append(Row(
                    "patch chain", f"{n:,} lines, {CHAIN} deltas", "patches",
                    ours, name, t, why,
                    key=n == (min(table_sizes) if bs else max(table_sizes))))


def delta_vs_bsdiff(res: Results) -> None:
    """One 13,000-line pair: making and applying the delta, and its size."""
    bsdiff4 = benchlib.optional("bsdiff4")
    lines = benchlib.c_like_lines(13000, seed=13)
    a = b"".join(lines)
    b = b"".join(benchlib.edit_lines(lines, 40, seed=14))
    d = linesift.linesift(a, b)
    case = f"13,000 lines ({len(a):,} bytes), 40 edits"
    if bsdiff4 is None:
        res.notes.append("delta size: bsdiff4 is not installed; skipped.")
        return
    note("one delta: bsdiff4")
    bd = bsdiff4.diff(a, b)
    res.rows.append(Row("one delta", case + ": make", "linesift",
                        median_time(lambda: linesift.linesift(a, b)),
                        "bsdiff4.diff",
                        median_time(lambda: bsdiff4.diff(a, b)), key=True))
    res.rows.append(Row("one delta", case + ": apply", "patches",
                        median_time(lambda: deltafold.patches(a, [d])),
                        "bsdiff4.patch",
                        median_time(lambda: bsdiff4.patch(a, bd)), key=True))
    res.notes.append(
        f"delta size on the {case} pair: linesift {len(d):,} bytes"
        f" (uncompressed, line-granular), bsdiff4 {len(bd):,} bytes"
        f" (bzip2-compressed); {len(d) / len(bd):.1f}x.")


def report(quick: bool = False) -> Results:
    """What benchmarks/report.py shows of this script."""
    res = Results()
    patch_sweep(res, quick)
    delta_vs_bsdiff(res)
    runs: list[tuple[tuple[int, ...], tuple[int, ...]]] = [
        ((10_000,), (1, 10, 100, 1000))]
    if not quick:
        # The pure-Python peer needs seconds per run for 1000 deltas on a
        # million lines; 100 deltas show the same.
        runs.append(((1_000_000,), (1, 10, 100)))
    for sizes, chains in runs:
        for r in run(sizes, chains):
            case = (f"{r['lines']:,} lines, {r['chain']} deltas"
                    f" ({r['fragments']:,} fragments)")
            res.rows.append(Row("patch chain (bench_deltafold)", case,
                                "patches", r["patches"],
                                "pure Python (memoryview slices), one at a"
                                " time", r["seq_py"],
                                key=(sizes, chains) == runs[-1]
                                and r["chain"] == max(chains), stat="min"))
    return res


def fold_fit(rows, nlines):
    """Least-squares fit fold ~ a*F + b*F*log2(k) over the chains k > 1 of
    one base: a is the per-fragment fetch and decode cost, b the cost of one
    fragment in one merge level (both in ns)."""
    pts = [r for r in rows if r["lines"] == nlines and r["chain"] > 1]
    if len(pts) < 2:
        return None
    x = np.array([[r["fragments"], r["fragments"] * math.log2(r["chain"])]
                  for r in pts])
    y = np.array([r["fold"] for r in pts])
    (a, b), *_ = np.linalg.lstsq(x, y, rcond=None)
    return a * 1e9, b * 1e9


def show(rows, title):
    print(f"\n{title}")
    print(f"{'lines':>9} {'MB':>6} {'chain':>5} {'frags':>6} {'patches':>10} "
          f"{'seq-py':>10} {'copy':>10} {'seq/patch':>9} {'patch/copy':>10} "
          f"{'fold ns/frag':>12} {'ns/(f*lg k)':>11}")
    for r in rows:
        lg = r["fold_ns_per_frag_log"]
        print(f"{r['lines']:>9} {r['bytes'] / 1e6:>6.2f} {r['chain']:>5} {r['fragments']:>6} "
              f"{r['patches'] * 1e3:>8.3f}ms {r['seq_py'] * 1e3:>8.2f}ms "
              f"{r['copy'] * 1e3:>8.3f}ms {r['seq_over_patches']:>8.1f}x "
              f"{r['patches_over_copy']:>9.2f}x "
              f"{r['fold_ns_per_frag']:>12.1f} "
              f"{'-' if lg is None else f'{lg:.1f}':>11}")
    # On the 1M-line base the fold (well under a millisecond) is lost in
    # the noise of copying 28 MB, so the fit uses the 10k-line base only.
    fit = fold_fit(rows, min(r["lines"] for r in rows))
    if fit:
        print(f"  fold on the {min(r['lines'] for r in rows)}-line base ~ "
              f"{fit[0]:.1f} ns x F + {fit[1]:.2f} ns x F x log2(k)")


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true",
                    help="10k-line base only")
    ap.add_argument("--json", action="store_true",
                    help="print the rows as JSON (used for the child run)")
    ap.add_argument("--no-rerun", action="store_true",
                    help="skip the run with the raised malloc thresholds")
    args = ap.parse_args(argv)
    sizes = (10_000,) if args.quick else (10_000, 1_000_000)
    rows = run(sizes)
    if args.json:
        json.dump(rows, sys.stdout)
        return
    big = all(os.environ.get(k) == v for k, v in BIG_HEAP.items())
    show(rows, "malloc thresholds raised" if big else "default allocator")
    if big or args.no_rerun:
        return
    cmd = [sys.executable, os.path.abspath(__file__), "--json"]
    if args.quick:
        cmd.append("--quick")
    out = subprocess.run(cmd, env={**os.environ, **BIG_HEAP},
                         check=True, capture_output=True, text=True).stdout
    show(json.loads(out), "MALLOC_MMAP_THRESHOLD_=MALLOC_TRIM_THRESHOLD_="
                          "1073741824")


if __name__ == "__main__":
    main()
