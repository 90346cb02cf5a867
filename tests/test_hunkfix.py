import inspect
import io

import pytest
from hypothesis import given, strategies as st

from quorvan.cext import hunkfix
from reference import MARKER, HunkError
from reference import addlines as ref_addlines

Error = hunkfix.hunkfixError


def run_both(body, oldcount, newcount, start=([], [], [])):
    """Runs addlines and the reference on copies of `start`; returns both
    outcomes as (result or exception class, hunk, old, new)."""
    outcomes = []
    for fn, args in ((hunkfix.addlines, io.BytesIO(b"".join(body))),
                     (ref_addlines, Lines(body).readline)):
        hunk, old, new = (list(x) for x in start)
        try:
            res = fn(args, hunk, oldcount, newcount, old, new)
        except (Error, HunkError):
            res = "error"
        outcomes.append((res, hunk, old, new))
    return outcomes


# Lines that a file can deliver one by one: one line break, at the end.
body_line = st.one_of(
    st.tuples(st.sampled_from([b"-", b"+", b" ", b"x", b"\0", b"\r"]),
              st.binary(max_size=6).map(lambda b: b.replace(b"\n", b"")),
              st.sampled_from([b"\n", b"\r\n"])).map(b"".join),
    st.sampled_from([b"\n", MARKER, MARKER[:-1] + b"\0\n",
                     b"\\ No newline at end of file\0junk\n", b"-\n", b"+\n"]),
)
side_line = st.sampled_from([b"-a\n", b" b\r\n", b"+c\n", b"", b"-", b"x\n"])


@given(st.lists(body_line, max_size=12), st.integers(-1, 8),
       st.integers(-1, 8),
       st.tuples(st.lists(side_line, max_size=2),
                 st.lists(side_line, max_size=2),
                 st.lists(side_line, max_size=2)))
def test_addlines_matches_reference_reading(body, oldcount, newcount, start):
    ours, ref = run_both(body, oldcount, newcount, start)
    assert ours == ref


def test_addlines_shares_objects_between_hunk_and_old():
    hunk, old, new = [], [], []
    body = b"-a\n c\n\n+d\n"
    assert hunkfix.addlines(io.BytesIO(body), hunk, 3, 3, old, new) == 0
    assert [id(x) for x in old] == [id(hunk[0]), id(hunk[1]), id(hunk[2])]
    assert hunk[2] == b" \n" and new == [b"c\n", b"\n", b"d\n"]


@pytest.mark.parametrize("body, counts, hunk, old, new, unread", [
    # Two lines in the first batch, one in the second.
    (b"-a\n+b\n c\n", (2, 2), [b"-a\n", b"+b\n", b" c\n"],
     [b"-a\n", b" c\n"], [b"b\n", b"c\n"], b""),
    # The marker uses a read and fixes the line before it.
    (b"-a\n" + MARKER + b"+a\n", (1, 1), [b"-a", b"+a\n"], [b"-a"],
     [b"a\n"], b""),
    # Counts already met: nothing is read.
    (b"-a\n", (0, -5), [], [], [], b"-a\n"),
    # A marker after the completing line is left to the caller.
    (b" a\n" + MARKER, (1, 1), [b" a\n"], [b" a\n"], [b"a\n"], MARKER),
    # The marker text without its line feed is a context line.
    (MARKER[:-1], (1, 1), [MARKER[:-1]], [MARKER[:-1]],
     [MARKER[1:-1]], b""),
    # Zero bytes are data: new-side copies keep the whole line, and a marker
    # with a zero byte in it is a context line.
    (b"-x\n+a\0b\n", (1, 1), [b"-x\n", b"+a\0b\n"], [b"-x\n"], [b"a\0b\n"],
     b""),
    (MARKER[:-1] + b"\0\n", (1, 1), [MARKER[:-1] + b"\0\n"],
     [MARKER[:-1] + b"\0\n"], [MARKER[1:-1] + b"\0\n"], b""),
])
def test_addlines_examples(body, counts, hunk, old, new, unread):
    f = io.BytesIO(body)
    h, o, n = [], [], []
    assert hunkfix.addlines(f, h, counts[0], counts[1], o, n) == 0
    assert (h, o, n) == (hunk, old, new)
    assert f.read() == unread


class Lines:
    """A file whose readline hands out prepared objects, then runs `then`."""

    def __init__(self, lines, then=None):
        self._it = iter(lines)
        self._then = then

    def readline(self):
        for line in self._it:
            return line
        if self._then is not None:
            return self._then()
        return b""


def boom():
    raise OSError("disk gone")


@pytest.mark.parametrize("reader, exc", [
    (Lines([b"-a\n"], then=boom), OSError),
    (Lines([b"-a\n", "+b\n"]), TypeError),
    (Lines([b"-a\n", 7]), TypeError),
    (Lines([b"-a\n", bytearray(b"+b\n")]), TypeError),
    (Lines([b"-a\n"]), Error),                 # end of input, counts unmet
    (object(), AttributeError),
])
def test_addlines_reader_failures_keep_lines_already_read(reader, exc):
    hunk, old, new = [], [], []
    with pytest.raises(exc):
        hunkfix.addlines(reader, hunk, 2, 2, old, new)
    if isinstance(reader, Lines):
        assert (hunk, old, new) == ([b"-a\n"], [b"-a\n"], [])


def test_addlines_survives_readline_that_mutates_the_lists():
    hunk, old, new = [b"-z\n"], [b"-z\n"], []

    def clear_then_marker():
        hunk.clear()
        old.clear()
        return MARKER

    # The marker arrives after the lists were emptied under us: nothing to
    # fix, which is an error, not a read out of bounds.
    with pytest.raises(Error):
        hunkfix.addlines(Lines([], then=clear_then_marker), hunk, 5, 5,
                         old, new)
    assert (hunk, old, new) == ([], [], [])

    # A reader that fills the lists itself: the sizes are read afresh
    # after the batch, so no third line is asked for.
    hunk, old, new = [], [], []

    def fill():
        old.extend([b"-q\n"] * 5)
        new.extend([b"q\n"] * 5)
        return b"+b\n"

    assert hunkfix.addlines(Lines([b"-a\n"], then=fill), hunk, 2, 2,
                            old, new) == 0
    assert hunk == [b"-a\n", b"+b\n"] and len(old) == len(new) == 6


@pytest.mark.parametrize("args", [
    (io.BytesIO(b""), (), 1, 1, [], []),
    (io.BytesIO(b""), [], 1, 1, None, []),
    (io.BytesIO(b""), [], 1, 1, [], "new"),
    (io.BytesIO(b""), [], "1", 1, [], []),
])
def test_addlines_argument_types(args):
    with pytest.raises(TypeError):
        hunkfix.addlines(*args)


@pytest.mark.parametrize("last, old, new, hunk_after, old_after, new_after", [
    (b"-a\r\n", [b"-a\r\n"], [b"b"], b"-a", [b"-a"], [b"b"]),
    (b"+x\n", [b"o"], [b"x\n"], b"+x", [b"o"], [b"x"]),
    (b" x\r\n", [b" x\r\n"], [b"x\r\n"], b" x", [b" x"], [b"x"]),
    (b"-ab", [b"-ab"], [], b"-a", [b"-a"], []),
    (b"\\x\n", [], [], b"\\x", [], []),     # other prefix: no side list
    (b"\r\n", [], [], b"", [], []),
    (b"+\r\n", [], [b"\r\n"], b"+", [], [b""]),
    (b"-a\0\n", [b"o"], [], b"-a\0", [b"-a\0"], []),  # full length here
])
def test_fix_newline(last, old, new, hunk_after, old_after, new_after):
    hunk = [b"first", last]
    assert hunkfix.fix_newline(hunk, old, new) == 0
    assert hunk == [b"first", hunk_after]
    assert (old, new) == (old_after, new_after)
    if last[:1] in (b"-", b" "):
        assert old[-1] is hunk[-1]


@pytest.mark.parametrize("hunk, old, new, exc", [
    ([], [b"-a\n"], [b"a\n"], Error),
    ([b"-a\n", 5], [b"-a\n"], [], TypeError),
    ([b"+"], [], [b""], Error),           # no prefix and break to cut
    ([b""], [], [], Error),
    ([b" a\n"], [b" a\n"], [], Error),    # context line, new side empty
    ([b" a\n"], [], [b"a\n"], Error),     # context line, old side empty
    ([b"+a\n"], [b"-a\n"], [], Error),
    ([b"-a\n"], [], [b"a\n"], Error),
    ((b"-a\n",), [b"-a\n"], [], TypeError),
    ([b"-a\n"], None, [], TypeError),
])
def test_fix_newline_refuses_malformed_lists_untouched(hunk, old, new, exc):
    before = [list(x) if isinstance(x, list) else x for x in (hunk, old, new)]
    with pytest.raises(exc):
        hunkfix.fix_newline(hunk, old, new)
    assert [hunk, old, new] == before


def test_repeated_marker_is_refused_after_the_first_fix():
    # Each extra marker used to cut one more byte off the line before it.
    hunk, old, new = [], [], []
    f = io.BytesIO(b" ab\n" + MARKER + MARKER + b"+c\n")
    with pytest.raises(Error, match="repeated"):
        hunkfix.addlines(f, hunk, 1, 2, old, new)
    assert (hunk, old, new) == ([b" ab"], [b" ab"], [b"ab"])


def test_fix_newline_errors_also_fail_addlines():
    # The reading routine used to carry on after a failed fix.
    hunk, old, new = [], [], []
    with pytest.raises(Error):
        hunkfix.addlines(io.BytesIO(MARKER), hunk, 1, 1, old, new)
    assert (hunk, old, new) == ([], [], [])


@pytest.mark.parametrize("old, lines, start, result", [
    ([b"-x\n", b" y\n"], [b"w\n", b"x\n", b"y\n"], 1, 0),
    ([b"-x\n", b" y\n"], [b"w\n", b"x\n", b"y\n"], 0, -1),
    ([b"-x\n", b" y\n"], [b"w\n", b"x\n", b"y\n"], 2, -1),
    ([b"-x\n", b" y\n"], [b"w\n", b"x\n", b"y\n"], -1, -1),
    ([], [b"a"], 0, 0),
    ([], [b"a"], 1, 0),
    ([], [b"a"], 2, -1),
    ([b"-a"], [b"a"], 2**62, -1),
    ([b"-a"], [b"a"], -2**62, -1),
    # Lines compare at their full length, zero bytes and all.
    ([b"-a\0b\n"], [b"a\0XYZ\n"], 0, -1),
    ([b"-x"], [b"x\0"], 0, -1),
    ([b"-x"], [b"xy"], 0, -1),
    ([b"-"], [b""], 0, 0),
    ([b"-\0a"], [b"\0a"], 0, 0),
    # A mismatch ends the test before a malformed later pair is looked at.
    ([b"-a", 5], [b"b", b"c"], 0, -1),
])
def test_testhunk(old, lines, start, result):
    assert hunkfix.testhunk(old, lines, start) == result


@pytest.mark.parametrize("old, lines, start, exc", [
    ([b""], [b"a"], 0, Error),              # no prefix to skip
    ([b"-a", b""], [b"a", b"b"], 0, Error),
    ([b"-a", "-b"], [b"a", b"b"], 0, TypeError),
    ([b"-a"], [bytearray(b"a")], 0, TypeError),
    ((b"-a",), [b"a"], 0, TypeError),
    ([b"-a"], None, 0, TypeError),
    ([b"-a"], [b"a"], 2**70, OverflowError),
])
def test_testhunk_malformed(old, lines, start, exc):
    with pytest.raises(exc):
        hunkfix.testhunk(old, lines, start)


def test_module_surface():
    assert issubclass(Error, Exception)
    assert (f"{Error.__module__}.{Error.__name__}"
            == "quorvan.cext.hunkfix.hunkfixError")
    assert hunkfix.__doc__ == "Efficient diff parsing"
    sig = {name: str(inspect.signature(getattr(hunkfix, name)))
           for name in ("addlines", "fix_newline", "testhunk")}
    assert sig == {
        "addlines": "(file, hunk, oldcount, newcount, old, new, /)",
        "fix_newline": "(hunk, old, new, /)",
        "testhunk": "(old, lines, start, /)",
    }
    assert hunkfix.addlines.__doc__ == "add lines to a hunk\n"
    assert hunkfix.fix_newline.__doc__ == "fixup newline counters\n"
    assert hunkfix.testhunk.__doc__ == "test lines in a hunk\n"


def test_allocation_failures_leave_whole_lines():
    # Fail the n-th allocation inside addlines for every n until it
    # succeeds; each failure must be a MemoryError and leave the lists as
    # the reading of some prefix of the body left them.
    testcapi = pytest.importorskip("_testcapi")
    body = [b"-a\n", b"\n", b"+b\n", b" c\n", MARKER, b"-d\r\n", b"+e\n"]
    body += [b" %d\n" % i for i in range(12)]
    counts = (16, 16)
    states = []
    for k in range(len(body) + 1):
        h, o, n = [], [], []
        try:
            ref_addlines(Lines(body[:k]).readline, h, *counts, o, n)
        except HunkError:
            pass
        states.append((h, o, n))
    full = states[-1]

    for start in range(400):
        hunk, old, new = [], [], []
        reader = Lines(body)
        testcapi.set_nomemory(start, 0)
        try:
            res = hunkfix.addlines(reader, hunk, *counts, old, new)
        except MemoryError:
            res = None
        finally:
            testcapi.remove_mem_hooks()
        if res is None:
            assert (hunk, old, new) in states
        else:
            assert res == 0 and (hunk, old, new) == full
            break
    else:
        pytest.fail("addlines never succeeded")
