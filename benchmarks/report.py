"""Runs every benchmark of quorvan.cext and writes one report.

    python benchmarks/report.py [--quick] [--out DIR]

Writes DIR/report.md (a Markdown table of times and ratios, with the
machine it ran on) and DIR/growth.png (time against input size, log-log,
for the line diff and the patch chain and their peers). DIR defaults to
benchmarks/results. The cases, peers and sweeps belong to the scripts
bench_<module>.py: each offers report(quick), and this one only runs them
and renders what they give. Peers run side by side with our methods in the
same run: difflib and cdifflib, `git diff --no-index` and GNU `diff` as whole
processes (on crafted and worst-case texts too, and over two folders of a
batch of revisions), sequential pure-Python patching, base64's base-85 and
bsdiff4. Missing optional peers (the `[bench]` extra: matplotlib, numpy,
cdifflib, bsdiff4; git; diff) are skipped with a note. A full run takes a
few minutes; --quick stops the sweeps at 100k lines.
"""
from __future__ import annotations

import argparse
import datetime
import importlib
import os
import platform
import sys
import time
from pathlib import Path
from typing import Optional

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import benchlib  # noqa: E402
from benchlib import Results, Row  # noqa: E402

SCRIPTS = ("linesift", "linesift_crafted", "deltafold", "pentacode",
           "hunkfix", "cli")


def run_scripts(quick: bool) -> Results:
    """Every script's report, in one."""
    out = Results()
    for mod in SCRIPTS:
        benchlib.note(f"bench_{mod}.py")
        try:
            bench = importlib.import_module(f"bench_{mod}")
        except ImportError as e:
            out.notes.append(f"bench_{mod}.py skipped: {e} (install the"
                             " [bench] extra).")
            continue
        try:
            res = bench.report(quick)
        except Exception as e:  # one script's failure spoils no other
            out.notes.append(f"bench_{mod}.py failed in the report:"
                             f" {type(e).__name__}: {e}")
            continue
        out.rows += res.rows
        out.notes += res.notes
        for plot, series in res.sweeps.items():
            for name, points in series.items():
                out.series(plot, name).extend(points)
    return out


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
    np = benchlib.optional("numpy")
    pts = [(n, t) for n, t in points if n >= 10_000 and t > 0]
    if len(pts) < 2 or np is None:
        return "-"
    x, y = np.log10(np.array(pts, dtype=float)).T
    slope = np.polyfit(x, y, 1)[0]
    lo = min(n for n, _ in pts)
    hi = max(n for n, _ in points)
    return f"{10 ** slope:.1f}x per 10x lines (fit over {lo:,} to {hi:,})"


STATS = {"median": "medians", "min": "minima",
         "cpu": "medians of CPU time (user + system)"}


def table(rows: list[Row]) -> list[str]:
    out = ["| benchmark | input | ours | time | peer | time | ratio |"
           " times are |",
           "|---|---|---|---:|---|---:|---:|---|"]
    for r in rows:
        ratio = (f"{r.peer_s / r.ours_s:.1f}x" if r.peer_s and r.ours_s
                 else r.note or "-")
        out.append(f"| {r.section} | {r.case} | `{r.ours}` |"
                   f" {fmt_time(r.ours_s)} | {r.peer} | {fmt_time(r.peer_s)}"
                   f" | {ratio} | {STATS[r.stat]} |")
    return out


README_BEGIN = "<!-- benchmark table: begin (benchmarks/report.py --readme) -->"
README_END = "<!-- benchmark table: end -->"


def update_readme(path: Path, rep: Results, started: str,
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
             "Ratio = peer time / ours, both the same statistic of repeated"
             " runs (above 1: we are faster).", ""]
    block += table([r for r in rep.rows if r.key])
    if rep.notes:
        block += [""] + [f"- {n}" for n in rep.notes]
    block += ["", f"All rows, growth figures and notes:"
                  f" [{rel}/report.md]({rel}/report.md); plot:"
                  f" [{rel}/growth.png]({rel}/growth.png).", "", README_END]
    head, rest = text.split(README_BEGIN, 1)
    tail = rest.split(README_END, 1)[1]
    path.write_text(head + "\n".join(block) + tail)


def markdown(rep: Results, started: str, elapsed: float, png: Optional[str],
             extra_machine: str) -> str:
    out = [
        "# quorvan.cext benchmark report",
        "",
        f"Run {started}, {elapsed:.0f} s in all, on {machine()}."
        + (f" {extra_machine}" if extra_machine else ""),
        "",
        "Medians or minima of repeated in-process calls, as each row says"
        " (medians of whole processes for git and GNU diff, start-up"
        " included); ratio = peer time / ours, so above 1 means we are"
        " faster.",
        "",
    ] + table(rep.rows)
    out += ["", "Growth of time with input size:", ""]
    for plot, series in rep.sweeps.items():
        for name, pts in series.items():
            out.append(f"- {plot}: {name}: {growth(pts)}")
    if rep.notes:
        out += ["", "Notes:", ""] + [f"- {n}" for n in rep.notes]
    if png:
        out += ["", f"![time against input size]({png})"]
    return "\n".join(out) + "\n"


def plot(rep: Results, path: Path) -> bool:
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        rep.notes.append("matplotlib is not installed; no plot was drawn.")
        return False
    titles = {"diff": "line diff of two revisions",
              "patch": "applying a chain of 32 deltas"}
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

    started = datetime.datetime.now(datetime.timezone.utc) \
        .strftime("%Y-%m-%d %H:%M UTC")
    t0 = time.perf_counter()
    rep = run_scripts(args.quick)
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
