"""Times our side of every benchmark row with two builds of this checkout:
the stable-ABI build (limited API) and the build for the running
interpreter alone, on each Python given.

    python tools/abi_speed.py [--rounds N] [--quick] PYTHON...

Each Python gets two venvs under build/abi-speed/ (numpy, the one
benchmark dependency the rows of our methods need, and one of the two
wheels; the stable-ABI wheel is the one the first Python built, as in a
release). The rows of benchmarks/report.py are then run in a child process
per build, the builds taking turns (A B, then B A, ...) so that load from
elsewhere on the machine falls on both alike, and each row keeps the
minimum of its rounds. Peers are left out: only our times are compared
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
    ap.add_argument("--quick", action="store_true",
                    help="the report's quick sizes (sweeps up to 100k lines)")
    args = ap.parse_args()

    # The stable-ABI wheel is built once, by the first (oldest) Python, as
    # the release builds it; every Python gets that one file.
    abi3 = wheel(args.pythons[0], "abi3")
    envs = {(py, b): venv(py, b, abi3 if b == "abi3" else wheel(py, b))
            for py in args.pythons for b in BUILDS}
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
