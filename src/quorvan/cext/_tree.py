"""``diff -u -r [-N] OLD_DIR NEW_DIR``: one unified diff of two folders.

Files come in sorted order (names compared as bytes), a folder's files where
its name sorts, as GNU ``diff -r`` lists them. Each differing pair gets the
line ``diff -ruN OLD NEW`` and its unified diff. Without -N a name on one
side only is reported as ``Only in FOLDER: NAME``; with -N it is diffed
against an empty file stamped with the epoch, as GNU ``diff -ruN`` does, so
that GNU patch and git apply create or delete it. An empty file has no hunk
to carry it, so its creation or deletion is written as git writes it
(``diff --git`` and ``new file mode`` or ``deleted file mode``), after all
other files: GNU patch reads such a header only where no diff of the other
kind follows it (and it creates the empty file, but cannot delete one).
Files with zero bytes are diffed as text: both peers apply such hunks byte
for byte.

Exit status as diff's: 0 no difference, 1 differences, 2 trouble (a file that
cannot be read is named on stderr and the walk goes on).
"""
from __future__ import annotations

import os
import stat
import sys

from quorvan.cext._cli import CliError, write_output
from quorvan.cext._linediff import line_changes
from quorvan.cext._unified import EPOCH, quote_name, timestamp, \
    unified_changes

TYPE_CHECKING = False
if TYPE_CHECKING:  # typing costs start-up time; names only
    from typing import List, Optional, Set, Tuple


class _Walk:
    def __init__(self, switches: str, context: int, new_file: bool,
                 functions: bool, output: Optional[str], prog: str) -> None:
        self.switches = switches.encode()
        self.context = context
        self.new_file = new_file
        self.functions = functions
        self.output = output
        self.prog = prog
        self.status = 0
        self.kept: List[bytes] = []  # the whole diff, for -o
        self.empties: List[bytes] = []  # empty files made or removed
        self.folders: Set[Tuple[int, int]] = set()  # on the current path

    def emit(self, data: bytes) -> None:
        self.status = max(self.status, 1)
        if self.output in (None, "-"):
            write_output(None, data)  # file by file, so | head ends early
        else:
            self.kept.append(data)

    def trouble(self, path: bytes, what: str) -> None:
        print(f"{self.prog}: {os.fsdecode(path)}: {what}", file=sys.stderr)
        self.status = 2

    def look(self, path: bytes) -> Optional[os.stat_result]:
        """stat through links; None when nothing is there. A link to
        nothing is trouble, as in diff."""
        try:
            return os.stat(path)
        except FileNotFoundError:
            if os.path.lexists(path):
                self.trouble(path, "No such file or directory")
            return None
        except OSError as e:
            self.trouble(path, e.strerror or str(e))
            return None

    def read(self, path: bytes) -> Optional[bytes]:
        try:
            with open(path, "rb") as f:
                return f.read()
        except OSError as e:
            self.trouble(path, e.strerror or str(e))
            return None

    def folder(self, old: bytes, new: bytes, old_here: bool,
               new_here: bool) -> None:
        """Both sides of a folder; with -N one of them may be missing."""
        names: Set[bytes] = set()
        for side, here in ((old, old_here), (new, new_here)):
            if not here:
                continue
            try:
                names.update(os.listdir(side))
            except OSError as e:
                self.trouble(side, e.strerror or str(e))
                return
        for name in sorted(names):
            self.entry(old, new, name, old_here, new_here)

    def entry(self, old_dir: bytes, new_dir: bytes, name: bytes,
              old_here: bool, new_here: bool) -> None:
        old = os.path.join(old_dir, name)
        new = os.path.join(new_dir, name)
        so = self.look(old) if old_here else None
        sn = self.look(new) if new_here else None
        if so is None and sn is None:
            return
        if (so is None or sn is None) and not self.new_file:
            self.emit(b"Only in %s: %s\n" % (
                old_dir if so is not None else new_dir, name))
            return
        kinds = [None if s is None else _kind(s.st_mode) for s in (so, sn)]
        if kinds[0] == kinds[1] == "directory" or \
                (None in kinds and "directory" in kinds):
            here = [st for st in (so, sn) if st is not None]
            if any(self.entered(st) for st in here):
                self.trouble(old if so else new, "recursive directory loop")
                return
            keys = {(st.st_dev, st.st_ino) for st in here}
            self.folders |= keys
            try:
                self.folder(old, new, so is not None, sn is not None)
            finally:
                self.folders -= keys
            return
        if kinds[0] != kinds[1] and None not in kinds or \
                any(k not in (None, "regular file") for k in kinds):
            self.emit(b"File %s is a %s while file %s is a %s\n" % (
                old, (kinds[0] or "missing").encode(), new,
                (kinds[1] or "missing").encode()))
            return
        self.files(old, so, new, sn)

    def entered(self, st: os.stat_result) -> bool:
        return (st.st_dev, st.st_ino) in self.folders

    def files(self, old_path: bytes, so: Optional[os.stat_result],
              new_path: bytes, sn: Optional[os.stat_result]) -> None:
        old = b"" if so is None else self.read(old_path)
        new = b"" if sn is None else self.read(new_path)
        if old is None or new is None or (old == new and (so is None) ==
                                          (sn is None)):
            return
        qo, qn = quote_name(old_path), quote_name(new_path)
        if old == new:  # an empty file made or removed
            st = so if so is not None else sn
            assert st is not None
            how = b"deleted" if sn is None else b"new"
            self.status = max(self.status, 1)
            self.empties.append(b"diff --git %s %s\n%s file mode %s\n" % (
                qo, qn, how, _git_mode(st.st_mode)))
            return
        text = unified_changes(
            old, new, line_changes(old, new),
            qo + b"\t" + _stamp(so), qn + b"\t" + _stamp(sn),
            self.context, self.functions)
        self.emit(b"diff %s %s %s\n" % (self.switches, qo, qn) + text)


def _kind(mode: int) -> str:
    if stat.S_ISREG(mode):
        return "regular file"
    if stat.S_ISDIR(mode):
        return "directory"
    if stat.S_ISFIFO(mode):
        return "fifo"
    if stat.S_ISSOCK(mode):
        return "socket"
    if stat.S_ISCHR(mode):
        return "character special file"
    if stat.S_ISBLK(mode):
        return "block special file"
    return "weird file"


def _git_mode(mode: int) -> bytes:
    return b"100755" if mode & 0o111 else b"100644"


def _stamp(st: Optional[os.stat_result]) -> bytes:
    return EPOCH if st is None else timestamp(st.st_mtime_ns)


def diff_trees(old: str, new: str, switches: str, context: int,
               new_file: bool, functions: bool, output: Optional[str],
               prog: str = "diff") -> int:
    """Writes the diff of folders old and new; returns diff's status."""
    walk = _Walk(switches, context, new_file, functions, output, prog)
    roots = [os.fsencode(old), os.fsencode(new)]
    stats = []
    for root in roots:
        try:
            st = os.stat(root)
        except OSError as e:
            raise CliError(f"{old if root == roots[0] else new}:"
                           f" {e.strerror or e}", 2) from None
        if not stat.S_ISDIR(st.st_mode):
            raise CliError(f"{os.fsdecode(root)}: Not a directory (diff -r"
                           " compares two folders)", 2)
        stats.append(st)
    walk.folders |= {(st.st_dev, st.st_ino) for st in stats}
    walk.folder(roots[0], roots[1], True, True)
    if walk.empties:
        # Last: GNU patch reads a git header without hunks only where no
        # diff of the other kind follows it.
        walk.emit(b"".join(walk.empties))
    if output not in (None, "-"):
        write_output(output, b"".join(walk.kept))
    return walk.status
