"""Speed of pentacode's b85encode / b85decode.

Peers, timed side by side in the same run on the same random input:
- base64.b85encode / base64.b85decode (same alphabet, pure Python);
- one copy of the input into a new bytes object, the memory-bandwidth floor.

    python benchmarks/bench_pentacode.py [--sizes 1,64] [--peer-max 64]

Sizes are in MiB. Our functions and the copy take the best of several
runs; the pure-Python peer is slow, so it runs three times on small inputs
and once on large ones, and not at all above --peer-max MiB (its time there is then extrapolated linearly from
the largest size it did run on, and marked so).
"""
import argparse
import base64
import os
import random
import sys
import time

from quorvan.cext import pentacode

MiB = 1 << 20


def best_time(fn, arg, budget=1.0, min_runs=5, max_runs=50):
    """Best of repeated runs of fn(arg) within about `budget` seconds."""
    best = float("inf")
    spent = 0.0
    runs = 0
    while runs < min_runs or (spent < budget and runs < max_runs):
        t0 = time.perf_counter()
        fn(arg)
        dt = time.perf_counter() - t0
        best = min(best, dt)
        spent += dt
        runs += 1
    return best


def peer_time(fn, arg):
    """The slow peer: best of three on small inputs, a single run on big
    ones (64 MiB takes it several seconds)."""
    runs = 3 if len(arg) <= 4 * MiB else 1
    best = float("inf")
    for _ in range(runs):
        t0 = time.perf_counter()
        fn(arg)
        best = min(best, time.perf_counter() - t0)
    return best


def run(sizes_mib=(1, 64), peer_max_mib=64, seed=1):
    """Returns one row per (operation, size): dicts with the times in
    seconds of ours, the base64 peer and the copy floor, and the ratios
    peer/ours (our speed-up) and ours/copy (how far above the floor)."""
    rng = random.Random(seed)
    rows = []
    peer_rate = {}  # op -> seconds per byte at the largest size timed
    for size_mib in sizes_mib:
        n = size_mib * MiB
        data = rng.randbytes(n)
        text = pentacode.b85encode(data)
        assert pentacode.b85decode(text) == data
        copy_s = best_time(lambda b: memoryview(b).tobytes(), data)
        for op, ours, peer, arg in (
                ("b85encode", pentacode.b85encode, base64.b85encode, data),
                ("b85decode", pentacode.b85decode, base64.b85decode, text)):
            ours_s = best_time(ours, arg)
            if size_mib <= peer_max_mib:
                peer_s = peer_time(peer, arg)
                peer_rate[op] = peer_s / n
                measured = True
            else:
                peer_s = peer_rate[op] * n if op in peer_rate else float("nan")
                measured = False
            rows.append({
                "op": op, "size_mib": size_mib, "ours_s": ours_s,
                "peer_s": peer_s, "peer_measured": measured,
                "copy_s": copy_s, "ours_gbps": n / ours_s / 1e9,
                "speedup_vs_base64": peer_s / ours_s,
                "ours_vs_copy": ours_s / copy_s,
            })
    return rows


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--sizes", default="1,64",
                    help="input sizes in MiB, comma-separated")
    ap.add_argument("--peer-max", type=int, default=64,
                    help="largest size (MiB) to time base64 on")
    ap.add_argument("--seed", type=int, default=1)
    args = ap.parse_args(argv)
    sizes = [int(s) for s in args.sizes.split(",")]
    print(f"python {sys.version.split()[0]}, {os.cpu_count()} cpus")
    print(f"{'op':10} {'MiB':>4} {'ours GB/s':>9} {'x base64':>9} "
          f"{'x copy':>7}  base64")
    for r in run(sizes, args.peer_max, args.seed):
        print(f"{r['op']:10} {r['size_mib']:>4} {r['ours_gbps']:9.2f} "
              f"{r['speedup_vs_base64']:9.0f} {r['ours_vs_copy']:7.1f}  "
              f"{'timed' if r['peer_measured'] else 'extrapolated'}")


if __name__ == "__main__":
    main()
