"""Speed of hunkfix.addlines against a pure-Python reading of the same hunks.

A large unified diff (random hunks with context, removed and added lines,
blank context lines and an occasional no-newline marker; fixed seed) is
read hunk by hunk from an io.BytesIO, once through addlines and once
through the plain Python loop below, which builds the same three lists.

    python benchmarks/bench_hunkfix.py [--hunks 20000] [--seed 1]

Times are minima of repeated runs, taken in turns. ``report(quick)`` gives
what benchmarks/report.py shows.
"""
import argparse
import io
import os
import random
import sys

import benchlib
from benchlib import Results, Row
from testkit.reference import MARKER

from quorvan.cext import hunkfix


def py_fix_newline(hunk, old, new):
    line = hunk[-1]
    end = len(line) - 2 if line[-2:-1] == b"\r" else len(line) - 1
    fixed = line[:end]
    c = line[:1]
    if c == b" ":
        new[-1] = line[1:end]
        old[-1] = fixed
    elif c == b"+":
        new[-1] = line[1:end]
    elif c == b"-":
        old[-1] = fixed
    hunk[-1] = fixed


def py_addlines(fp, hunk, oldcount, newcount, old, new):
    """The same reading in plain Python, as a host would write it: the peer.
    It is not testkit/reference.py's reading, which also follows the module's
    zero-byte rules and would time those instead."""
    readline = fp.readline
    while True:
        need = max(oldcount - len(old), newcount - len(new))
        if need <= 0:
            return 0
        for _ in range(need):
            s = readline()
            if not s:
                raise EOFError("hunk ends early")
            if s == MARKER:
                py_fix_newline(hunk, old, new)
                continue
            if s == b"\n":
                s = b" \n"
            hunk.append(s)
            c = s[:1]
            if c == b"-":
                old.append(s)
            elif c == b"+":
                new.append(s[1:])
            else:
                new.append(s[1:])
                old.append(s)


def make_diff(hunks, seed):
    """Returns (body bytes of all hunks back to back, [(old, new) counts]).

    Hunks look like those of a three-line-context diff of source text: one
    to three change blocks (0-8 lines out, 0-8 in), separated by up to six
    context lines, with three context lines at both ends; now and then a
    blank context line that lost its leading space, and in one hunk of
    twenty a no-newline marker after the last removed line.
    """
    rng = random.Random(seed)
    words = [bytes(rng.choices(b"abcdefghijklmnopqrstuvwxyz_", k=rng.randint(2, 9)))
             for _ in range(500)]

    def text():
        return b" ".join(rng.choices(words, k=rng.randint(1, 8))) + b"\n"

    def context(n):
        return [b"\n" if rng.random() < 0.1 else b" " + text()
                for _ in range(n)]

    out = []
    counts = []
    for _ in range(hunks):
        marker = rng.random() < 0.05
        lines = context(3)
        blocks = 1 if marker else rng.randint(1, 3)
        for k in range(blocks):
            removed = rng.randint(1 if marker else 0, 8)
            added = rng.randint(0 if removed else 1, 8)
            lines += [b"-" + text() for _ in range(removed)]
            if marker:
                # The old side ends without a line break; the new follows.
                lines.append(MARKER)
                added = max(added, 1)
            lines += [b"+" + text() for _ in range(added)]
            if not marker:
                lines += context(3 if k == blocks - 1 else rng.randint(1, 6))
        old = sum(1 for x in lines if x[:1] in (b"-", b" ", b"\n"))
        new = sum(1 for x in lines if x[:1] in (b"+", b" ", b"\n"))
        out.extend(lines)
        counts.append((old, new))
    return b"".join(out), counts


def read_all(fn, body, counts, keep=False):
    """Reads every hunk; keeps the lists only when asked, since a reader
    hands each hunk on and holding them all would time the cycle collector
    walking them instead."""
    f = io.BytesIO(body)
    result = []
    for oc, nc in counts:
        hunk, old, new = [], [], []
        fn(f, hunk, oc, nc, old, new)
        if keep:
            result.append((hunk, old, new))
    return result


def _noop(f, hunk, oldcount, newcount, old, new):
    return 0


def run(hunks=10000, seed=1, runs=15):
    """Returns one row: sizes, best times of addlines and of the pure-Python
    reading, and the floor: every line read by a C-level readline loop plus
    the per-hunk loop with a do-nothing reader."""
    body, counts = make_diff(hunks, seed)
    # Both readers must agree before their times mean anything.
    assert read_all(hunkfix.addlines, body, counts, keep=True) == \
        read_all(py_addlines, body, counts, keep=True)
    ours, peer, lines_only, loop_only = (t.min for t in benchlib.time_calls(
        lambda: read_all(hunkfix.addlines, body, counts),
        lambda: read_all(py_addlines, body, counts),
        lambda: list(iter(io.BytesIO(body).readline, b"")),
        lambda: read_all(_noop, body, counts),
        min_runs=runs, max_runs=runs))
    floor = lines_only + loop_only
    return [{
        "op": "addlines", "hunks": hunks, "lines": body.count(b"\n"),
        "bytes": len(body), "ours_s": ours, "python_s": peer,
        "floor_s": floor, "speedup_vs_python": peer / ours,
        "ours_vs_floor": ours / floor, "python_vs_floor": peer / floor,
    }]


def report(quick=False):
    """What benchmarks/report.py shows of this script."""
    res = Results()
    for r in run(hunks=2000 if quick else 10000, runs=5 if quick else 15):
        case = (f"{r['hunks']:,} hunks, {r['lines']:,} lines"
                f" ({r['ours_vs_floor']:.2f}x the readline floor)")
        res.rows.append(Row("hunk reading (bench_hunkfix)", case, "addlines",
                            r["ours_s"], "the same reading in Python",
                            r["python_s"], key=True, stat="min"))
    return res


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--hunks", type=int, default=10000)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--runs", type=int, default=15)
    args = ap.parse_args(argv)
    print(f"python {sys.version.split()[0]}, {os.cpu_count()} cpus")
    for r in run(args.hunks, args.seed, args.runs):
        print(f"addlines: {r['hunks']} hunks, {r['lines']} lines, "
              f"{r['bytes'] / 1e6:.1f} MB: ours {r['ours_s'] * 1e3:.1f} ms, "
              f"python {r['python_s'] * 1e3:.1f} ms, "
              f"x{r['speedup_vs_python']:.2f}; readline floor "
              f"{r['floor_s'] * 1e3:.1f} ms (ours x{r['ours_vs_floor']:.2f}, "
              f"python x{r['python_vs_floor']:.2f})")


if __name__ == "__main__":
    main()
