"""Command line of quorvan.cext: ``python -m quorvan.cext`` or ``quorvan-cext``.

Subcommands::

    diff OLD NEW [-o DELTA]        binary delta that turns OLD into NEW
    diff -u OLD NEW [-U N] [-p] [-o OUT]  unified diff, for patch and git
    diff -u -r [-N] OLD_DIR NEW_DIR  one unified diff of two folders
    apply [-p N] [-d DIR] [-R] [--dry-run] PATCH
                                   applies a patch of many files to a tree
    apply FILE PATCH [-o OUT]      applies a unified diff to FILE
    blocks OLD NEW [--json]        matching line blocks, one a line
    patch BASE DELTA... [-o OUT]   applies a chain of deltas in one pass
    size BASE DELTA [-o OUT]       patched size from the delta's headers
    b85encode [--pad] [FILE]       base-85 text of FILE
    b85decode [FILE]               bytes of base-85 text
    fixws [--all] [FILE]           whitespace-normalised text
    demo                           diff and rebuild the sample history

With no arguments it runs the demo. FILE, BASE, DELTA, OLD, NEW and PATCH
may be "-" for stdin (a missing FILE is stdin too), and OUT "-" for stdout.
Exit status: 0 success, 1 bad input (one line on stderr), 2 usage error or
an output that cannot be written; ``diff -u`` follows diff instead: 0
equal, 1 different, 2 trouble.
"""
from __future__ import annotations

import _signal  # type: ignore[import-not-found]  # signal's core, built in
import sys

if (__name__ == "__main__" or (sys.argv and sys.argv[0].rsplit(
        "/", 1)[-1].startswith("quorvan-cext"))) and \
        _signal.getsignal(_signal.SIGINT) is _signal.default_int_handler:
    # Run as a program (python -m, or the installed script importing us):
    # Ctrl-C ends it at once from here on, start-up included (main keeps it
    # so), and leaves no traceback.
    _signal.signal(_signal.SIGINT, _signal.SIG_DFL)

import argparse  # noqa: E402
import contextlib  # noqa: E402
import os  # noqa: E402
import time  # noqa: E402

from quorvan.cext._cli import CliError, Data, Inputs, OutputError, \
    Progress, display, native_call, output_error, write_output  # noqa: E402

TYPE_CHECKING = False
if TYPE_CHECKING:  # typing and pathlib cost start-up time; names only
    from typing import IO, Callable, Optional, Sequence

    from _typeshed import SupportsWrite

SAMPLE_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)),
                          "sample")


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


def _stat_ns(path: str) -> Optional[int]:
    try:
        return None if path == "-" else os.stat(path).st_mtime_ns
    except OSError:
        return None


def cmd_diff(args: argparse.Namespace, inp: Inputs) -> int:
    if args.context is not None or args.functions:
        args.unified = True
    if args.recursive:
        if not args.unified:
            raise CliError("diff -r writes unified diffs only: add -u", 2)
        from quorvan.cext._tree import diff_trees

        return diff_trees(args.old, args.new, _switches(args),
                          _context_of(args), args.new_file, args.functions,
                          args.output, _prog())
    if not args.unified and args.output in (None, "-") and \
            sys.stdout is not None and sys.stdout.isatty():
        raise CliError("refusing to write a binary delta to a terminal;"
                       " use -o FILE or a redirection")
    from quorvan.cext._linediff import delta_of, line_changes

    old = inp.read(args.old)
    new = inp.read(args.new)
    try:
        with native_call():
            changes = line_changes(old, new)
    except ValueError as e:
        raise _too_large(args, old, new, e) from None
    if not args.unified:
        write_output(args.output, delta_of(new, changes))
        return 0
    from quorvan.cext._unified import file_label, unified_changes

    text = unified_changes(old, new, changes,
                           file_label(args.old, _stat_ns(args.old)),
                           file_label(args.new, _stat_ns(args.new)),
                           _context_of(args), args.functions)
    write_output(args.output, text)
    return 1 if text else 0


def _context_of(args: argparse.Namespace) -> int:
    return 3 if args.context is None else int(args.context)


def _switches(args: argparse.Namespace) -> str:
    """The options as diff -r echoes them before each file's diff."""
    flags = "ru" + ("N" if args.new_file else "") + \
        ("p" if args.functions else "")
    if args.context is None:
        return f"-{flags}"
    flags = flags.replace("u", "")
    return f"-{flags} -U {args.context}"


def cmd_apply(args: argparse.Namespace, inp: Inputs) -> None:
    # A patch becomes many small lists that live to the end of the run:
    # the cyclic collector would walk them over and over, finding nothing.
    import gc

    enabled = gc.isenabled()
    gc.disable()
    try:
        _apply(args, inp)
    finally:
        if enabled:
            gc.enable()


def _apply(args: argparse.Namespace, inp: Inputs) -> None:
    from quorvan.cext._apply import PatchError

    if args.patch is None:
        return _apply_tree(args, inp)
    if args.strip is not None or args.directory is not None:
        raise CliError("-p and -d go with a patch of a tree, not with the"
                       " FILE PATCH form", 2)
    from quorvan.cext._apply import read_patch
    from quorvan.cext._patchtree import _patched

    text = inp.read(args.file)
    data = inp.read(args.patch)
    moved: list[str] = []  # said only once every hunk has found its place
    try:
        hunks = read_patch(data)
        if not hunks and data.strip():
            raise PatchError("no hunks found")
        if args.reverse:
            hunks = [h.reversed() for h in hunks]
        result = _patched(text, hunks, display(args.file), args.reverse,
                          moved.append)
    except PatchError as e:
        raise CliError(f"{display(args.patch)}: {e}") from None
    _say(moved, sys.stderr)
    if not args.dry_run:
        write_output(args.output, result)


def _say(lines: list[str], stream: IO[str]) -> None:
    # A failed write raises OSError, which main reports as output trouble.
    if lines:
        stream.write("".join(x + "\n" for x in lines))
        stream.flush()


def _apply_tree(args: argparse.Namespace, inp: Inputs) -> None:
    from quorvan.cext._apply import PatchError
    from quorvan.cext._patchset import read_patchset
    from quorvan.cext._patchtree import Tree, commit, plan

    if args.output is not None:
        raise CliError("-o goes with the FILE PATCH form; a patch of a tree"
                       " writes its files in place (see -d)", 2)
    data = inp.read(args.file)
    said: list[str] = []
    try:
        files = read_patchset(data)
        if not files and data.strip():
            raise PatchError("no file's diff found")
        tree = Tree(args.directory or ".")
        failures = plan(tree, files, 1 if args.strip is None else args.strip,
                        args.reverse, said.append)
    except PatchError as e:
        raise CliError(f"{display(args.file)}: {e}") from None
    if failures:
        prog = _prog()
        for line in failures[:-1]:
            print(f"{prog}: {line}", file=sys.stderr)
        raise CliError(f"{failures[-1]}; nothing written"
                       + (f" ({len(failures)} files fail)"
                          if len(failures) > 1 else ""))
    if args.dry_run:
        said.append("dry run: nothing written")
    else:
        try:
            commit(tree)
        except OSError as e:
            where = f"{e.filename}: " if e.filename else ""
            raise CliError(f"{where}{e.strerror or e}; nothing written, or"
                           " see the files named above", 2) from None
    _say(said, sys.stdout)


def cmd_blocks(args: argparse.Namespace, inp: Inputs) -> None:
    from quorvan.cext import linesift

    old = inp.read(args.old)
    new = inp.read(args.new)
    try:
        with native_call():
            found = linesift.blocks(old, new)
    except ValueError as e:
        raise _too_large(args, old, new, e) from None
    if args.json:
        import json

        text = json.dumps([list(b) for b in found]) + "\n"
    else:
        text = "".join(f"{a1} {a2} {b1} {b2}\n" for a1, a2, b1, b2 in found)
    write_output(args.output, text.encode("ascii"))


def _blame(base: Data, deltas: list[Data], names: list[str],
           error: Exception) -> CliError:
    """Names the delta that made a chain fail, and what is wrong with it.

    patches reports one message for the whole chain, so we find the culprit
    only on this error path, by our own reading: first a delta whose framing
    cannot be decoded, else the first one that does not fit the text it
    applies to, taken one delta at a time.
    """
    from quorvan.cext import deltafold
    from quorvan.cext._deltaread import fit_problem, framing_problem

    def where(i: int) -> str:
        return f" (delta {i + 1} of {len(deltas)})" if len(deltas) > 1 else ""

    for i, d in enumerate(deltas):
        problem = framing_problem(d)
        if problem is not None:
            return CliError(f"{display(names[i])}: patch cannot be decoded"
                            f"{where(i)}: {problem}")
    text: Data = base
    for i, d in enumerate(deltas):
        try:
            with native_call():
                text = deltafold.patches(text, [d])
        except deltafold.deltafoldError as e:
            problem = fit_problem(d, len(text))
            detail = f": {problem}" if problem else ""
            return CliError(f"{display(names[i])}: {e}{where(i)}{detail}")
    return CliError(f"{display(names[-1])}: {error}"
                    f" (the chain of {len(deltas)} deltas)")


def cmd_patch(args: argparse.Namespace, inp: Inputs) -> None:
    from quorvan.cext import deltafold

    # patches takes any read-only buffer, so a large base stays mapped;
    # deltas are read (a map would hold a descriptor each).
    base = inp.map(args.base)
    deltas: list[Data] = []
    with Progress("reading deltas", len(args.deltas)) as progress:
        for i, name in enumerate(args.deltas):
            deltas.append(inp.read(name))
            progress.update(i + 1)
    try:
        with native_call():
            result = deltafold.patches(base, deltas)
    except deltafold.deltafoldError as e:
        raise _blame(base, deltas, args.deltas, e) from None
    write_output(args.output, result)


def cmd_size(args: argparse.Namespace, inp: Inputs) -> None:
    from quorvan.cext import deltafold
    from quorvan.cext._deltaread import fit_problem, framing_problem

    baselen = inp.length(args.base)
    delta = inp.read(args.delta)
    try:
        size = deltafold.patchedsize(baselen, delta)
    except deltafold.deltafoldError as e:
        problem = framing_problem(delta)
        detail = f": {problem}" if problem else ""
        raise CliError(f"{display(args.delta)}: {e}{detail}") from None
    if size < 0:
        # The size is read from the headers alone, which never look at the
        # base; a negative size proves the delta cannot apply to it.
        problem = fit_problem(delta, baselen)
        detail = f": {problem}" if problem else ""
        raise CliError(f"{display(args.delta)}: invalid patch for a base of"
                       f" {baselen} bytes (patched size {size}){detail}")
    write_output(args.output, b"%d\n" % size)


def cmd_b85encode(args: argparse.Namespace, inp: Inputs) -> None:
    from quorvan.cext import pentacode

    data = inp.read(args.file)
    with native_call():
        text = pentacode.b85encode(data, 1 if args.pad else 0)
    # A line feed ends the text, as base64 ends its; b85decode ignores it.
    write_output(args.output, text + b"\n" if text else text)


def cmd_b85decode(args: argparse.Namespace, inp: Inputs) -> None:
    from quorvan.cext import pentacode

    text = inp.read(args.file)
    # One final line ending is not part of the text (an editor or echo adds
    # it); cutting it from the end leaves every error position unchanged.
    if text[-1:] == b"\n":
        text = text[:-2] if text[-2:] == b"\r\n" else text[:-1]
    try:
        with native_call():
            data = pentacode.b85decode(text)
    except ValueError as e:
        raise CliError(f"{display(args.file)}: {e}") from None
    write_output(args.output, data)


def cmd_fixws(args: argparse.Namespace, inp: Inputs) -> None:
    from quorvan.cext import linesift

    text = inp.read(args.file)
    with native_call():
        text = linesift.fixws(text, 1 if args.all else 0)
    write_output(args.output, text)


def _sample_history() -> list[bytes]:
    try:
        names = [n for n in os.listdir(SAMPLE_DIR)
                 if n.startswith("ringbuf.c.")]
    except OSError:
        names = []
    names.sort(key=lambda n: int(n.rsplit(".", 1)[1]))
    if len(names) < 2:
        raise CliError(f"{SAMPLE_DIR}: sample history missing")
    out = []
    for n in names:
        with open(os.path.join(SAMPLE_DIR, n), "rb") as f:
            out.append(f.read())
    return out


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
    print(f"demo: {n} revisions of {os.path.basename(SAMPLE_DIR)}/ringbuf.c,"
          " diffed"
          " revision by revision and each rebuilt from revision 0")
    print()
    for r in rows:
        print("  ".join(c.rjust(w) for c, w in zip(r, widths)))
    print()
    print(f"diff {(t1 - t0) * 1e3:.2f} ms, rebuild {(t2 - t1) * 1e3:.2f} ms;"
          f" all {n} revisions rebuilt byte for byte through one folded"
          " chain each")


def _version() -> str:
    """The installed version, read from the name of the package's
    dist-info folder: importing importlib.metadata for it would cost more
    than all the rest of a small command."""
    site = os.path.dirname(os.path.dirname(os.path.dirname(
        os.path.abspath(__file__))))
    lead, tail = "quorvan_cext-", ".dist-info"
    try:
        for name in os.listdir(site):
            if name.startswith(lead) and name.endswith(tail):
                return name[len(lead):-len(tail)]
    except OSError:
        pass
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("quorvan-cext")
    except PackageNotFoundError:  # run from a source tree, not installed
        return "unknown"


class _VersionAction(argparse.Action):
    """--version, with the version looked up only when asked for, and a
    failed write reported like any other."""

    def __init__(self, option_strings: list[str], dest: str,
                 **kw: object) -> None:
        super().__init__(option_strings, dest, nargs=0,
                         help="print the installed package's version")

    def __call__(self, parser: argparse.ArgumentParser,
                 namespace: argparse.Namespace, values: object,
                 option_string: str | None = None) -> None:
        write_output(None, f"quorvan-cext {_version()}\n".encode())
        parser.exit()


def _context(text: str) -> int:
    n = int(text)
    if n < 0:
        raise argparse.ArgumentTypeError("must be 0 or more")
    return n


def _terminal_columns() -> int:
    """What shutil.get_terminal_size gives, without importing shutil (and
    its compression modules) on every run."""
    try:
        return int(os.environ["COLUMNS"])
    except (KeyError, ValueError):
        pass
    stdout = sys.__stdout__
    try:
        if stdout is not None:
            return os.get_terminal_size(stdout.fileno()).columns or 80
    except (AttributeError, ValueError, OSError):
        pass
    return 80


class _Formatter(argparse.HelpFormatter):
    """argparse's help formatter with the terminal width looked up once.

    argparse makes a formatter for every argument it adds, to check the
    metavar, and each one asks the terminal for its size: a cost paid on
    every run for help that is rarely printed."""

    columns: Optional[int] = None

    def __init__(self, prog: str, indent_increment: int = 2,
                 max_help_position: int = 24,
                 width: Optional[int] = None) -> None:
        if width is None:
            if _Formatter.columns is None:
                _Formatter.columns = _terminal_columns() - 2
            width = _Formatter.columns
        super().__init__(prog, indent_increment, max_help_position, width)


class _Parser(argparse.ArgumentParser):
    """argparse drops a failed write of --help in silence; ours reports it
    as any other failed write to standard output."""

    def _print_message(self, message: str,
                       file: Optional[SupportsWrite[str]] = None) -> None:
        if not message:
            return
        out = file or sys.stderr
        try:
            out.write(message)
        except OSError as e:
            if out is sys.stdout:
                raise output_error(e) from None


def _translate_once() -> None:
    """argparse translates its fixed texts on every use, and each lookup
    searches the disk for message catalogs. The catalogs do not change
    while we run, so one lookup per text is enough."""
    import functools

    gettext = getattr(argparse, "_")
    if not hasattr(gettext, "cache_info"):
        setattr(argparse, "_", functools.lru_cache(maxsize=None)(gettext))


class _Unused:
    """Takes the arguments of a subcommand that is not run: building every
    subcommand's parser costs more than a small command itself."""

    usage: Optional[str] = None

    def add_argument(self, *args: object, **kwargs: object) -> None:
        pass


def build_parser(only: Optional[str] = None) -> argparse.ArgumentParser:
    """The parser of every subcommand; given the name of one (the first
    argument of a run), of that one alone."""
    _translate_once()
    parser = _Parser(
        prog=_prog(), formatter_class=_Formatter,
        description="Line diffs, binary deltas, unified diffs, base-85 text"
                    " and whitespace normalisation from quorvan.cext. With"
                    " no arguments, runs the demo.",
        epilog='Any input may be "-" for standard input, and a FILE left out'
               ' is standard input too; -o "-" is standard output, the'
               " default. Exit status 0 on success, 1 on bad input, 2 on"
               " usage errors; diff -u exits 0 when the files are equal, 1"
               " when they differ, 2 on trouble.")
    parser.add_argument("--version", action=_VersionAction)
    # prog given, so that argparse builds no help formatter (and imports no
    # shutil) for it on every run.
    sub = parser.add_subparsers(dest="cmd", metavar="COMMAND",
                                prog=parser.prog)

    def add(name: str, func: Callable[[argparse.Namespace, Inputs],
                                      Optional[int]],
            help: str) -> argparse.ArgumentParser:
        if only is not None and name != only:
            return _Unused()  # type: ignore[return-value]
        p = sub.add_parser(name, help=help, description=help,
                           formatter_class=_Formatter)
        p.set_defaults(func=func)
        return p

    def output(p: argparse.ArgumentParser, what: str) -> None:
        p.add_argument("-o", "--output", metavar="OUT",
                       help=f"write the {what} to OUT (default: stdout)")

    def stdin_file(p: argparse.ArgumentParser) -> None:
        p.add_argument("file", metavar="FILE", nargs="?", default="-",
                       help="input file (default, or -: standard input)")

    p = add("diff", cmd_diff,
            "write the binary delta that turns OLD into NEW, or with -u a"
            " unified diff")
    p.add_argument("old", metavar="OLD")
    p.add_argument("new", metavar="NEW")
    p.add_argument("-u", "--unified", action="store_true",
                   help="write a unified diff (exit 0 equal, 1 different,"
                        " 2 trouble)")
    p.add_argument("-U", "--context", metavar="N", type=_context,
                   help="lines of context (default 3); implies -u")
    p.add_argument("-p", "--show-c-function", dest="functions",
                   action="store_true",
                   help="name the enclosing function (the last line before"
                        " the hunk that starts with a letter, $ or _) in"
                        " each hunk header; implies -u")
    p.add_argument("-r", "--recursive", action="store_true",
                   help="OLD and NEW are folders: one diff of every file"
                        " in them, in sorted order")
    p.add_argument("-N", "--new-file", action="store_true",
                   help="with -r, a file missing on one side is diffed"
                        " against an empty one")
    output(p, "delta or diff")

    p = add("apply", cmd_apply,
            "apply the unified diff PATCH to the files it names (or, given"
            " FILE PATCH, to FILE); every hunk of every file is checked"
            " before anything is written")
    p.usage = ("%(prog)s [-p N] [-d DIR] [-R] [--dry-run] PATCH\n"
               "       %(prog)s [-R] [--dry-run] FILE PATCH [-o OUT]")
    p.add_argument("file", metavar="FILE",
                   help="the file to patch; alone, the patch of a tree")
    p.add_argument("patch", metavar="PATCH", nargs="?")
    p.add_argument("-p", "--strip", metavar="N", type=_context,
                   help="strip N leading directories from the patch's file"
                        " names (default 1, as git diff writes them)")
    p.add_argument("-d", "--directory", metavar="DIR",
                   help="apply in DIR (default: the current directory)")
    p.add_argument("-R", "--reverse", action="store_true",
                   help="take the patch's changes out")
    p.add_argument("--dry-run", action="store_true",
                   help="check and report; write nothing")
    output(p, "patched text of FILE")

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
    output(p, "size")

    p = add("b85encode", cmd_b85encode,
            "encode FILE as base-85 text, ended by a line feed")
    p.add_argument("--pad", action="store_true",
                   help="pad to a multiple of five characters")
    stdin_file(p)
    output(p, "text")

    p = add("b85decode", cmd_b85decode,
            "decode base-85 text (one final line ending is ignored)")
    stdin_file(p)
    output(p, "bytes")

    p = add("fixws", cmd_fixws,
            "turn each run of spaces, tabs and CRs into one space and drop"
            " it before a line feed")
    p.add_argument("--all", action="store_true",
                   help="drop every space, tab and CR instead")
    stdin_file(p)
    output(p, "text")

    add("demo", cmd_demo,
        "diff the sample history shipped with the package and rebuild"
        " every revision from the base")
    if only is not None and only not in sub.choices:  # an option, or a typo
        return build_parser()
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    # SIGINT ends the process at once, by its default action, except where
    # an output file is being written (write_output turns it into
    # KeyboardInterrupt there, to remove its temporary file). So no traceback
    # can come from anywhere in between.
    with native_call():
        try:
            return _run(argv)
        except KeyboardInterrupt:  # while an output file was written
            return 130


def _run(argv: Sequence[str] | None) -> int:
    first = (sys.argv[1:] if argv is None else argv)[:1]
    parser = build_parser(first[0] if first else None)
    try:
        args = parser.parse_args(argv)
    except SystemExit as e:  # --help, or a usage error already printed
        code = e.code if isinstance(e.code, int) else 2
        if code == 0 and sys.stdout is not None:
            try:  # the help is still in stdout's buffer
                sys.stdout.flush()
            except OSError as error:
                return _failed(parser, output_error(error), 2)
        return code
    except CliError as e:  # --version or --help could not be written
        return _failed(parser, e, 2)
    func = getattr(args, "func", cmd_demo)
    named = [getattr(args, k, None) for k in ("old", "new", "base", "delta",
                                              "file", "patch")]
    if (named + getattr(args, "deltas", [])).count("-") > 1:
        parser.print_usage(sys.stderr)
        print(f"{parser.prog}: error: standard input ('-') can be read only"
              " once", file=sys.stderr)
        return 2
    # diff -u answers "do they differ" with 0 or 1, so trouble is 2.
    trouble = 2 if any(getattr(args, k, None) for k in (
        "unified", "functions", "recursive")) or \
        getattr(args, "context", None) is not None else 1
    try:
        if sys.stdout is None and getattr(args, "output", None) in (None,
                                                                    "-"):
            raise OutputError("standard output: Bad file descriptor")
        try:
            with Inputs() as inp:
                status = func(args, inp)
            if sys.stdout is not None:
                sys.stdout.flush()  # what print() wrote
        except OSError as e:
            # Files are read and written through _cli, which names them;
            # what reaches here is print() to standard output.
            raise output_error(e) from None
    except CliError as e:
        return _failed(parser, e, trouble)
    except MemoryError:
        print(f"{parser.prog}: out of memory", file=sys.stderr)
        return trouble
    return status or 0


def _failed(parser: argparse.ArgumentParser, e: CliError,
            trouble: int) -> int:
    if isinstance(e, OutputError):
        # Whatever is left in stdout's buffers would fail again when the
        # interpreter flushes them at exit: let that go to /dev/null.
        if sys.stdout is not None:
            with contextlib.suppress(OSError, ValueError):
                devnull = os.open(os.devnull, os.O_WRONLY)
                os.dup2(devnull, sys.stdout.fileno())
                os.close(devnull)
        if e.quiet:  # the reader went away (| head): nothing to say
            return e.status
    print(f"{parser.prog}: {e}", file=sys.stderr)
    return max(e.status, trouble)


if __name__ == "__main__":
    sys.exit(main())
