"""Input, output and progress helpers of the command line.

Standard library only. Kept apart from ``__main__`` so that the argument
parsing there reads as a list of subcommands.
"""
from __future__ import annotations

import contextlib
import os
import signal
import stat
import sys
import time

import mmap

# typing costs start-up time that a small command should not pay: its names
# are for the type checker only, and Data is a union built without it
# where the interpreter can (3.10 on).
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import IO, Callable, Iterator
if sys.version_info >= (3, 10):
    Data = bytes | mmap.mmap
else:
    from typing import Union

    Data = Union[bytes, mmap.mmap]

# A mapping costs a file descriptor (the map keeps its own duplicate) and at
# least a page, so small files are read and large ones mapped.
MAP_MIN = 64 * 1024


class CliError(Exception):
    """A failure worth one line on stderr: "NAME: problem"."""

    def __init__(self, message: str, status: int = 1) -> None:
        super().__init__(message)
        self.status = status


class OutputError(CliError):
    """Standard output could not be written: status 2, as for any trouble.
    A reader that went away (``| head``) is no news to anyone, so that one
    is quiet."""

    def __init__(self, message: str, quiet: bool = False) -> None:
        super().__init__(message, 2)
        self.quiet = quiet


def output_error(e: OSError) -> OutputError:
    return OutputError(f"standard output: {e.strerror or e}",
                       isinstance(e, BrokenPipeError))


def display(path: str) -> str:
    return "<stdin>" if path == "-" else path


def _oserror(path: str, e: OSError, status: int = 1) -> CliError:
    return CliError(f"{display(path)}: {e.strerror or e}", status)


class Inputs(contextlib.ExitStack):
    """Opens the command's input files and keeps their maps alive.

    Maps are read-only (ACCESS_READ), so the modules see the file's pages
    directly and nothing is copied. They are closed when the block ends,
    after the modules have let go of their buffers.
    """

    def __init__(self, stdin: IO[bytes] | None = None) -> None:
        super().__init__()
        self._stdin = stdin
        self._stdin_used = False

    def _read_stdin(self) -> bytes:
        if self._stdin_used:  # the parser refuses this already
            raise CliError("standard input ('-') can be read only once", 2)
        self._stdin_used = True
        stream = self._stdin if self._stdin is not None else sys.stdin.buffer
        return stream.read()

    def read(self, path: str) -> bytes:
        """The whole content of path ("-" for stdin) as bytes."""
        return self._open(path, mapped=False)  # type: ignore[return-value]

    def map(self, path: str) -> Data:
        """The content of path, as a read-only map if it is a large regular
        file, else as bytes.

        Only for methods that take any read-only buffer: those that parse
        their texts as "s#" or "S" refuse a map (its buffer must be
        released), so they get bytes from read().
        """
        return self._open(path, mapped=True)

    def _open(self, path: str, mapped: bool) -> Data:
        if path == "-":
            return self._read_stdin()
        try:
            with open(path, "rb") as f:
                st = os.fstat(f.fileno())
                # An empty file cannot be mapped, and files of size 0 in
                # /proc or pipes given as /dev/fd/N only read.
                if (not mapped or not stat.S_ISREG(st.st_mode)
                        or st.st_size < MAP_MIN):
                    return f.read()
                m = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)
        except OSError as e:
            raise _oserror(path, e) from None
        self.callback(m.close)
        return m

    def length(self, path: str) -> int:
        """Byte length of path without reading a regular file."""
        if path == "-":
            return len(self._read_stdin())
        try:
            with open(path, "rb") as f:
                st = os.fstat(f.fileno())
                if stat.S_ISREG(st.st_mode):
                    return st.st_size
                return len(f.read())
        except OSError as e:
            raise _oserror(path, e) from None


def _create_beside(target: str) -> tuple[int, str]:
    """A new, empty file in target's directory, opened for writing.

    Created with mode 0666 so that the kernel applies the umask, as it
    would for the target itself; O_EXCL makes the name ours alone.
    """
    directory, name = os.path.split(target)
    flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_CLOEXEC", 0)
    while True:
        tmp = os.path.join(directory, f".{name}.{os.urandom(4).hex()}.tmp")
        try:
            return os.open(tmp, flags, 0o666), tmp
        except FileExistsError:
            continue


def write_output(path: str | None, data: Data,
                 stdout: IO[bytes] | None = None) -> None:
    """Writes data to path, or to stdout for None or "-".

    A file is written whole or not at all: we write a temporary file in the
    same directory and rename it over the target, so a failure (a full
    disk, an interrupt) never leaves a truncated output behind. Targets that
    are not regular files (/dev/null, a FIFO) are written in place, since
    renaming over them would replace the device node itself.
    """
    if path is None or path == "-":
        if stdout is None and sys.stdout is None:  # fd 1 closed at start
            raise OutputError("standard output: Bad file descriptor")
        out = stdout if stdout is not None else sys.stdout.buffer
        try:
            _write_all(out, data)
            out.flush()
        except OSError as e:
            raise output_error(e) from None
        except ValueError:  # closed by someone in this process
            raise OutputError("standard output: closed") from None
        return
    _write_file(path, data)


def set_sigint(handler: object) -> bool:
    """Sets SIGINT's handler; False, changing nothing, outside the main
    thread, where only the main thread may set it."""
    try:
        signal.signal(signal.SIGINT, handler)  # type: ignore[arg-type]
    except ValueError:
        return False
    return True


def _write_all(out: IO[bytes], data: Data) -> None:
    """out.write(data), to the end or an exception. A buffered write that
    fails after part of the data went out (a reader gone, a full disk)
    returns that part's length and raises nothing: writing the rest makes
    the error show."""
    view = memoryview(data)
    while view:
        n = out.write(view)
        if not n:  # nothing taken and nothing raised: no way on
            raise OSError(5, "Input/output error")
        view = view[n:]


class _Interrupted(KeyboardInterrupt):
    """SIGINT came while an output file was written."""


@contextlib.contextmanager
def _sigint_held() -> Iterator[Callable[[], bool]]:
    """SIGINT blocked, held pending until the block ends; yields a test
    for whether one came meanwhile. Blocking, rather than an exception
    from a handler, leaves no moment at which an interrupt could strand a
    temporary file (between its creation and the try that removes it)."""
    if not hasattr(signal, "pthread_sigmask"):
        yield lambda: False
        return
    before = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
    try:
        yield lambda: signal.SIGINT in signal.sigpending()
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, before)


def _write_file(path: str, data: Data) -> None:
    target = os.path.realpath(path)  # keep a symlink, update what it names
    try:
        st: os.stat_result | None = os.stat(target)
    except FileNotFoundError:
        st = None
    except OSError as e:
        raise _oserror(path, e, 2) from None
    if st is not None and stat.S_ISDIR(st.st_mode):
        raise CliError(f"{path}: Is a directory", 2)
    if st is not None and not stat.S_ISREG(st.st_mode):
        try:
            with open(target, "wb") as f:
                _write_all(f, data)
        except OSError as e:
            raise _oserror(path, e, 2) from None
        return
    with _sigint_held() as interrupted:
        try:
            fd, tmp = _create_beside(target)
        except OSError as e:
            raise _oserror(path, e, 2) from None
        try:
            with os.fdopen(fd, "wb") as f:
                if st is not None:  # a replaced file keeps its mode
                    os.fchmod(f.fileno(), stat.S_IMODE(st.st_mode))
                _write_all(f, data)
                f.flush()
                os.fsync(f.fileno())
            if interrupted():
                # Interrupted before the output was in place: none is
                # made. The held signal ends the process as the block
                # ends (or raises KeyboardInterrupt where it is handled).
                raise _Interrupted
            os.replace(tmp, target)
        except BaseException as e:
            with contextlib.suppress(OSError):
                os.unlink(tmp)
            if isinstance(e, OSError):
                raise _oserror(path, e, 2) from None
            raise


@contextlib.contextmanager
def native_call() -> Iterator[None]:
    """Lets Ctrl-C end the process at once while a module call runs.

    A long diff is one call into the engine, which may hold the interpreter
    lock (blocks) or not (linesift); either way Python's handler runs only
    once the call returns, seconds later. So for the length of the call the
    signal gets its default action and ends the process, which the shell
    reports as status 130. Nothing is being written then: outputs are
    written after the call, under Python's handler again. Where SIGINT is
    ignored (a background job) or handled by someone else, we leave it be.
    """
    if signal.getsignal(signal.SIGINT) is not signal.default_int_handler \
            or not set_sigint(signal.SIG_DFL):
        yield
        return
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, signal.default_int_handler)


class Progress:
    """A counter on stderr for long runs, shown only on a terminal.

    It stays silent for the first half second, so quick runs print nothing,
    and redraws at most ten times a second.
    """

    def __init__(self, label: str, total: int,
                 stream: IO[str] | None = None) -> None:
        self.stream = stream if stream is not None else sys.stderr
        self.label = label
        self.total = total
        try:
            self.enabled = bool(self.stream.isatty())
        except (AttributeError, ValueError):
            self.enabled = False
        self._start = time.monotonic()
        self._next = self._start + 0.5
        self._width = 0

    def update(self, done: int) -> None:
        if not self.enabled:
            return
        now = time.monotonic()
        if now < self._next:
            return
        self._next = now + 0.1
        text = f"{self.label} {done}/{self.total}"
        self._width = max(self._width, len(text))
        self.stream.write("\r" + text.ljust(self._width))
        self.stream.flush()

    def close(self) -> None:
        if self.enabled and self._width:
            self.stream.write("\r" + " " * self._width + "\r")
            self.stream.flush()
            self._width = 0

    def __enter__(self) -> Progress:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()
