"""Command line of quorvan.cext: ``python -m quorvan.cext`` or ``quorvan-cext``.

Subcommands::

    diff OLD NEW [-o DELTA]        binary delta that turns OLD into NEW
    blocks OLD NEW [--json]        matching line blocks, one a line
    patch BASE DELTA... [-o OUT]   applies a chain of deltas in one pass
    size BASE DELTA                patched size from the delta's headers
    b85encode [--pad] [FILE]       base-85 text of FILE
    b85decode [FILE]               bytes of base-85 text
    fixws [--all] [FILE]           whitespace-normalised text
    demo                           diff and rebuild the sample history

With no arguments it runs the demo. FILE, BASE, DELTA, OLD and NEW may be
"-" for stdin, and OUT "-" for stdout. Exit status: 0 success, 1 bad input
(one line on stderr), 2 usage error.
"""
from __future__ import annotations

import argparse
import json
import os
import sys
import time
from pathlib import Path
from typing import Sequence

from quorvan.cext._cli import CliError, Data, Inputs, Progress, display, \
    write_output

SAMPLE_DIR = Path(__file__).with_name("sample")
UNDECODABLE = "patch cannot be decoded"


def _prog() -> str:
    name = os.path.basename(sys.argv[0]) if sys.argv and sys.argv[0] else ""
    return "quorvan-cext" if name.startswith("quorvan-cext") \
        else "python -m quorvan.cext"


def _too_large(args: argparse.Namespace, old: bytes, new: bytes,
               e: ValueError) -> CliError:
    # The line diff refuses a text of 4 GiB or more, or of more lines than
    # it can number; we name the larger of the two.
    big = args.old if len(old) >= len(new) else args.new
    return CliError(f"{display(big)}: {e}")


def cmd_diff(args: argparse.Namespace, inp: Inputs) -> None:
    from quorvan.cext import linesift

    old = inp.read(args.old)
    new = inp.read(args.new)
    try:
        delta = linesift.linesift(old, new)
    except ValueError as e:
        raise _too_large(args, old, new, e) from None
    write_output(args.output, delta)


def cmd_blocks(args: argparse.Namespace, inp: Inputs) -> None:
    from quorvan.cext import linesift

    old = inp.read(args.old)
    new = inp.read(args.new)
    try:
        found = linesift.blocks(old, new)
    except ValueError as e:
        raise _too_large(args, old, new, e) from None
    if args.json:
        text = json.dumps([list(b) for b in found]) + "\n"
    else:
        text = "".join(f"{a1} {a2} {b1} {b2}\n" for a1, a2, b1, b2 in found)
    write_output(args.output, text.encode("ascii"))


def _blame(base: Data, deltas: list[Data], names: list[str],
           error: Exception) -> CliError:
    """Names the delta that made a chain fail.

    patches reports one message for the whole chain, so we find the culprit
    only on this error path: first a delta that cannot be decoded at all,
    else the first one that does not fit the text it applies to.
    """
    where = (lambda i: f" (delta {i + 1} of {len(deltas)})"
             if len(deltas) > 1 else "")
    from quorvan.cext import deltafold

    for i, d in enumerate(deltas):
        try:
            deltafold.patches(b"", [d])
        except deltafold.deltafoldError as e:
            if str(e) == UNDECODABLE:
                return CliError(f"{display(names[i])}: {e}{where(i)}")
    text: Data = base
    for i, d in enumerate(deltas):
        try:
            text = deltafold.patches(text, [d])
        except deltafold.deltafoldError as e:
            return CliError(f"{display(names[i])}: {e}{where(i)}")
    return CliError(f"{display(names[-1])}: {error}"
                    f" (the chain of {len(deltas)} deltas)")


def cmd_patch(args: argparse.Namespace, inp: Inputs) -> None:
    from quorvan.cext import deltafold

    # patches takes any read-only buffer: large files stay mapped.
    base = inp.map(args.base)
    deltas: list[Data] = []
    with Progress("reading deltas", len(args.deltas)) as progress:
        for i, name in enumerate(args.deltas):
            deltas.append(inp.map(name))
            progress.update(i + 1)
    try:
        result = deltafold.patches(base, deltas)
    except deltafold.deltafoldError as e:
        raise _blame(base, deltas, args.deltas, e) from None
    write_output(args.output, result)


def cmd_size(args: argparse.Namespace, inp: Inputs) -> None:
    from quorvan.cext import deltafold

    baselen = inp.length(args.base)
    try:
        size = deltafold.patchedsize(baselen, inp.read(args.delta))
    except deltafold.deltafoldError as e:
        raise CliError(f"{display(args.delta)}: {e}") from None
    if size < 0:
        # The size is read from the headers alone, which never look at the
        # base; a negative size proves the delta cannot apply to it.
        raise CliError(f"{display(args.delta)}: invalid patch for a base of"
                       f" {baselen} bytes (patched size {size})")
    print(size)


def cmd_b85encode(args: argparse.Namespace, inp: Inputs) -> None:
    from quorvan.cext import pentacode

    data = inp.read(args.file)
    write_output(args.output, pentacode.b85encode(data, 1 if args.pad else 0))


def cmd_b85decode(args: argparse.Namespace, inp: Inputs) -> None:
    from quorvan.cext import pentacode

    text = inp.read(args.file)
    # One final line ending is not part of the text (an editor or echo adds
    # it); cutting it from the end leaves every error position unchanged.
    if text[-1:] == b"\n":
        text = text[:-2] if text[-2:] == b"\r\n" else text[:-1]
    try:
        data = pentacode.b85decode(text)
    except ValueError as e:
        raise CliError(f"{display(args.file)}: {e}") from None
    write_output(args.output, data)


def cmd_fixws(args: argparse.Namespace, inp: Inputs) -> None:
    from quorvan.cext import linesift

    text = inp.read(args.file)
    write_output(args.output, linesift.fixws(text, 1 if args.all else 0))


def _sample_history() -> list[bytes]:
    paths = sorted(SAMPLE_DIR.glob("ringbuf.c.*"),
                   key=lambda p: int(p.suffix[1:]))
    if len(paths) < 2:
        raise CliError(f"{SAMPLE_DIR}: sample history missing")
    return [p.read_bytes() for p in paths]


def cmd_demo(args: argparse.Namespace, inp: Inputs) -> None:
    from quorvan.cext import deltafold, linesift

    revs = _sample_history()
    n = len(revs)
    t0 = time.perf_counter()
    with Progress("diffing revisions", n - 1) as progress:
        deltas: list[bytes] = []
        for k in range(1, n):
            deltas.append(linesift.linesift(revs[k - 1], revs[k]))
            progress.update(k)
    t1 = time.perf_counter()
    with Progress("rebuilding revisions", n) as progress:
        for k in range(n):
            # Revision k from revision 0 through deltas 1..k, folded into
            # one replacement list and applied in a single pass.
            if bytes(deltafold.patches(revs[0], deltas[:k])) != revs[k]:
                raise CliError(f"demo: revision {k} was not rebuilt"
                               " byte for byte")
            progress.update(k + 1)
    t2 = time.perf_counter()

    text_bytes = sum(map(len, revs))
    delta_bytes = sum(map(len, deltas))
    ratio = f"{text_bytes / delta_bytes:.1f}x" if delta_bytes else "-"
    rows = [("revisions", "text bytes", "delta bytes", "text/delta", "time"),
            (str(n), str(text_bytes), str(delta_bytes), ratio,
             f"{(t2 - t0) * 1e3:.2f} ms")]
    widths = [max(len(r[i]) for r in rows) for i in range(len(rows[0]))]
    print(f"demo: {n} revisions of {SAMPLE_DIR.name}/ringbuf.c, diffed"
          " revision by revision and each rebuilt from revision 0")
    print()
    for r in rows:
        print("  ".join(c.rjust(w) for c, w in zip(r, widths)))
    print()
    print(f"diff {(t1 - t0) * 1e3:.2f} ms, rebuild {(t2 - t1) * 1e3:.2f} ms;"
          f" all {n} revisions rebuilt byte for byte through one folded"
          " chain each")


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=_prog(),
        description="Line diffs, binary deltas, base-85 text and whitespace"
                    " normalisation from quorvan.cext. With no arguments,"
                    " runs the demo.",
        epilog='Files may be "-" for stdin (and -o "-" for stdout). Exit'
               " status 0 on success, 1 on bad input, 2 on usage errors.")
    sub = parser.add_subparsers(dest="cmd", metavar="COMMAND")

    def add(name: str, func, help: str) -> argparse.ArgumentParser:
        p = sub.add_parser(name, help=help, description=help)
        p.set_defaults(func=func)
        return p

    def output(p: argparse.ArgumentParser, what: str) -> None:
        p.add_argument("-o", "--output", metavar="OUT",
                       help=f"write the {what} to OUT (default: stdout)")

    p = add("diff", cmd_diff, "write the binary delta that turns OLD into NEW")
    p.add_argument("old", metavar="OLD")
    p.add_argument("new", metavar="NEW")
    output(p, "delta")

    p = add("blocks", cmd_blocks,
            "list the matching line blocks of OLD and NEW as"
            " 'a1 a2 b1 b2' (half-open line ranges from 0)")
    p.add_argument("old", metavar="OLD")
    p.add_argument("new", metavar="NEW")
    p.add_argument("--json", action="store_true",
                   help="print one JSON list of [a1, a2, b1, b2] lists")
    output(p, "blocks")

    p = add("patch", cmd_patch,
            "apply DELTA... in order to BASE, folded into one pass")
    p.add_argument("base", metavar="BASE")
    p.add_argument("deltas", metavar="DELTA", nargs="+")
    output(p, "patched text")

    p = add("size", cmd_size,
            "print the size of BASE patched by DELTA, read from the delta's"
            " headers alone")
    p.add_argument("base", metavar="BASE")
    p.add_argument("delta", metavar="DELTA")

    p = add("b85encode", cmd_b85encode, "encode FILE as base-85 text")
    p.add_argument("--pad", action="store_true",
                   help="pad to a multiple of five characters")
    p.add_argument("file", metavar="FILE", nargs="?", default="-")
    output(p, "text")

    p = add("b85decode", cmd_b85decode,
            "decode base-85 text (one final line ending is ignored)")
    p.add_argument("file", metavar="FILE", nargs="?", default="-")
    output(p, "bytes")

    p = add("fixws", cmd_fixws,
            "turn each run of spaces, tabs and CRs into one space and drop"
            " it before a line feed")
    p.add_argument("--all", action="store_true",
                   help="drop every space, tab and CR instead")
    p.add_argument("file", metavar="FILE", nargs="?", default="-")
    output(p, "text")

    add("demo", cmd_demo,
        "diff the sample history shipped with the package and rebuild"
        " every revision from the base")
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as e:  # --help, or a usage error already printed
        return e.code if isinstance(e.code, int) else 2
    func = getattr(args, "func", cmd_demo)
    named = [getattr(args, k, None) for k in ("old", "new", "base", "delta",
                                              "file")]
    if (named + getattr(args, "deltas", [])).count("-") > 1:
        parser.print_usage(sys.stderr)
        print(f"{parser.prog}: error: standard input ('-') can be read only"
              " once", file=sys.stderr)
        return 2
    try:
        with Inputs() as inp:
            func(args, inp)
    except CliError as e:
        print(f"{parser.prog}: {e}", file=sys.stderr)
        return e.status
    except MemoryError:
        print(f"{parser.prog}: out of memory", file=sys.stderr)
        return 1
    except BrokenPipeError:
        # The reader went away (| head). Point stdout at /dev/null so the
        # interpreter's final flush does not fail a second time.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
        return 1
    except KeyboardInterrupt:
        return 130
    return 0


if __name__ == "__main__":
    sys.exit(main())
