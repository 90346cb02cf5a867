"""Times our side of every benchmark row with two builds of this checkout:
the stable-ABI build (limited API) and the build for the running
interpreter alone, on each Python given.

    python tools/abi_speed.py [--rounds N] [--quick] PYTHON...
    python tools/abi_speed.py --instructions PYTHON...

Each Python gets two venvs under build/abi-speed/ (numpy, the one
benchmark dependency the rows of our methods need, and one of the two
wheels; the stable-ABI wheel is the one the first Python built, as in a
release). The rows of benchmarks/report.py are then run in a child process
per build, the builds taking turns (A B, then B A, ...) so that load from
elsewhere on the machine falls on both alike, and each row keeps the
minimum of its rounds. On a loaded machine times say little; --instructions
counts instead (valgrind's callgrind) what one call of each method costs on
fixed inputs, load or not. Peers are left out: only our times are compared
(difflib, which is in the standard library, still runs where a script
times it). Prints a Markdown table: abi3 time / specific time per row.
"""
from __future__ import annotations

import argparse
import json
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
WORK = ROOT / "build" / "abi-speed"
BUILDS = {"abi3": "cp311", "specific": ""}  # wheel.py-api of each build

# Run in the venv: every script's report, peers off, our rows as JSON.
CHILD = r"""
import json, re, sys
sys.path.insert(0, sys.argv[1] + "/benchmarks")
import benchlib
benchlib.optional = lambda name: None
benchlib.have_command = lambda name: False
import report
res = report.run_scripts(sys.argv[2] == "quick")
rows = {}
for r in res.rows:
    # A case may name a ratio measured in the run: not part of its name.
    case = re.sub(r" \([0-9.]+x [^)]*\)", "", r.case)
    rows["%s | %s | %s" % (r.section, case, r.ours)] = [r.ours_s, r.stat]
print(json.dumps(rows))
"""


# Run in the venv under callgrind: each call of our methods K times on fixed
# inputs; Ir(K=2) - Ir(K=1) is what one call of each costs.
IR_CHILD = r"""
import os, random, sys
sys.path.insert(0, sys.argv[1] + "/benchmarks")
from quorvan.cext import deltafold, hunkfix, linesift, pentacode
rng = random.Random(1)
base = [b"line %d of some source text\n" % i for i in range(20000)]
def edit(lines, n):
    out = list(lines)
    for _ in range(n):
        out[rng.randrange(len(out))] = b"edited %d\n" % rng.random()
    return out
def diff_pair():
    return b"".join(base), b"".join(edit(base, 300))
def popular():
    return b"".join(b"}\n" if i % 3 else x for i, x in enumerate(base)), diff_pair()[1]
def chain():
    revs = [base]
    for _ in range(100):
        revs.append(edit(revs[-1], 3))
    texts = [b"".join(r) for r in revs]
    return texts[0], [linesift.linesift(x, y) for x, y in zip(texts, texts[1:])]
def reader():
    import bench_hunkfix
    body, counts = bench_hunkfix.make_diff(2000, 1)
    return lambda: bench_hunkfix.read_all(hunkfix.addlines, body, counts)
blob = lambda: random.Random(1).randbytes(1 << 20)
setups = {
    "blocks, 20,000 lines, 300 edits": lambda: (lambda x: lambda: linesift.blocks(*x))(diff_pair()),
    "linesift, 20,000 lines, 300 edits": lambda: (lambda x: lambda: linesift.linesift(*x))(diff_pair()),
    "linesift, one popular line": lambda: (lambda x: lambda: linesift.linesift(*x))(popular()),
    "fixws, 20,000 lines": lambda: (lambda x: lambda: linesift.fixws(x, 1))(b"".join(base)),
    "patches, 100 deltas": lambda: (lambda x: lambda: deltafold.patches(*x))(chain()),
    "b85encode, 1 MiB": lambda: (lambda x: lambda: pentacode.b85encode(x))(blob()),
    "b85decode, 1 MiB": lambda: (lambda x: lambda: pentacode.b85decode(x))(pentacode.b85encode(blob())),
    "addlines, 2,000 hunks": reader,
}
fn = setups[sys.argv[3]]()
for _ in range(int(sys.argv[2])):
    fn()
"""

IR_CALLS = ["blocks, 20,000 lines, 300 edits",
            "linesift, 20,000 lines, 300 edits",
            "linesift, one popular line", "fixws, 20,000 lines",
            "patches, 100 deltas", "b85encode, 1 MiB", "b85decode, 1 MiB",
            "addlines, 2,000 hunks"]


def instructions(env: Path, call: str, k: int) -> int:
    out = WORK / f"cg-{env.name}-{k}-{IR_CALLS.index(call)}.out"
    subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}",
                    env / "bin" / "python", "-c", IR_CHILD, ROOT, str(k), call],
                   check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL,
                   env={"PYTHONHASHSEED": "0", "PATH": "/usr/bin:/bin"})
    for line in out.read_text().splitlines():
        if line.startswith("totals:"):
            return int(line.split()[1])
    raise RuntimeError(f"no totals in {out}")


def sh(*argv: object) -> str:
    return subprocess.run([str(a) for a in argv], check=True, text=True,
                          stdout=subprocess.PIPE).stdout


def wheel(py: str, build: str) -> Path:
    """This checkout built by py as build."""
    out = WORK / f"wheels-{py.replace('/', '_')}-{build}"
    sh("rm", "-rf", out)
    sh(py, "-m", "pip", "wheel", "--quiet", "--no-deps", "--wheel-dir", out,
       "-C", f"wheel.py-api={BUILDS[build]}", ROOT)
    whl = next(out.glob("*.whl"))
    if ("-abi3-" in whl.name) != (build == "abi3"):
        sys.exit(f"{whl.name}: not a {build} build")
    return whl


def venv(py: str, build: str, whl: Path) -> Path:
    """A venv of py holding numpy and the wheel whl."""
    ver = sh(py, "-c", "import sys; print('%d.%d' % sys.version_info[:2])")
    env = WORK / f"{ver.strip()}-{build}"
    sh("rm", "-rf", env)
    sh(py, "-m", "venv", env)
    pip = [env / "bin" / "python", "-m", "pip"]
    sh(*pip, "install", "--quiet", "numpy")
    sh(*pip, "install", "--quiet", "--no-deps", whl)
    return env


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("pythons", nargs="+")
    ap.add_argument("--rounds", type=int, default=2)
    ap.add_argument("--instructions", action="store_true",
                    help="instead of times: callgrind instruction counts of"
                         " one call of each method on fixed inputs")
    ap.add_argument("--quick", action="store_true",
                    help="the report's quick sizes (sweeps up to 100k lines)")
    args = ap.parse_args()

    # The stable-ABI wheel is built once, by the first (oldest) Python, as
    # the release builds it; every Python gets that one file.
    abi3 = wheel(args.pythons[0], "abi3")
    envs = {(py, b): venv(py, b, abi3 if b == "abi3" else wheel(py, b))
            for py in args.pythons for b in BUILDS}
    if args.instructions:
        print("| Python | call | abi3 Ir | specific Ir | abi3 / specific |")
        print("|---|---|---:|---:|---:|")
        for py in args.pythons:
            ver = sh(py, "-c", "import platform; print(platform.python_version())")
            for call in IR_CALLS:
                ir = {b: instructions(envs[py, b], call, 2)
                      - instructions(envs[py, b], call, 1) for b in BUILDS}
                print(f"| {ver.strip()} | {call} | {ir['abi3']:,} |"
                      f" {ir['specific']:,} | {ir['abi3'] / ir['specific']:.3f} |",
                      flush=True)
        return 0
    best: dict[tuple[str, str], dict[str, float]] = {k: {} for k in envs}
    stat: dict[str, str] = {}
    for rnd in range(args.rounds):
        for py in args.pythons:
            order = list(BUILDS) if rnd % 2 == 0 else list(BUILDS)[::-1]
            for b in order:
                t0 = time.perf_counter()
                out = sh(envs[py, b] / "bin" / "python", "-c", CHILD, ROOT,
                         "quick" if args.quick else "full")
                rows = json.loads(out.strip().splitlines()[-1])
                for key, (secs, st) in rows.items():
                    prev = best[py, b].get(key)
                    best[py, b][key] = secs if prev is None else min(prev, secs)
                    stat[key] = st
                print(f"round {rnd + 1}: {py} {b}: "
                      f"{time.perf_counter() - t0:.0f} s", file=sys.stderr)

    print("| Python | row | abi3 | specific | abi3 / specific |")
    print("|---|---|---:|---:|---:|")
    worst = 0.0
    for py in args.pythons:
        ver = sh(py, "-c", "import platform; print(platform.python_version())")
        a, s = best[py, "abi3"], best[py, "specific"]
        for key in a:
            if key not in s:
                continue
            ratio = a[key] / s[key]
            worst = max(worst, ratio)
            print(f"| {ver.strip()} | {key} ({stat[key]}s) | {a[key] * 1e3:.3f} ms"
                  f" | {s[key] * 1e3:.3f} ms | {ratio:.3f} |")
    print(f"\nworst abi3 / specific: {worst:.3f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
