"""Speed of the command line's ``apply`` against GNU ``patch``, whole
processes side by side.

Cases (fixed seeds): one large C-like file with scattered edits, and a tree
of many files with a few edits each, both diffed by GNU ``diff -ruN``. Each
round restores the old tree (not timed), then runs ``apply -d W PATCH``,
restores it again and runs ``patch -p1 -d W -i PATCH``; both must leave the
new tree. Times are minima over the rounds, start-up included: wall time,
and the CPU time (user + system) that the process used, which a loaded
machine disturbs less. Ours syncs
each file it writes and the directories it changes; GNU patch syncs
nothing, so a third column, ``--dry-run``, shows our time without writing.

    python benchmarks/bench_apply.py [--quick] [--rounds 7]
"""
from __future__ import annotations

import argparse
import os
import platform
import resource
import shutil
import subprocess
import sys
import time
from collections.abc import Callable

import benchlib
from benchlib import Results, Row


def _cpu() -> str:
    try:
        out = subprocess.run(["lscpu"], capture_output=True, text=True,
                             check=False).stdout
        for line in out.splitlines():
            if line.startswith("Model name:"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown CPU"


def _write_tree(root: str, files: dict[str, bytes]) -> None:
    for name, data in files.items():
        path = os.path.join(root, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)


def make_case(scratch: str, name: str, nfiles: int, nlines: int,
              edits: int, seed: int) -> tuple[str, str, str]:
    """Old and new trees and the diff -ruN patch between them."""
    old: dict[str, bytes] = {}
    new: dict[str, bytes] = {}
    for i in range(nfiles):
        lines = benchlib.c_like_lines(nlines, seed * 7919 + i)
        path = f"src/m{i % 17}/f{i}.c"
        old[path] = b"".join(lines)
        new[path] = b"".join(benchlib.edit_lines(lines, edits, seed + i))
    base = os.path.join(scratch, name)
    _write_tree(os.path.join(base, "a"), old)
    _write_tree(os.path.join(base, "b"), new)
    r = subprocess.run(["diff", "-ruN", "a", "b"], cwd=base,
                       capture_output=True, check=False)
    patch = os.path.join(base, "p.diff")
    with open(patch, "wb") as f:
        f.write(r.stdout)
    return os.path.join(base, "a"), os.path.join(base, "b"), patch


def _same(x: str, y: str) -> bool:
    return subprocess.run(["diff", "-r", "-q", x, y],
                          capture_output=True, check=False).returncode == 0


def _children_cpu() -> float:
    r = resource.getrusage(resource.RUSAGE_CHILDREN)
    return r.ru_utime + r.ru_stime


def run_case(old: str, new: str, patch: str, rounds: int,
             one: str | None) -> tuple[dict[str, float], dict[str, float]]:
    """Least wall time and least CPU time (user + system) of each run.
    With one (a file's name in the tree), also the FILE PATCH -o OUT form
    of both on that file."""
    work = old + ".w"
    ours = [sys.executable, "-m", "quorvan.cext", "apply", "-d", work,
            patch]
    runs: dict[str, Callable[[], list[str]]] = {
        "ours": lambda: ours,
        "ours --dry-run": lambda: ours[:4] + ["--dry-run"] + ours[4:],
        "GNU patch": lambda: ["patch", "-s", "-p1", "-d", work, "-i", patch],
        "python -I -c pass": lambda: [sys.executable, "-I", "-c", "pass"],
    }
    if one is not None:
        src, out = os.path.join(work, one), os.path.join(work, "out")
        runs["ours FILE PATCH -o OUT"] = lambda: [
            sys.executable, "-m", "quorvan.cext", "apply", src, patch,
            "-o", out]
        runs["GNU patch -o OUT FILE PATCH"] = lambda: [
            "patch", "-s", "-o", out, src, patch]
    best = {k: float("inf") for k in runs}
    cpu = dict(best)
    for _ in range(rounds):
        for key, argv in runs.items():
            shutil.rmtree(work, ignore_errors=True)
            shutil.copytree(old, work)
            c0 = _children_cpu()
            t0 = time.perf_counter()
            r = subprocess.run(argv(), stdout=subprocess.DEVNULL,
                               stderr=subprocess.PIPE, check=False)
            dt = time.perf_counter() - t0
            dc = _children_cpu() - c0
            assert r.returncode == 0, (key, r.stderr)
            if key in ("ours", "GNU patch"):
                assert _same(work, new), key
            elif "OUT" in key and one is not None:
                with open(os.path.join(work, "out"), "rb") as f, \
                        open(os.path.join(new, one), "rb") as g:
                    assert f.read() == g.read(), key
            best[key] = min(best[key], dt)
            cpu[key] = min(cpu[key], dc)
    shutil.rmtree(work, ignore_errors=True)
    return best, cpu


CASES = {  # name: files, lines per file, edits per file
    "one large file": (1, 400_000, 4_000),
    "a tree of many files": (400, 2_000, 8),
}
QUICK = {"one large file": (1, 100_000, 1_000),
         "a tree of many files": (100, 2_000, 8)}


def report(quick: bool = False, rounds: int = 0) -> Results:
    res = Results()
    if not benchlib.have_command("patch") or \
            not benchlib.have_command("diff"):
        res.notes.append("bench_apply.py: needs GNU diff and GNU patch")
        return res
    rounds = rounds or (3 if quick else 7)
    load = os.getloadavg()[0] if hasattr(os, "getloadavg") else -1.0
    with benchlib.Scratch() as scratch:
        for case, (nfiles, nlines, edits) in \
                (QUICK if quick else CASES).items():
            old, new, patch = make_case(scratch.dir, case.replace(" ", "_"),
                                        nfiles, nlines, edits, 1)
            size = os.path.getsize(patch)
            one = "src/m0/f0.c" if nfiles == 1 else None
            best, cpu = run_case(old, new, patch, rounds, one)
            label = (f"{case}: {nfiles} x {nlines:,} lines,"
                     f" {size / 1e6:.1f} MB patch")
            for ours in ("ours", "ours --dry-run"):
                res.rows.append(Row(
                    "apply, whole process (bench_apply)", label,
                    f"apply {ours[5:]}".strip(), best[ours], "GNU patch",
                    best["GNU patch"], stat="min",
                    note=f"CPU {cpu[ours]:.3f} s vs {cpu['GNU patch']:.3f} s,"
                         f" {cpu[ours] / cpu['GNU patch']:.2f}x; python"
                         f" start alone {best['python -I -c pass']:.3f} s",
                    key=ours == "ours"))
            if one is not None:
                ours, peer = "ours FILE PATCH -o OUT", \
                    "GNU patch -o OUT FILE PATCH"
                res.rows.append(Row(
                    "apply, whole process (bench_apply)", label,
                    "apply FILE PATCH -o OUT", best[ours],
                    "patch -o OUT FILE PATCH", best[peer], stat="min",
                    note=f"CPU {cpu[ours]:.3f} s vs {cpu[peer]:.3f} s,"
                         f" {cpu[ours] / cpu[peer]:.2f}x"))
    res.notes.append(f"bench_apply.py: {_cpu()}; load average {load:.2f}"
                     " when it started (other work shares the machine);"
                     f" minima of {rounds} rounds.")
    return res


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--rounds", type=int, default=0)
    args = ap.parse_args()
    res = report(args.quick, args.rounds)
    for row in res.rows:
        ratio = row.ours_s / row.peer_s if row.peer_s else float("nan")
        print(f"{row.case:50} {row.ours:22} {row.ours_s:7.3f} s"
              f"  {row.peer} {row.peer_s or 0:7.3f} s  ratio {ratio:.2f}"
              f"  ({row.note})")
    for note in res.notes:
        print(note)


if __name__ == "__main__":
    main()
