"""Reference reading of a hunk body, shared by the hunkfix fuzz target and
tests/test_fuzz_replay.py. Input: old count byte, new count byte, then the
hunk body; the checks compare hunkfix.addlines and hunkfix.testhunk with a
plain Python reading of the same body."""
import io

MARKER = b"\\ No newline at end of file\n"


class Refused(Exception):
    pass


def _fix_newline(hunk, old, new):
    if not hunk or len(hunk[-1]) < 2:
        raise Refused
    last = hunk[-1]
    e = len(last) - 2 if last[-2:-1] == b"\r" else len(last) - 1
    line, c = last[:e], last[:1]
    if c in (b" ", b"+") and not new or c in (b" ", b"-") and not old:
        raise Refused
    if c in (b" ", b"+"):
        new[-1] = last[1:e]
    if c in (b" ", b"-"):
        old[-1] = line
    hunk[-1] = line


def ref_addlines(body, oldcount, newcount):
    f, hunk, old, new = io.BytesIO(body), [], [], []
    prev = b""
    while True:
        need = max(oldcount - len(old), newcount - len(new))
        if need <= 0:
            return hunk, old, new
        for _ in range(need):
            line = f.readline()
            if not line:
                raise Refused
            if line == MARKER:
                if prev == MARKER:  # a repeated marker is refused
                    raise Refused
                _fix_newline(hunk, old, new)
            elif line[:1] == b"\n":
                hunk.append(b" \n")
                new.append(b"\n")
                old.append(b" \n")
            else:
                hunk.append(line)
                if line[:1] != b"+":
                    old.append(line)
                if line[:1] != b"-":
                    new.append(line[1:])
            prev = line


def ref_testhunk(old, lines, start):
    if start < 0 or len(old) > len(lines) - start:
        return -1
    for a, b in zip(old, lines[start:]):
        if not a:
            raise Refused
        if a[1:] != b:
            return -1
    return 0


def check(hunkfix, data):
    """Raises AssertionError when hunkfix disagrees with the reference."""
    oldcount, newcount = (data[0] if data else 0), (data[1] if len(data) > 1 else 0)
    body = data[2:]
    try:
        want = ref_addlines(body, oldcount % 16, newcount % 16)
    except Refused:
        want = None
    hunk, old, new = [], [], []
    try:
        got = hunkfix.addlines(io.BytesIO(body), hunk, oldcount % 16,
                               newcount % 16, old, new)
        assert got == 0 and want == (hunk, old, new), (want, hunk, old, new)
    except hunkfix.hunkfixError:
        assert want is None
        return
    # The new side, taken as target lines, against the old side.
    for start in range(-1, len(new) + 2):
        try:
            expect = ref_testhunk(old, new, start)
        except Refused:
            expect = None
        try:
            assert hunkfix.testhunk(old, new, start) == expect
        except hunkfix.hunkfixError:
            assert expect is None
