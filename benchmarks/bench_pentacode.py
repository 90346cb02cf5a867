"""Speed of pentacode's b85encode / b85decode, on each kernel path.

Timed side by side in the same run, on the same random input:
- ours on every path this CPU has (scalar, avx2, avx512), each in a fresh
  interpreter with QUORVAN_PENTACODE_ISA capping the path;
- floors: one copy of the input into a new bytes object (memory bandwidth)
  and C base64 (binascii.b2a_base64 / a2b_base64);
- peer: base64.b85encode / base64.b85decode (same alphabet, pure Python).

    python benchmarks/bench_pentacode.py [--sizes 1K,1M,64M] [--peer-max 64M]

All speeds count the raw (decoded) bytes, so encode and decode compare
directly. Every process runs with MALLOC_MMAP_THRESHOLD_ and
MALLOC_TRIM_THRESHOLD_ at 1 GiB (the script re-executes itself to set them),
so that large results reuse heap pages instead of fresh mmaps on both sides.
Every time is a minimum of repeated runs (benchlib's timer): ours and the
floors over about half a second, the slow peer over three runs up to 4 MiB
and one above, and not at all above --peer-max (its time there is
extrapolated linearly, and marked so).

Functions for a report: report(quick) (what benchmarks/report.py shows),
cases() (every path, floors, peers; one dict a path and size), run() (the
loaded path only, MiB sizes).
"""
import argparse
import base64
import binascii
import json
import os
import platform
import random
import subprocess
import sys

from benchlib import Results, Row, time_call

from quorvan.cext import pentacode

KiB, MiB = 1 << 10, 1 << 20
SIZES = (KiB, MiB, 64 * MiB)
PATHS = ("scalar", "avx2", "avx512")
MALLOC_ENV = {"MALLOC_MMAP_THRESHOLD_": "1073741824",
              "MALLOC_TRIM_THRESHOLD_": "1073741824"}


def cpu_name():
    """The CPU's model name and the vector features that matter here."""
    name, flags = platform.processor() or platform.machine(), set()
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                key, _, value = line.partition(":")
                if key.strip() == "model name":
                    name = value.strip()
                elif key.strip() == "flags":
                    flags = set(value.split())
                    break
    except OSError:
        pass
    has = [f for f in ("avx2", "avx512bw", "avx512vbmi") if f in flags]
    return f"{name} ({', '.join(has) or 'no AVX2'})"


def best_time(fn, arg):
    """Minimum of repeated runs of fn(arg), in about half a second. Small
    inputs are timed in batches of calls (256 KiB a batch), so that the
    clock's own cost does not count."""
    batch = range(max(1, (256 * KiB) // max(len(arg), 1)))

    def batched():
        for _ in batch:
            fn(arg)
    t = time_call(batched, budget=0.5, min_runs=5, max_runs=200)
    return t.min / len(batch)


def peer_time(fn, arg):
    """The slow peer: minimum of three runs on small inputs, one run on big
    ones."""
    runs = 3 if len(arg) <= 4 * MiB else 1
    return time_call(lambda: fn(arg), budget=0, min_runs=runs,
                     max_runs=runs).min


def time_ours(sizes, seed=1):
    """Seconds of the loaded path: {op: {size: s}}."""
    out = {"b85encode": {}, "b85decode": {}}
    for n in sizes:
        data = random.Random(seed * 1_000_003 + n).randbytes(n)
        text = pentacode.b85encode(data)
        assert pentacode.b85decode(text) == data
        out["b85encode"][n] = best_time(pentacode.b85encode, data)
        out["b85decode"][n] = best_time(pentacode.b85decode, text)
    return out


def time_others(sizes, peer_max, seed=1):
    """Seconds of the floors and the peer: {name: {size: (s, timed)}}."""
    out = {k: {} for k in ("copy", "b2a_base64", "a2b_base64",
                           "base64.b85encode", "base64.b85decode")}
    rate = {}
    for n in sizes:
        data = random.Random(seed * 1_000_003 + n).randbytes(n)
        text = pentacode.b85encode(data)
        b64 = binascii.b2a_base64(data, newline=False)
        out["copy"][n] = (best_time(lambda b: memoryview(b).tobytes(), data),
                          True)
        out["b2a_base64"][n] = (best_time(
            lambda b: binascii.b2a_base64(b, newline=False), data), True)
        out["a2b_base64"][n] = (best_time(binascii.a2b_base64, b64), True)
        for name, fn, arg in (("base64.b85encode", base64.b85encode, data),
                              ("base64.b85decode", base64.b85decode, text)):
            if n <= peer_max:
                rate[name] = peer_time(fn, arg) / n
                out[name][n] = (rate[name] * n, True)
            else:
                out[name][n] = (rate.get(name, float("nan")) * n, False)
    return out


def _child(isa, sizes, seed):
    """Times the path `isa` in a fresh interpreter; None if the CPU lacks
    it (the module then loads a narrower one)."""
    env = dict(os.environ, QUORVAN_PENTACODE_ISA=isa, **MALLOC_ENV)
    proc = subprocess.run(
        [sys.executable, os.path.abspath(__file__), "--child",
         "--sizes", ",".join(map(str, sizes)), "--seed", str(seed)],
        env=env, capture_output=True, text=True, check=True)
    got = json.loads(proc.stdout)
    if got["isa"] != isa:
        return None
    return {op: {int(n): s for n, s in by.items()}
            for op, by in got["times"].items()}


def cases(sizes=SIZES, peer_max=64 * MiB, seed=1):
    """Every path at every size, with the floors and the peer from the same
    run. One dict per (path, op, size): seconds of ours, the floors and the
    peer, our GB/s and the ratios (above 1: we are faster)."""
    others = time_others(sizes, peer_max, seed)
    rows = []
    for isa in PATHS:
        times = _child(isa, sizes, seed)
        if times is None:
            continue
        for op, c_floor in (("b85encode", "b2a_base64"),
                            ("b85decode", "a2b_base64")):
            for n in sizes:
                ours = times[op][n]
                peer, timed = others[f"base64.{op}"][n]
                rows.append({
                    "cpu": cpu_name(), "path": isa, "op": op, "size": n,
                    "ours_s": ours, "ours_gbps": n / ours / 1e9,
                    "copy_s": others["copy"][n][0],
                    "c_base64_s": others[c_floor][n][0],
                    "peer_s": peer, "peer_timed": timed,
                    "vs_peer": peer / ours,
                    "vs_c_base64": others[c_floor][n][0] / ours,
                    "ours_vs_copy": ours / others["copy"][n][0],
                })
    return rows


def run(sizes_mib=(1, 64), peer_max_mib=64, seed=1):
    """The loaded path only, sizes in MiB (for report()): one row per
    (op, size) with ours, the peer and the copy floor."""
    sizes = [m * MiB for m in sizes_mib]
    ours = time_ours(sizes, seed)
    others = time_others(sizes, peer_max_mib * MiB, seed)
    rows = []
    for op in ("b85encode", "b85decode"):
        for m, n in zip(sizes_mib, sizes):
            peer, timed = others[f"base64.{op}"][n]
            rows.append({
                "op": op, "size_mib": m, "ours_s": ours[op][n],
                "peer_s": peer, "peer_measured": timed,
                "copy_s": others["copy"][n][0],
                "ours_gbps": n / ours[op][n] / 1e9,
                "speedup_vs_base64": peer / ours[op][n],
                "ours_vs_copy": ours[op][n] / others["copy"][n][0],
            })
    return rows


def report(quick=False):
    """What benchmarks/report.py shows of this script: the loaded path at
    1 MiB (and 16 MiB unless quick), minima against the stdlib peer."""
    res = Results()
    sizes = (1,) if quick else (1, 16)
    for r in run(sizes, peer_max_mib=max(sizes)):
        case = (f"{r['size_mib']} MiB random, {r['op'][3:]}"
                f" ({r['ours_vs_copy']:.1f}x a plain copy)")
        res.rows.append(Row("base-85 (bench_pentacode)", case, r["op"],
                            r["ours_s"], f"base64.{r['op']}", r["peer_s"],
                            key=r["size_mib"] == max(sizes), stat="min"))
    return res


def parse_size(text):
    text = text.strip().upper()
    for suffix, unit in (("K", KiB), ("M", MiB), ("G", 1 << 30)):
        if text.endswith(suffix):
            return int(text[:-1]) * unit
    return int(text)


def human(n):
    return f"{n // MiB} MiB" if n >= MiB else f"{n // KiB} KiB"


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--sizes", default="1K,1M,64M",
                    help="input sizes, comma-separated (K, M suffixes)")
    ap.add_argument("--peer-max", default="64M",
                    help="largest size to time the stdlib peer on")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    args = ap.parse_args(argv)
    sizes = [parse_size(s) for s in args.sizes.split(",")]
    if args.child:
        print(json.dumps({"isa": pentacode._isa,
                          "times": time_ours(sizes, args.seed)}))
        return
    if any(os.environ.get(k) != v for k, v in MALLOC_ENV.items()):
        os.execve(sys.executable, [sys.executable] + sys.argv,
                  dict(os.environ, **MALLOC_ENV))
    print(f"CPU: {cpu_name()}; {os.cpu_count()} CPUs; Python "
          f"{sys.version.split()[0]}; malloc: "
          + " ".join(f"{k}={v}" for k, v in MALLOC_ENV.items()))
    rows = cases(sizes, parse_size(args.peer_max), args.seed)
    print(f"{'path':7} {'op':10} {'size':>7} {'GB/s':>6} {'x b85':>6} "
          f"{'x C b64':>8} {'x copy':>7}")
    for r in rows:
        print(f"{r['path']:7} {r['op']:10} {human(r['size']):>7} "
              f"{r['ours_gbps']:6.2f} {r['vs_peer']:6.0f} "
              f"{r['vs_c_base64']:8.2f} {r['ours_vs_copy']:7.2f}"
              + ("" if r["peer_timed"] else "  (b85 extrapolated)"))
    print("x b85: stdlib base64.b85* time / ours; x C b64: binascii time /"
          " ours; x copy: ours / a plain copy (the floor).")


if __name__ == "__main__":
    main()
