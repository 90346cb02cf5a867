"""Reading a patch of many files into one record per file.

Takes what ``diff -u``/``diff -ruN`` (GNU's and ours) and ``git diff``
write. A file's diff starts at a ``diff --git`` line or at a ``---`` line
followed by a ``+++`` line; lines between files (``diff -ruN ...``, ``Only
in``, a mail's text) are passed over. From git's extended header we take
``new file``/``deleted file`` (with their modes), ``old mode``/``new mode``,
``rename from/to`` and ``copy from/to``. Without it, a side named
``/dev/null`` or stamped with the start of 1970 (how ``diff -N`` marks a
missing file) makes the diff a creation or a deletion.
"""
from __future__ import annotations

import io

from quorvan.cext._apply import MARKER, Hunk, LineCounter, PatchError, read_hunk
from quorvan.cext._quote import BadName, header_name, is_epoch, read_quoted

DEV_NULL = b"/dev/null"


class FilePatch:
    """One file's diff. Names are as the patch writes them, unquoted;
    those of rename and copy lines lack the first directory that the
    other names carry (git writes them so)."""

    __slots__ = ("copy", "create", "delete", "git", "git_line", "headers",
                 "hunks", "line", "moved_from", "moved_to", "new",
                 "new_epoch", "new_mode", "old", "old_epoch", "old_mode",
                 "rename", "swapped")

    def __init__(self, line: int, git: bool = False) -> None:
        self.line = line                # patch line where the diff starts
        self.git = git
        self.old: bytes | None = None   # from "---"; None for /dev/null
        self.new: bytes | None = None   # from "+++"
        self.headers = False            # "---"/"+++" lines were read
        self.old_epoch = False          # its time stamp is 1970's start
        self.new_epoch = False
        self.git_line = b""             # what follows "diff --git "
        self.swapped = False            # reversed: git_line says new, old
        self.moved_from: bytes | None = None  # rename or copy lines
        self.moved_to: bytes | None = None
        self.create = False
        self.delete = False
        self.rename = False
        self.copy = False
        self.old_mode: int | None = None
        self.new_mode: int | None = None
        self.hunks: list[Hunk] = []

    def reversed(self) -> FilePatch:
        """The diff that undoes this one."""
        r = FilePatch(self.line, self.git)
        r.headers, r.git_line, r.swapped = \
            self.headers, self.git_line, not self.swapped
        r.rename, r.copy = self.rename, self.copy
        r.old, r.new = self.new, self.old
        r.old_epoch, r.new_epoch = self.new_epoch, self.old_epoch
        r.moved_from, r.moved_to = self.moved_to, self.moved_from
        r.create, r.delete = self.delete, self.create
        r.old_mode, r.new_mode = self.new_mode, self.old_mode
        r.hunks = [h.reversed() for h in self.hunks]
        return r


def _mode(line: bytes, where: int) -> int:
    word = line.split()[-1] if line.split() else b""
    try:
        return int(word, 8)
    except ValueError:
        raise PatchError(f"line {where}: bad file mode in"
                         f" {line.strip()!r}") from None


def _rest_name(rest: bytes, where: int) -> bytes:
    """A name that fills the rest of a line (rename and copy lines)."""
    rest = rest.rstrip(b"\r\n")
    if rest[:1] != b'"':
        return rest
    try:
        return read_quoted(rest)[0]
    except BadName as e:
        raise PatchError(f"line {where}: {e}") from None


def _finish(fp: FilePatch) -> None:
    """Decides creation and deletion for a diff without git's header."""
    if fp.git:
        return
    hunks = fp.hunks
    if fp.old is None or (fp.old_epoch and len(hunks) == 1
                          and not hunks[0].old):
        fp.create = True
    if fp.new is None or (fp.new_epoch and len(hunks) == 1
                          and not [x for x in hunks[0].body
                                   if x[:1] != b"-"]):
        fp.delete = True


_GIT_LINES = (b"old mode ", b"new mode ", b"deleted file mode ",
              b"new file mode ", b"rename from ", b"rename to ",
              b"copy from ", b"copy to ", b"similarity index ",
              b"dissimilarity index ", b"index ", b"rename old ",
              b"rename new ")


def _git_line(fp: FilePatch, line: bytes, where: int) -> bool:
    """Takes one line of git's extended header; False if it is none."""
    if not line.startswith(_GIT_LINES):
        return False
    if line.startswith((b"old mode ", b"new mode ", b"deleted file mode ",
                        b"new file mode ")):
        mode = _mode(line, where)
        if line.startswith(b"old"):
            fp.old_mode = mode
        elif line.startswith(b"new mode"):
            fp.new_mode = mode
        elif line.startswith(b"deleted"):
            fp.delete, fp.old_mode = True, mode
        else:
            fp.create, fp.new_mode = True, mode
    elif line.startswith((b"rename ", b"copy ")):
        kind, side, rest = line.split(b" ", 2)
        name = _rest_name(rest, where)
        if kind == b"rename":
            fp.rename = True
        else:
            fp.copy = True
        if side in (b"from", b"old"):
            fp.moved_from = name
        else:
            fp.moved_to = name
    return True


def _binary(line: bytes) -> bool:
    return line.startswith((b"GIT binary patch", b"Binary files ",
                            b"Binary patch"))


def read_patchset(data: bytes) -> list[FilePatch]:
    """Every file's diff in the patch, in order. Raises PatchError, with
    the patch line, for a patch that cannot be read or is binary."""
    f = io.BytesIO(data)
    where = LineCounter(data)
    files: list[FilePatch] = []
    cur: FilePatch | None = None
    git_header = False  # between "diff --git" and the file's first hunk
    while True:
        at = f.tell()
        line = f.readline()
        if not line:
            break
        first = line[:1]
        if first == b"@" and line.startswith(b"@@ "):
            if cur is None or (not cur.headers and not cur.git):
                raise PatchError(f"line {where(at)}: a hunk before any"
                                 " file's ---/+++ header")
            if cur.git and not cur.headers:
                raise PatchError(f"line {where(at)}: a hunk with no"
                                 " ---/+++ header in git's diff")
            cur.hunks.append(read_hunk(f, data, line, at, where,
                                       len(cur.hunks) + 1))
            git_header = False
            continue
        if first == b"d" and line.startswith(b"diff --git "):
            cur = FilePatch(where(at), git=True)
            cur.git_line = line[11:]
            files.append(cur)
            git_header = True
            continue
        if first == b"-" and line.startswith(b"--- "):
            mark = f.tell()
            plus = f.readline()
            if plus.startswith(b"+++ "):
                if not (git_header and cur is not None and not cur.headers):
                    cur = FilePatch(where(at))
                    files.append(cur)
                try:
                    old, old_stamp = header_name(line[4:])
                    new, new_stamp = header_name(plus[4:])
                except BadName as e:
                    raise PatchError(f"line {where(at)}: {e}") from None
                cur.headers = True
                cur.old = None if old == DEV_NULL else old
                cur.new = None if new == DEV_NULL else new
                cur.old_epoch = is_epoch(old_stamp)
                cur.new_epoch = is_epoch(new_stamp)
                git_header = False
                continue
            f.seek(mark)
        if git_header and cur is not None and _git_line(cur, line, where(at)):
            continue
        git_header = False
        if _binary(line):
            name = b""
            if cur is not None:
                name = cur.new or cur.old or cur.git_line.strip()
            raise PatchError(f"line {where(at)}: binary patches are not"
                             " supported" + (f" ({name.decode(errors='replace')})"
                                              if name else ""))
        if line == MARKER:
            raise PatchError(f"line {where(at)}: no-newline marker outside"
                             " a hunk, or repeated")
    for fp in files:
        _finish(fp)
    return files
