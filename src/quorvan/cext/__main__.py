"""Command line: ``python -m quorvan.cext [diff OLD NEW [-o DELTA]]``.

With no arguments it runs the demo on the sample history shipped inside the
package.
"""
from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path

SAMPLE_DIR = Path(__file__).with_name("sample")


def _demo(out) -> int:
    from quorvan.cext import deltafold, linesift

    revs = [p.read_bytes() for p in sorted(SAMPLE_DIR.glob("ringbuf.c.*"),
                                           key=lambda p: int(p.suffix[1:]))]
    t0 = time.perf_counter()
    deltas = [linesift.linesift(a, b) for a, b in zip(revs, revs[1:])]
    for k in range(1, len(revs)):
        if deltafold.patches(revs[0], deltas[:k]) != revs[k]:
            print(f"demo: revision {k} did not rebuild", file=sys.stderr)
            return 1
    elapsed = time.perf_counter() - t0
    text = sum(map(len, revs))
    delta = sum(map(len, deltas))
    print(f"revisions {len(revs)}  text bytes {text}  delta bytes {delta}  "
          f"ratio {text / max(delta, 1):.1f}x  time {elapsed * 1e3:.2f} ms",
          file=out)
    print("every revision rebuilt from the base through one folded chain",
          file=out)
    return 0


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m quorvan.cext")
    sub = parser.add_subparsers(dest="cmd")
    d = sub.add_parser("diff", help="binary delta that turns OLD into NEW")
    d.add_argument("old")
    d.add_argument("new")
    d.add_argument("-o", "--output", help="write the delta here, not stdout")
    sub.add_parser("demo", help="diff and rebuild the sample history")
    args = parser.parse_args(argv)

    if args.cmd in (None, "demo"):
        return _demo(sys.stdout)
    from quorvan.cext import linesift

    try:
        old = Path(args.old).read_bytes()
        new = Path(args.new).read_bytes()
    except OSError as e:
        print(f"{parser.prog}: {e.filename}: {e.strerror}", file=sys.stderr)
        return 1
    delta = linesift.linesift(old, new)
    if args.output:
        Path(args.output).write_bytes(delta)
    else:
        sys.stdout.buffer.write(delta)
    return 0


if __name__ == "__main__":
    sys.exit(main())
