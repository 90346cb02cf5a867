"""Applying a patch of many files to a directory tree, all or nothing.

Planning reads every file the patch touches and applies every hunk in
memory; a file that fails stops the whole run before anything is written.
Only then are the new contents written, each to a temporary file beside its
target and synced, and renamed over the targets one after another, with
SIGINT held back until the last rename is done. A crash during the renames
leaves each file whole, either old or new.

Names come from strangers, so each is checked before use: it must stay
inside the tree once its leading directories are stripped (no absolute
name, no ``..``, no directory on the way that is a symbolic link leading
out of the tree), and the file itself must be a regular file, not a link.
"""
from __future__ import annotations

import contextlib
import errno
import os
import stat

from quorvan.cext._apply import Hunk, PatchError, apply
from quorvan.cext._patchset import FilePatch
from quorvan.cext._quote import git_names, strip_components

TYPE_CHECKING = False
if TYPE_CHECKING:  # typing costs start-up time; names only
    from collections.abc import Callable


class Entry:
    """A file of the tree as the plan leaves it; data None: absent."""

    __slots__ = ("changed", "data", "mode", "on_disk")

    def __init__(self, data: bytes | None, mode: int | None,
                 on_disk: bool = False) -> None:
        self.data = data
        self.mode = mode        # permission bits; None: a new file's default
        self.changed = False
        self.on_disk = on_disk  # the file exists before the run


def show(name: bytes) -> str:
    return os.fsdecode(name)


def strip(name: bytes, n: int) -> bytes:
    """name without its n leading directories (see -p)."""
    rest = strip_components(name, n)
    if rest is None:
        raise PatchError(f"cannot strip {n} leading director"
                         f"{'y' if n == 1 else 'ies'} from"
                         f" {show(name)!r} (see -p)")
    return rest


class Tree:
    """The target tree and the plan of its changes."""

    def __init__(self, root: str) -> None:
        self.root = os.path.realpath(root)
        if not os.path.isdir(self.root):
            raise PatchError(f"{root}: not a directory")
        self.files: dict[str, Entry] = {}
        self.shown: dict[str, str] = {}  # path -> name for messages
        # Directories already resolved, by their names' components.
        self._parents: dict[tuple[bytes, ...], str] = {}

    def resolve(self, name: bytes) -> str:
        """The path that name, already stripped, stands for inside the
        tree. Refuses names that lead out of it."""
        text = show(name)
        if not name or b"\0" in name:
            raise PatchError(f"{text!r}: not a usable file name")
        if name.startswith(b"/"):
            raise PatchError(f"{text}: absolute file name refused")
        parts = tuple(p for p in name.split(b"/") if p not in (b"", b"."))
        if b".." in parts:
            raise PatchError(f"{text}: file name with '..' refused")
        if not parts:
            raise PatchError(f"{text!r}: names no file")
        parent = self._parents.get(parts[:-1])
        if parent is None:
            parent = os.path.realpath(os.path.join(
                self.root, *[os.fsdecode(p) for p in parts[:-1]]))
            if parent != self.root and \
                    not parent.startswith(self.root.rstrip(os.sep) + os.sep):
                raise PatchError(f"{text}: leads out of the tree through a"
                                 " symbolic link; refused")
            self._parents[parts[:-1]] = parent
        path = os.path.join(parent, os.fsdecode(parts[-1]))
        self.shown.setdefault(path, text)
        return path

    def get(self, path: str) -> Entry:
        """What the plan holds at path, read from disk the first time."""
        entry = self.files.get(path)
        if entry is not None:
            return entry
        name = self.shown.get(path, path)
        try:
            fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK
                         | getattr(os, "O_CLOEXEC", 0))
        except FileNotFoundError:
            entry = Entry(None, None)
        except OSError as e:
            if e.errno == errno.ELOOP:
                raise PatchError(f"{name}: a symbolic link; refused")\
                    from None
            if e.errno == errno.ENOTDIR:
                raise PatchError(f"{name}: a directory on its way is a"
                                 " file") from None
            raise PatchError(f"{name}: {e.strerror}") from None
        else:
            with open(fd, "rb") as f:
                st = os.fstat(f.fileno())
                if stat.S_ISDIR(st.st_mode):
                    raise PatchError(f"{name}: is a directory")
                if not stat.S_ISREG(st.st_mode):
                    raise PatchError(f"{name}: not a regular file; refused")
                entry = Entry(f.read(), stat.S_IMODE(st.st_mode),
                              on_disk=True)
        self.files[path] = entry
        return entry

    def put(self, path: str, data: bytes | None,
            mode: int | None) -> None:
        entry = self.get(path)
        entry.data, entry.mode, entry.changed = data, mode, True


def _with_mode(name: str, mode: int | None,
               git_mode: int | None) -> int | None:
    """Permission bits after a git mode line: it sets or clears the
    execute bits, given wherever read bits are."""
    if git_mode is None:
        return mode
    kind = git_mode & 0o170000
    if kind not in (0, 0o100000):
        what = "symbolic links" if kind == 0o120000 else \
            "submodules" if kind == 0o160000 else f"mode {git_mode:o}"
        raise PatchError(f"{name}: {what} are not supported")
    if mode is None:
        mask = os.umask(0)
        os.umask(mask)
        mode = 0o666 & ~mask
    mode &= ~0o111
    return mode | ((mode & 0o444) >> 2) if git_mode & 0o100 else mode


def _patched(text: bytes, hunks: list[Hunk], name: str, reverse: bool,
             report: Callable[[str], None]) -> bytes:
    """The text with the hunks applied. A misfit whose reverse fits is
    named: the patch is applied already, or made the other way round."""
    try:
        return apply(text, hunks, report)
    except PatchError as e:
        try:
            apply(text, [h.reversed() for h in hunks], lambda _: None)
        except PatchError:
            raise PatchError(f"{name}: {e}") from None
    if reverse:
        raise PatchError(f"{name}: unreversed patch detected: the file does"
                         " not hold the patch's changes, so -R cannot"
                         " take them out (already reverted, or drop -R?)")
    raise PatchError(f"{name}: reversed (or previously applied) patch"
                     " detected: the file already holds the patch's"
                     " changes (use -R to take them out)")


def _already(name: str, reverse: bool, what: str) -> PatchError:
    kind = "unreversed" if reverse else "reversed (or previously applied)"
    return PatchError(f"{name}: {kind} patch detected: {what}")


def plan_file(tree: Tree, fp: FilePatch, p: int, reverse: bool,
              say: Callable[[str], None]) -> None:
    """Applies one file's diff to the plan; says what it does."""
    git_old = git_new = None
    if fp.git and not fp.headers and (fp.moved_from is None
                                      or fp.moved_to is None):
        # names only on the "diff --git" line
        names = git_names(fp.git_line, p)
        if names is None:
            raise PatchError(f"line {fp.line}: cannot read the names of"
                             f" 'diff --git {show(fp.git_line.strip())}'"
                             f" with -p {p}")
        git_old, git_new = names[::-1] if fp.swapped else names

    def name(moved: bytes | None, header: bytes | None,
             git: bytes | None) -> str | None:
        if moved is not None:  # git writes these without a/ or b/
            return tree.resolve(strip(moved, max(p - 1, 0)))
        if header is not None:
            return tree.resolve(strip(header, p))
        if git is not None:
            return tree.resolve(strip(git, p))
        return None

    old = None if fp.create else name(fp.moved_from, fp.old, git_old)
    new = None if fp.delete else name(fp.moved_to, fp.new, git_new)
    if old is None and new is None:
        raise PatchError(f"line {fp.line}: a file's diff with no usable"
                         " names")
    moved: list[str] = []

    def show_path(path: str) -> str:
        return tree.shown.get(path, path)

    if fp.create:
        assert new is not None
        target = tree.get(new)
        text = _patched(b"", fp.hunks, show_path(new), reverse, moved.append)
        if target.data is not None:
            if target.data == text:
                raise _already(show_path(new), reverse,
                               "the file it creates exists with its content")
            raise PatchError(f"{show_path(new)}: exists already; the patch"
                             " creates it")
        tree.put(new, text, _with_mode(show_path(new), None, fp.new_mode))
        say(f"creating file {show_path(new)}")
    elif fp.delete:
        assert old is not None
        target = tree.get(old)
        if target.data is None:
            raise _already(show_path(old), reverse,
                           "the file it deletes does not exist")
        text = _patched(target.data, fp.hunks, show_path(old), reverse,
                        moved.append)
        if text:
            raise PatchError(f"{show_path(old)}: the patch deletes it, but"
                             f" {len(text)} bytes would be left; not"
                             " deleted")
        tree.put(old, None, None)
        say(f"deleting file {show_path(old)}")
    else:
        src = old
        if not fp.git and new is not None and \
                (src is None or (src != new and tree.get(src).data is None)):
            src = new  # plain diffs of a.c and b.c: the one that exists
        assert src is not None
        target = tree.get(src)
        if target.data is None:
            if (fp.rename or fp.copy) and new is not None and \
                    tree.get(new).data is not None:
                raise _already(show_path(src), reverse,
                               f"{show_path(src)} is gone and"
                               f" {show_path(new)} exists")
            raise PatchError(f"{show_path(src)}: No such file")
        text = _patched(target.data, fp.hunks, show_path(src), reverse,
                        moved.append)
        mode = _with_mode(show_path(src), target.mode, fp.new_mode)
        if fp.copy and reverse and new is not None and new != src:
            # Undoing a copy: the copy goes, once it is shown to be one.
            if tree.get(new).data != text:
                raise PatchError(f"{show_path(src)}: not a copy of"
                                 f" {show_path(new)} with the patch's"
                                 " changes; not deleted")
            tree.put(src, None, None)
            say(f"deleting file {show_path(src)}, a copy of"
                f" {show_path(new)}")
        elif (fp.rename or fp.copy) and new is not None and new != src:
            if tree.get(new).data is not None:
                raise PatchError(f"{show_path(new)}: exists already; the"
                                 f" patch {'renames' if fp.rename else 'copies'}"
                                 f" {show_path(src)} to it")
            if fp.rename:
                tree.put(src, None, None)
            tree.put(new, text, mode)
            say(f"{'renaming' if fp.rename else 'copying'} file"
                f" {show_path(src)} to {show_path(new)}")
        else:
            tree.put(src, text, mode)
            say(f"patching file {show_path(src)}")
    for line in moved:
        say(line)


def plan(tree: Tree, files: list[FilePatch], p: int, reverse: bool,
         say: Callable[[str], None]) -> list[str]:
    """Plans every file; returns one message per file that fails."""
    failures: list[str] = []
    for fp in files:
        try:
            plan_file(tree, fp.reversed() if reverse else fp, p, reverse,
                      say)
        except PatchError as e:
            failures.append(str(e))
    # A file cannot also be a directory on the way to another file.
    kept = {path for path, e in tree.files.items() if e.data is not None}
    for path in kept:
        parent = os.path.dirname(path)
        while parent != tree.root and len(parent) > len(tree.root):
            if parent in kept:
                failures.append(f"{tree.shown.get(path, path)}: its"
                                " directory is a file the patch keeps")
                break
            parent = os.path.dirname(parent)
    return failures


def _fsync_all(paths: list[str], dirs: bool = False) -> None:
    """Syncs the files (or directories) at paths. Several at once: the
    file system then commits them together, where one by one each waits
    for a commit of its own (400 files: a few hundredths of a second
    rather than seconds). The first error is raised."""
    import threading

    errors: list[OSError] = []
    todo = list(reversed(paths))

    def work() -> None:
        while todo and not errors:
            try:
                path = todo.pop()
            except IndexError:  # another worker took the last one
                return
            try:
                fd = os.open(path, os.O_RDONLY | (
                    getattr(os, "O_DIRECTORY", 0) if dirs else 0))
                try:
                    os.fsync(fd)
                finally:
                    os.close(fd)
            except OSError as e:
                if not dirs:  # a directory that cannot be synced is left
                    errors.append(e)

    workers = [threading.Thread(target=work)
               for _ in range(min(16, len(paths)) - 1)]
    for w in workers:
        w.start()
    work()
    for w in workers:
        w.join()
    if errors:
        raise errors[0]


def commit(tree: Tree) -> None:
    """Writes the plan: every new content to a temporary file beside its
    target, all of them synced, then renamed over the targets, then the
    deletions. SIGINT is held for the whole of it: one that comes before
    the renames takes the temporary files back and then ends the run; one
    that comes after waits for the last rename. An OSError before the
    renames leaves the tree as it was. Raises KeyboardInterrupt when
    interrupted and SIGINT does not end the process."""
    from quorvan.cext._cli import _create_beside, _Interrupted, _sigint_held

    writes = [(path, e) for path, e in sorted(tree.files.items())
              if e.changed and e.data is not None]
    deletes = sorted(path for path, e in tree.files.items()
                     if e.changed and e.data is None and e.on_disk)
    temps: list[tuple[str, str]] = []
    made: list[str] = []
    dirs: set[str] = set()
    with _sigint_held() as interrupted:
        try:
            for path, e in writes:
                parent = os.path.dirname(path)
                missing = []
                while not os.path.isdir(parent):
                    missing.append(parent)
                    parent = os.path.dirname(parent)
                for d in reversed(missing):
                    os.mkdir(d)
                    made.append(d)
                fd, tmp = _create_beside(path)
                temps.append((tmp, path))
                with os.fdopen(fd, "wb") as f:
                    if e.mode is not None:
                        os.fchmod(f.fileno(), e.mode)
                    f.write(e.data or b"")
                dirs.add(os.path.dirname(path))
                if interrupted():
                    raise _Interrupted
            _fsync_all([tmp for tmp, _ in temps])
            if interrupted():
                raise _Interrupted
        except BaseException:
            for tmp, _ in temps:
                with contextlib.suppress(OSError):
                    os.unlink(tmp)
            for d in reversed(made):
                with contextlib.suppress(OSError):
                    os.rmdir(d)
            raise
        for i, (tmp, path) in enumerate(temps):
            try:
                os.replace(tmp, path)
            except BaseException:
                for t, _ in temps[i:]:
                    with contextlib.suppress(OSError):
                        os.unlink(t)
                raise
        for path in deletes:
            os.unlink(path)
            parent = os.path.dirname(path)
            dirs.add(parent)
            # Directories left empty go too, as far up as the tree root.
            while parent != tree.root and len(parent) > len(tree.root):
                try:
                    os.rmdir(parent)
                except OSError:
                    break
                dirs.discard(parent)
                parent = os.path.dirname(parent)
                dirs.add(parent)
        _fsync_all(sorted(dirs), dirs=True)
