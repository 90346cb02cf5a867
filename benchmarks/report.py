"""Runs every benchmark of quorvan.cext and writes one report.

    python benchmarks/report.py [--quick] [--out DIR]

Writes DIR/report.md (a Markdown table of medians and ratios, with the
machine it ran on) and DIR/growth.png (time against input size, log-log,
for the line diff and the patch chain and their peers). DIR defaults to
benchmarks/results. Peers run side by side with our methods in the same
run: difflib and cdifflib, `git diff --no-index` and GNU `diff` as whole
processes, sequential pure-Python patching, base64's base-85 and bsdiff4.
Besides its own size sweeps (the plot) it takes the rows of every
bench_<module>.py script, so one command runs every benchmark.
Missing optional peers (the `[bench]` extra: matplotlib, cdifflib,
bsdiff4; git; diff) are skipped with a note. A full run takes a few
minutes; --quick stops the sweeps at 100k lines.
"""
from __future__ import annotations

import argparse
import datetime
import difflib
import importlib
import math
import os
import platform
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import benchlib  # noqa: E402
from benchlib import Scratch, median_time, note, process_time  # noqa: E402

from quorvan.cext import deltafold, linesift  # noqa: E402

# A peer whose median passed this many seconds at one size is not run at
# the larger sizes: the growth it has shown so far says enough.
TIME_CAP = 2.0


@dataclass
class Row:
    section: str
    case: str
    ours: str
    ours_s: float
    peer: str
    peer_s: float | None  # None: the peer was not run (see note)
    note: str = ""
    key: bool = False     # also shown in the README's short table


@dataclass
class Report:
    rows: list[Row] = field(default_factory=list)
    # plot name -> series name -> [(input lines, seconds)]
    sweeps: dict[str, dict[str, list[tuple[int, float]]]] = \
        field(default_factory=dict)
    notes: list[str] = field(default_factory=list)
    # script name -> its printed output, for scripts without an adapter
    outputs: dict[str, str] = field(default_factory=dict)

    def series(self, plot: str, name: str) -> list[tuple[int, float]]:
        return self.sweeps.setdefault(plot, {}).setdefault(name, [])


def optional(name: str):
    try:
        return importlib.import_module(name)
    except ImportError:
        return None


# -- line diff: growth sweep ----------------------------------------------

def diff_sweep(rep: Report, sizes: list[int], table_sizes: set[int]) -> None:
    cdifflib = optional("cdifflib")
    git = benchlib.have_command("git")
    gnu = benchlib.have_command("diff")
    for missing, why in ((cdifflib is None, "cdifflib is not installed"),
                         (not git, "git is not on PATH"),
                         (not gnu, "diff is not on PATH")):
        if missing:
            rep.notes.append(f"line diff: {why}; its column is skipped.")

    peers: dict[str, Callable[[bytes, bytes, str, str], Callable[[], object]]]
    peers = {
        "difflib": lambda a, b, fa, fb: lambda: difflib.SequenceMatcher(
            None, a.splitlines(True), b.splitlines(True)
        ).get_matching_blocks(),
    }
    if cdifflib is not None:
        peers["cdifflib"] = lambda a, b, fa, fb: lambda: \
            cdifflib.CSequenceMatcher(None, a.splitlines(True),
                                      b.splitlines(True)).get_matching_blocks()
    capped: dict[str, int] = {}
    with Scratch() as scratch:
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
            rep.series("diff", "linesift").append((n, ours))
            rep.series("diff", "blocks").append((n, ours_blocks))
            # Each timer measures one peer and returns its median.
            timers: dict[str, Callable[[], float]] = {
                name: (lambda f: lambda: median_time(f))(make(a, b, fa, fb))
                for name, make in peers.items()}
            if git:
                timers["git diff --no-index"] = lambda: process_time(
                    ["git", "diff", "--no-index", "--no-color", fa, fb])
            if gnu:
                timers["GNU diff"] = lambda: process_time(["diff", fa, fb])
            for name, fn in timers.items():
                if name in capped:
                    t = None
                else:
                    note(f"line diff: {n} lines, {name}")
                    t = fn()
                    rep.series("diff", name).append((n, t))
                    if t > TIME_CAP:
                        capped[name] = n
                if n in table_sizes:
                    ours_name = "blocks" if "difflib" in name else "linesift"
                    ours_t = ours_blocks if "difflib" in name else ours
                    rep.rows.append(Row(
                        "line diff", f"{n:,} lines, {max(3, n // 3000)} edits",
                        ours_name, ours_t, name, t,
                        "" if t is not None else
                        f"not run: over {TIME_CAP:g} s at {capped[name]:,}"
                        " lines", key=n == max(table_sizes)))


# -- patch chains: growth sweep -------------------------------------------

CHAIN = 32


def patch_sweep(rep: Report, sizes: list[int], table_sizes: set[int],
                bsdiff_max: int) -> None:
    bsdiff4 = optional("bsdiff4")
    if bsdiff4 is None:
        rep.notes.append("patch chain: bsdiff4 is not installed; its column"
                         " is skipped.")
    capped: dict[str, int] = {}
    for n in sizes:
        note(f"patch chain: {n} lines")
        revs = benchlib.revision_chain(n, CHAIN + 1, max(2, n // 5000),
                                       seed=7 * n)
        base, last = revs[0], revs[-1]
        deltas = [linesift.linesift(x, y) for x, y in zip(revs, revs[1:])]
        assert deltafold.patches(base, deltas) == last
        assert benchlib.py_apply_chain(base, deltas) == last

        def one_by_one() -> bytes:
            text = base
            for d in deltas:
                text = deltafold.patches(text, [d])
            return text

        ours = median_time(lambda: deltafold.patches(base, deltas))
        rep.series("patch", "patches (folded chain)").append((n, ours))
        timers: dict[str, Callable[[], object] | None] = {
            "patches, one delta at a time": one_by_one,
            "pure Python, one at a time":
                lambda: benchlib.py_apply_chain(base, deltas),
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
                why = f"not run: over {TIME_CAP:g} s at {capped[name]:,} lines"
            elif fn is None:
                why = ("not run: making its deltas takes too long past"
                       f" {bsdiff_max:,} lines")
            else:
                note(f"patch chain: {n} lines, {name}")
                t = median_time(fn)
                rep.series("patch", name).append((n, t))
                if t > TIME_CAP:
                    capped[name] = n
            if n in table_sizes:
                bs = name.startswith("bsdiff4")
                rep.rows.append(Row(
                    "patch chain", f"{n:,} lines, {CHAIN} deltas", "patches",
                    ours, name, t, why,
                    key=n == (min(table_sizes) if bs else max(table_sizes))))


# -- one delta against bsdiff4: size and time ------------------------------

def delta_vs_bsdiff(rep: Report) -> None:
    bsdiff4 = optional("bsdiff4")
    lines = benchlib.c_like_lines(13000, seed=13)
    a = b"".join(lines)
    b = b"".join(benchlib.edit_lines(lines, 40, seed=14))
    d = linesift.linesift(a, b)
    case = f"13,000 lines ({len(a):,} bytes), 40 edits"
    if bsdiff4 is None:
        rep.notes.append("delta size: bsdiff4 is not installed; skipped.")
        return
    note("one delta: bsdiff4")
    bd = bsdiff4.diff(a, b)
    rep.rows.append(Row("one delta", case + ": make", "linesift",
                        median_time(lambda: linesift.linesift(a, b)),
                        "bsdiff4.diff",
                        median_time(lambda: bsdiff4.diff(a, b)), key=True))
    rep.rows.append(Row("one delta", case + ": apply", "patches",
                        median_time(lambda: deltafold.patches(a, [d])),
                        "bsdiff4.patch",
                        median_time(lambda: bsdiff4.patch(a, bd)), key=True))
    rep.notes.append(
        f"delta size on the {case} pair: linesift {len(d):,} bytes"
        f" (uncompressed, line-granular), bsdiff4 {len(bd):,} bytes"
        f" (bzip2-compressed); {len(d) / len(bd):.1f}x.")


# -- the per-module benchmark scripts --------------------------------------
#
# Each bench_<module>.py is written by the module's owner and runs on its own.
# Where a script offers its measurements as a function we take its rows into
# the table (adapters below); any other script is run whole as a child and
# its printed output goes into the report as it is.

def deltafold_rows(rep: Report, bench: Any, quick: bool) -> None:
    runs: list[tuple[tuple[int, ...], tuple[int, ...]]] = [
        ((10_000,), (1, 10, 100, 1000))]
    if not quick:
        # The pure-Python peer needs seconds per run for 1000 deltas on a
        # million lines; 100 deltas show the same.
        runs.append(((1_000_000,), (1, 10, 100)))
    for sizes, chains in runs:
        for r in bench.run(sizes, chains):
            case = (f"{r['lines']:,} lines, {r['chain']} deltas"
                    f" ({r['fragments']:,} fragments)")
            rep.rows.append(Row("patch chain (bench_deltafold)", case,
                                "patches", r["patches"],
                                "pure Python, one at a time", r["seq_py"],
                                key=(sizes, chains) == runs[-1]
                                and r["chain"] == max(chains)))


def linesift_rows(rep: Report, bench: Any, quick: bool) -> None:
    sec = "line diff (bench_linesift)"
    for r in bench.run(quick):
        case = f"{r.name}, {r.size:,} lines"
        key = r.name.endswith("0->1") or r.name == "trailing numbers"
        rep.rows.append(Row(sec, case, "blocks", r.blocks,
                            "difflib (lines split beforehand)", r.difflib,
                            "" if r.difflib is not None
                            else "not run: too slow at this size", key=key))
        rep.rows.append(Row(sec, case, "linesift", r.linesift, "GNU diff",
                            r.diff, "" if r.diff is not None else
                            "diff is not on PATH", key=key))
        rep.rows.append(Row(sec, case, "linesift", r.linesift,
                            "git diff --no-index", r.git,
                            "" if r.git is not None else
                            "git is not on PATH", key=key))
    rep.notes.append("bench_linesift.py also measures every case with"
                     " MALLOC_MMAP_THRESHOLD_ and MALLOC_TRIM_THRESHOLD_"
                     " raised (no fresh pages per result); run it on its own"
                     " for those figures.")


def pentacode_rows(rep: Report, bench: Any, quick: bool) -> None:
    sizes = (1,) if quick else (1, 16)
    for r in bench.run(sizes, peer_max_mib=max(sizes)):
        case = (f"{r['size_mib']} MiB random, {r['op'][3:]}"
                f" ({r['ours_vs_copy']:.1f}x a plain copy)")
        rep.rows.append(Row("base-85 (bench_pentacode)", case, r["op"],
                            r["ours_s"], f"base64.{r['op']}", r["peer_s"],
                            key=r["size_mib"] == max(sizes)))


def hunkfix_rows(rep: Report, bench: Any, quick: bool) -> None:
    for r in bench.run(hunks=2000 if quick else 10000, runs=5 if quick
                       else 15):
        case = (f"{r['hunks']:,} hunks, {r['lines']:,} lines"
                f" ({r['ours_vs_floor']:.2f}x the readline floor)")
        rep.rows.append(Row("hunk reading (bench_hunkfix)", case, "addlines",
                            r["ours_s"], "the same reading in Python",
                            r["python_s"], key=True))


ADAPTERS: dict[str, Callable[[Report, Any, bool], None]] = {
    "linesift": linesift_rows,
    "deltafold": deltafold_rows,
    "pentacode": pentacode_rows,
    "hunkfix": hunkfix_rows,
}


def module_rows(rep: Report, quick: bool) -> None:
    import subprocess
    for mod in ("linesift", "deltafold", "pentacode", "hunkfix"):
        path = HERE / f"bench_{mod}.py"
        if not path.exists():
            rep.notes.append(f"bench_{mod}.py does not exist yet.")
            continue
        note(f"bench_{mod}.py")
        adapter = ADAPTERS.get(mod)
        if adapter is not None:
            try:
                bench = importlib.import_module(f"bench_{mod}")
            except ImportError as e:
                rep.notes.append(f"bench_{mod}.py skipped: {e} (install the"
                                 " [bench] extra).")
                continue
            try:
                adapter(rep, bench, quick)
            except Exception as e:  # a script's interface moved on
                rep.notes.append(f"bench_{mod}.py failed in the report:"
                                 f" {type(e).__name__}: {e}")
            continue
        argv = [sys.executable, str(path)] + (["--quick"] if quick else [])
        done = subprocess.run(argv, capture_output=True, text=True)
        if done.returncode != 0:
            rep.notes.append(f"bench_{mod}.py failed (status"
                             f" {done.returncode}): "
                             f"{done.stderr.strip().splitlines()[-1:]}")
            continue
        rep.outputs[f"bench_{mod}.py"] = done.stdout


# -- output ----------------------------------------------------------------

def machine() -> str:
    model = "unknown CPU"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    try:
        load = "load average %.2f %.2f %.2f" % os.getloadavg()
    except OSError:
        load = "load average unknown"
    return (f"{os.cpu_count()} CPUs ({model}), {platform.system()}"
            f" {platform.machine()}, Python {platform.python_version()};"
            f" {load} at the start")


def fmt_time(s: float | None) -> str:
    if s is None:
        return "-"
    if s >= 1:
        return f"{s:.2f} s"
    if s >= 1e-3:
        return f"{s * 1e3:.2f} ms"
    return f"{s * 1e6:.1f} µs"


def growth(points: list[tuple[int, float]]) -> str:
    """Time factor per 10x input: the least-squares slope of log time
    against log size, over the sizes from 10k lines up (below that, fixed
    costs such as a process start hide the growth)."""
    pts = [(math.log10(n), math.log10(t)) for n, t in points
           if n >= 10_000 and t > 0]
    if len(pts) < 2:
        return "-"
    mx = sum(x for x, _ in pts) / len(pts)
    my = sum(y for _, y in pts) / len(pts)
    sxx = sum((x - mx) ** 2 for x, _ in pts)
    slope = sum((x - mx) * (y - my) for x, y in pts) / sxx
    lo = min(n for n, _ in points if n >= 10_000)
    hi = max(n for n, _ in points)
    return f"{10 ** slope:.1f}x per 10x lines (fit over {lo:,} to {hi:,})"


def table(rows: list[Row]) -> list[str]:
    out = ["| benchmark | input | ours | median | peer | median | ratio |",
           "|---|---|---|---:|---|---:|---:|"]
    for r in rows:
        ratio = (f"{r.peer_s / r.ours_s:.1f}x" if r.peer_s and r.ours_s
                 else r.note or "-")
        out.append(f"| {r.section} | {r.case} | `{r.ours}` |"
                   f" {fmt_time(r.ours_s)} | {r.peer} | {fmt_time(r.peer_s)}"
                   f" | {ratio} |")
    return out


README_BEGIN = "<!-- benchmark table: begin (benchmarks/report.py --readme) -->"
README_END = "<!-- benchmark table: end -->"


def update_readme(path: Path, rep: Report, started: str,
                  extra_machine: str, out_dir: Path, quick: bool) -> None:
    """Puts the key rows of this run between the README's markers."""
    text = path.read_text()
    if README_BEGIN not in text or README_END not in text:
        raise SystemExit(f"{path}: benchmark table markers not found")
    rel = os.path.relpath(out_dir, path.parent)
    block = [README_BEGIN, "",
             f"Last {'quick' if quick else 'full'} run: {started}, on"
             f" {machine()}."
             + (f" {extra_machine}" if extra_machine else ""),
             "Ratio = peer median / ours (above 1: we are faster).", ""]
    block += table([r for r in rep.rows if r.key])
    if rep.notes:
        block += [""] + [f"- {n}" for n in rep.notes]
    block += ["", f"All rows, growth figures and notes:"
                  f" [{rel}/report.md]({rel}/report.md); plot:"
                  f" [{rel}/growth.png]({rel}/growth.png).", "", README_END]
    head, rest = text.split(README_BEGIN, 1)
    tail = rest.split(README_END, 1)[1]
    path.write_text(head + "\n".join(block) + tail)


def markdown(rep: Report, started: str, elapsed: float, png: str | None,
             extra_machine: str) -> str:
    out = [
        "# quorvan.cext benchmark report",
        "",
        f"Run {started}, {elapsed:.0f} s in all, on {machine()}."
        + (f" {extra_machine}" if extra_machine else ""),
        "",
        "Medians of repeated in-process calls (whole processes for git and"
        " GNU diff, start-up included); ratio = peer median / ours, so above"
        " 1 means we are faster.",
        "",
    ] + table(rep.rows)
    out += ["", "Growth of time with input size:", ""]
    for plot, series in rep.sweeps.items():
        for name, pts in series.items():
            out.append(f"- {plot}: {name}: {growth(pts)}")
    if rep.notes:
        out += ["", "Notes:", ""] + [f"- {n}" for n in rep.notes]
    for name, text in rep.outputs.items():
        out += ["", f"Output of `{name}`:", "", "```text", text.rstrip(),
                "```"]
    if png:
        out += ["", f"![time against input size]({png})"]
    return "\n".join(out) + "\n"


def plot(rep: Report, path: Path) -> bool:
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        rep.notes.append("matplotlib is not installed; no plot was drawn.")
        return False
    titles = {"diff": "line diff of two revisions",
              "patch": f"applying a chain of {CHAIN} deltas"}
    fig, axes = plt.subplots(1, 2, figsize=(12, 5))
    for ax, (plot_name, series) in zip(axes, rep.sweeps.items()):
        for name, pts in series.items():
            if not pts:
                continue
            xs, ys = zip(*pts)
            ours = name.startswith(("linesift", "blocks", "patches ("))
            ax.plot(xs, ys, marker="o", linewidth=2.5 if ours else 1.2,
                    label=name)
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_xlabel("lines per text")
        ax.set_ylabel("median time (s)")
        ax.set_title(titles.get(plot_name, plot_name))
        ax.grid(True, which="both", alpha=0.3)
        ax.legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)
    return True


def main(argv: list[str] | None = None) -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--quick", action="store_true",
                   help="sweeps up to 100k lines only (a smoke run)")
    p.add_argument("--out", type=Path, default=HERE / "results",
                   help="directory for report.md and growth.png")
    p.add_argument("--readme", type=Path, metavar="README",
                   help="also write the key rows into README's benchmark"
                        " section (between its markers)")
    p.add_argument("--machine-note", default="",
                   help="a sentence about the machine added to the report"
                        " (e.g. that other work ran meanwhile)")
    args = p.parse_args(argv)

    top = 100_000 if args.quick else 1_000_000
    sizes = [n for n in (1_000, 3_000, 10_000, 30_000, 100_000, 300_000,
                         1_000_000) if n <= top]
    table_sizes = {n for n in (10_000, 1_000_000 if not args.quick
                               else 100_000)}
    started = datetime.datetime.now(datetime.timezone.utc) \
        .strftime("%Y-%m-%d %H:%M UTC")
    t0 = time.perf_counter()
    rep = Report()
    diff_sweep(rep, sizes, table_sizes)
    patch_sweep(rep, sizes, table_sizes, bsdiff_max=30_000)
    delta_vs_bsdiff(rep)
    module_rows(rep, args.quick)
    benchlib.note_done()

    args.out.mkdir(parents=True, exist_ok=True)
    png = args.out / "growth.png"
    drawn = plot(rep, png)
    text = markdown(rep, started, time.perf_counter() - t0,
                    png.name if drawn else None, args.machine_note)
    (args.out / "report.md").write_text(text)
    if args.readme:
        update_readme(args.readme, rep, started, args.machine_note, args.out,
                      args.quick)
    sys.stdout.write(text)
    print(f"\nwrote {args.out / 'report.md'}"
          + (f" and {png}" if drawn else ""), file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
