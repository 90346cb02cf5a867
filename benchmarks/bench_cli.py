"""The command line against GNU diff: diff size on repetitive files and on
revision histories, start-up of every subcommand, and a 1M-line diff -u.

    python benchmarks/bench_cli.py [--quick] [--history DIR] [--out FILE]

- Changed lines: our ``diff -u`` against GNU ``diff -u`` on every pair of
  consecutive revisions of synthetic histories, of this repository's own
  files (its git history, when run in a checkout), of the standard library
  across the CPython versions pyenv has, and of the files of DIR (name
  order). The module's own blocks are counted too: what a host that calls
  ``blocks`` directly gets.
- Repetitive files: changed lines and delta bytes, ours, the module's alone
  and GNU diff's.
- Start-up: each subcommand on tiny inputs, as a whole process, against a
  bare ``python -I -c pass``, run in turns.
- Speed: ``diff -u`` of a 1,000,000-line pair against GNU ``diff -u``, both
  whole processes writing to /dev/null, run in turns.

Importable: ``report(quick)`` gives benchmarks/report.py its rows.
"""
from __future__ import annotations

import argparse
import glob
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path
from typing import Iterator, Optional

import benchlib
from benchlib import Results, Row

from quorvan.cext import linesift
from quorvan.cext._linediff import delta_of, line_changes
from quorvan.cext._unified import unified, unified_changes

PY = sys.executable
CLI = [PY, "-m", "quorvan.cext"]
REPO = Path(__file__).resolve().parent.parent
SEC = "command line (bench_cli)"


def changed_lines(patch: bytes) -> int:
    return sum(1 for x in patch.split(b"\n") if x[:1] in (b"+", b"-")
               and not x.startswith((b"+++ ", b"--- ")))


class Gnu:
    """GNU diff -u over two scratch files."""

    def __init__(self, scratch: benchlib.Scratch) -> None:
        self.scratch = scratch

    def __call__(self, a: bytes, b: bytes, *flags: str) -> bytes:
        fa, fb = self.scratch.file("a", a), self.scratch.file("b", b)
        return subprocess.run(["diff", "-u", *flags, fa, fb],
                              capture_output=True,
                              env=dict(os.environ, LC_ALL="C")).stdout


# -- histories ---------------------------------------------------------------

def synthetic(quick: bool) -> Iterator[tuple[str, list[bytes]]]:
    from bench_linesift_crafted import evolve

    n = 20 if quick else 60
    yield "synthetic C (benchlib.revision_chain)", \
        benchlib.revision_chain(13000, n, 12, 7)
    rng = random.Random(20261208)
    revs = [benchlib.c_like_lines(14000, rng)]
    while len(revs) < n:
        revs.append(evolve(revs[-1], rng, len(revs)))
    yield "synthetic commits (bench_linesift_crafted)", \
        [b"".join(r) for r in revs]


def git_history() -> Iterator[tuple[str, list[bytes]]]:
    """Every text file of this checkout with 3 or more revisions."""
    def git(*argv: str) -> Optional[bytes]:
        r = subprocess.run(["git", "-C", str(REPO), *argv],
                           capture_output=True)
        return r.stdout if r.returncode == 0 else None

    files = git("ls-files")
    if not shutil.which("git") or files is None:
        return
    for name in files.decode().split():
        if not name.endswith((".py", ".cpp", ".h", ".md", ".sh", ".toml")):
            continue
        commits = (git("log", "--format=%H", "--reverse", "--", name)
                   or b"").split()
        if len(commits) < 3:
            continue
        revs = [git("show", f"{c.decode()}:{name}") for c in commits]
        yield f"git history of {name}", [r for r in revs if r is not None]


def python_versions() -> Iterator[tuple[str, list[bytes]]]:
    """Each standard-library module across the CPython versions that
    pyenv has installed, oldest first."""
    root = subprocess.run(["pyenv", "root"], capture_output=True,
                          text=True).stdout.strip() \
        if shutil.which("pyenv") else ""
    libs = sorted(glob.glob(f"{root}/versions/*/lib/python[23].*"),
                  key=lambda p: tuple(int(x) for x in
                                      p.rsplit("python", 1)[1].split(".")))
    if len(libs) < 3:
        return
    for mod in sorted(os.listdir(libs[-1])):
        if mod.endswith(".py"):
            revs = [Path(lib, mod).read_bytes() for lib in libs
                    if Path(lib, mod).is_file()]
            if len(revs) >= 2:
                yield f"stdlib {mod}", revs


def directory(path: Path) -> Iterator[tuple[str, list[bytes]]]:
    files = sorted(f for f in path.iterdir() if f.is_file())
    yield f"revisions in {path}", [f.read_bytes() for f in files]


def history_rows(res: Results, quick: bool, history: Optional[Path],
                 gnu: Gnu) -> None:
    groups = [("synthetic histories", synthetic(quick)),
              ("this repository's git history", git_history())]
    if not quick:
        groups.append(("standard library across CPython versions",
                       python_versions()))
    if history is not None:
        groups.append((f"revisions in {history}", directory(history)))
    for label, histories in groups:
        ours = raw = peer = pairs = worse = 0
        for name, revs in histories:
            benchlib.note(f"changed lines: {name}")
            for a, b in zip(revs, revs[1:]):
                o = changed_lines(unified_changes(a, b, line_changes(a, b),
                                                  b"a", b"b"))
                g = changed_lines(gnu(a, b))
                raw += changed_lines(unified(a, b, linesift.blocks(a, b),
                                             b"a", b"b"))
                ours, peer, pairs = ours + o, peer + g, pairs + 1
                worse += o > g
        if not pairs:
            res.notes.append(f"changed lines, {label}: none found.")
            continue
        res.notes.append(
            f"changed lines, {label} ({pairs} pairs): diff -u {ours:,},"
            f" GNU diff -u {peer:,} ({(ours / peer - 1) * 100:+.2f}%), the"
            f" module's blocks alone {raw:,}"
            f" ({(raw / peer - 1) * 100:+.2f}%); {worse} pairs with more"
            " changed lines than GNU's.")


# -- repetitive files --------------------------------------------------------

def repetitive(quick: bool) -> Iterator[tuple[str, bytes, bytes]]:
    yield ("20,000 equal lines, one changed", b"x\n" * 20000,
           b"x\n" * 10000 + b"y\n" + b"x\n" * 9999)
    rng = random.Random(1)
    lines = [b"value %d\n" % rng.randrange(500) for _ in range(200000)]
    edited = list(lines)
    edited[123456] = b"edited\n"
    yield ("200,000 lines of 500 values, one edited", b"".join(lines),
           b"".join(edited))
    if not quick:
        period = [b"line %d of the period\n" % (i % 2000)
                  for i in range(2000000)]
        replaced = list(period)
        for k in rng.sample(range(len(period)), 253):
            replaced[k] = b"replaced %d\n" % k
        yield ("2,000,000 lines of period 2,000, 253 replaced",
               b"".join(period), b"".join(replaced))


def repetitive_rows(res: Results, quick: bool, gnu: Gnu) -> None:
    for name, a, b in repetitive(quick):
        benchlib.note(f"repetitive: {name}")
        changes = line_changes(a, b)
        ours = changed_lines(unified_changes(a, b, changes, b"a", b"b"))
        raw = changed_lines(unified(a, b, linesift.blocks(a, b), b"a",
                                    b"b"))
        res.notes.append(
            f"{name}: diff -u {ours:,} changed lines (GNU diff"
            f" {changed_lines(gnu(a, b)):,}, the module's blocks {raw:,});"
            f" delta {len(delta_of(b, changes)):,} bytes (the module's"
            f" linesift alone {len(linesift.linesift(a, b)):,}).")


# -- start-up and speed ------------------------------------------------------

def tiny_commands(d: Path) -> list[tuple[str, list[str]]]:
    files = {"a": b"one\ntwo\n", "b": b"one\n2\n", "old/f": b"x\n",
             "new/f": b"y\n"}
    for name, data in files.items():
        (d / name).parent.mkdir(exist_ok=True)
        (d / name).write_bytes(data)
    a, b = str(d / "a"), str(d / "b")
    delta, patch, enc = d / "delta", d / "patch", d / "enc"
    delta.write_bytes(linesift.linesift(files["a"], files["b"]))
    patch.write_bytes(subprocess.run(CLI + ["diff", "-u", a, b],
                                     capture_output=True).stdout)
    enc.write_bytes(b"VPaz\n")
    return [("--version", ["--version"]), ("diff", ["diff", a, b]),
            ("diff -u", ["diff", "-u", a, b]),
            ("diff -ruN", ["diff", "-ruN", str(d / "old"), str(d / "new")]),
            ("apply", ["apply", a, str(patch)]), ("blocks", ["blocks", a, b]),
            ("patch", ["patch", a, str(delta)]),
            ("size", ["size", a, str(delta)]), ("b85encode", ["b85encode", a]),
            ("b85decode", ["b85decode", str(enc)]), ("fixws", ["fixws", a])]


def cpu_time(argv: list[str]) -> float:
    """CPU seconds (user and system) of one whole process. On a loaded
    machine wall time mostly measures the wait for a CPU; this does not."""
    p = subprocess.Popen(argv, stdout=subprocess.DEVNULL,
                         stderr=subprocess.DEVNULL)
    # Reaped here, with its resource usage; the Popen object is kept until
    # then, so that subprocess does not reap it first on its own.
    _, status, usage = os.wait4(p.pid, 0)
    p.returncode = os.waitstatus_to_exitcode(status)
    return usage.ru_utime + usage.ru_stime


def in_turns(a: list[str], b: list[str], runs: int) -> tuple[float, float]:
    """Median CPU seconds of a and of b, run in turns after one warm-up."""
    cpu_time(a), cpu_time(b)
    ta, tb = [], []
    for _ in range(runs):
        ta.append(cpu_time(a))
        tb.append(cpu_time(b))
    return statistics.median(ta), statistics.median(tb)


def startup_rows(res: Results, quick: bool) -> None:
    bare = [PY, "-I", "-c", "pass"]
    with tempfile.TemporaryDirectory() as d:
        for name, argv in tiny_commands(Path(d)):
            benchlib.note(f"start-up: {name}")
            ours, peer = in_turns(CLI + argv, bare, 10 if quick else 30)
            res.rows.append(Row(SEC, f"start-up, {name} on tiny inputs:"
                                f" {(ours - peer) * 1e3:+.1f} ms",
                                f"python -m quorvan.cext {name}", ours,
                                "python -I -c pass", peer, stat="cpu"))


def speed_rows(res: Results, quick: bool) -> None:
    if not shutil.which("diff"):
        res.notes.append("diff -u speed: GNU diff is not on PATH.")
        return
    n = 100_000 if quick else 1_000_000
    lines = benchlib.c_like_lines(n, seed=n)
    with benchlib.Scratch() as s:
        a = s.file("old", b"".join(lines))
        b = s.file("new", b"".join(benchlib.edit_lines(lines, n // 3000,
                                                      seed=n + 1)))
        benchlib.note(f"diff -u speed: {n} lines")
        ours, peer = in_turns(CLI + ["diff", "-u", a, b],
                              ["diff", "-u", a, b], 5 if quick else 15)
        res.rows.append(Row(SEC, f"diff -u, {n:,} lines, {n // 3000} edits"
                            " (whole processes)", "python -m quorvan.cext"
                            " diff -u", ours, "GNU diff -u", peer, key=True,
                            stat="cpu"))


def report(quick: bool = False, history: Optional[Path] = None) -> Results:
    res = Results()
    startup_rows(res, quick)
    speed_rows(res, quick)
    if shutil.which("diff"):
        with benchlib.Scratch() as scratch:
            gnu = Gnu(scratch)
            repetitive_rows(res, quick, gnu)
            history_rows(res, quick, history, gnu)
    else:
        res.notes.append("changed lines: GNU diff is not on PATH.")
    benchlib.note_done()
    return res


def main(argv: Optional[list[str]] = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--history", type=Path,
                    help="a folder of revisions of one file, in name order")
    ap.add_argument("--out", type=Path,
                    help="also write the report to this Markdown file")
    args = ap.parse_args(argv)
    import report as rep  # benchmarks/report.py: machine line and table

    res = report(args.quick, args.history)
    text = "\n".join([f"Run on {rep.machine()}.", "Ratio = peer time / ours"
                      " (above 1: we are faster).", ""] + rep.table(res.rows)
                     + [""] + [f"- {n}" for n in res.notes]) + "\n"
    print(text, end="")
    if args.out:
        args.out.write_text(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
