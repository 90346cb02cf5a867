"""diff on the command line: small changes on repetitive files, -p, clean
failures; checked against the engine, GNU diff and the patch module."""
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import time

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from quorvan.cext import _cli, deltafold
from quorvan.cext.__main__ import main
from quorvan.cext._linediff import delta_of, line_changes
from quorvan.cext._unified import quote_name, unified_changes

GNU_DIFF = shutil.which("diff")
C_ENV = dict(os.environ, LC_ALL="C")


def run(capsysbinary, *argv):
    rc = main([str(a) for a in argv])
    out, err = capsysbinary.readouterr()
    return rc, out, err.decode()


def changed_lines(patch):
    return sum(1 for line in patch.split(b"\n")
               if line[:1] in (b"+", b"-")
               and not line.startswith((b"+++ ", b"--- ")))


def boundary(text, pos):
    """pos is where a line starts or the text ends."""
    return pos in (0, len(text)) or text[pos - 1] == 10


# Texts of a few distinct lines, so that lines repeat a lot (the popular
# lines the engine cannot anchor on in a long text); CRLF and a last line
# without a line feed come up too.
line = st.sampled_from([b"x\n", b"x\n", b"y\n", b"\n", b"z\r\n", b"{\n"])
text = st.builds(lambda ls, cut: b"".join(ls)[:-1] if cut and ls
                 else b"".join(ls),
                 st.lists(line, max_size=40), st.booleans())


@settings(max_examples=300, deadline=None)
@given(text, text, st.integers(0, 2000))
def test_changes_rebuild_the_new_text_and_are_grown(old, new, repeat):
    # Long repeats make the lines popular in the engine's sense.
    old, new = old * (1 + repeat // 400), new * (1 + repeat // 400)
    changes = line_changes(old, new)
    assert deltafold.patches(old, [delta_of(new, changes)]) == new
    assert (changes == []) == (old == new)
    pa = pb = 0
    for a1, a2, b1, b2 in changes:
        assert pa <= a1 <= a2 and pb <= b1 <= b2 and (a1 < a2 or b1 < b2)
        # The gap between changes is equal, whole lines.
        assert old[pa:a1] == new[pb:b1]
        assert all(boundary(old, x) for x in (a1, a2))
        assert all(boundary(new, x) for x in (b1, b2))
        if a1 < a2 and b1 < b2:
            # Grown: the first lines differ, and so do the last ones.
            assert old[a1:old.find(b"\n", a1, a2) + 1 or a2] != \
                new[b1:new.find(b"\n", b1, b2) + 1 or b2]
            assert old[old.rfind(b"\n", a1, a2 - 1) + 1:a2] != \
                new[new.rfind(b"\n", b1, b2 - 1) + 1:b2]
        pa, pb = a2, b2
    assert old[pa:] == new[pb:]


@pytest.mark.parametrize("old, new", [
    (b"x\n" * 20000, b"x\n" * 10000 + b"y\n" + b"x\n" * 9999),
    # 200,000 lines of 500 distinct values, one line edited.
    (b"".join(b"v%d\n" % (i * 7919 % 500) for i in range(200000)),
     b"".join(b"v%d\n" % (i * 7919 % 500) if i != 123456 else b"edit\n"
              for i in range(200000))),
], ids=["one-line", "500-values"])
def test_repetitive_files_give_one_line_changes(tmp_path, capsysbinary, old,
                                                new):
    a, b = tmp_path / "a", tmp_path / "b"
    a.write_bytes(old)
    b.write_bytes(new)
    rc, out, _ = run(capsysbinary, "diff", "-u", a, b)
    assert rc == 1 and changed_lines(out) == 2
    rc, delta, _ = run(capsysbinary, "diff", a, b)
    assert rc == 0 and len(delta) < 100
    assert deltafold.patches(old, [delta]) == new


def _c_text(rng, n):
    """C-like lines: function heads at column 0, bodies indented."""
    out = []
    for i in range(n):
        r = rng.random()
        if r < 0.1:
            out.append(b"%s fn_%d(int a)%s\n" % (
                rng.choice([b"int", b"static void", b"_t", b"$x"]),
                rng.randrange(99), b" \t" * rng.randrange(2)))
        elif r < 0.15:
            out.append(b"label%d: with a rather long line that passes forty"
                       b" bytes\n" % i)
        else:
            out.append(b"    stmt_%d;\n" % rng.randrange(30))
    return out


@pytest.mark.skipif(not GNU_DIFF, reason="GNU diff not installed")
@settings(max_examples=40, deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(st.randoms(use_true_random=False), st.integers(0, 5))
def test_function_lines_as_gnu_diff_p(tmp_path, rng, context):
    old = _c_text(rng, 120)
    new = list(old)
    for _ in range(rng.randrange(1, 6)):
        k = rng.randrange(len(new))
        new[k:k + rng.randrange(3)] = [b"    new_%d;\n" % rng.randrange(9)]
    old, new = b"".join(old), b"".join(new)
    ours = unified_changes(old, new, line_changes(old, new), b"a", b"b",
                           context, functions=True)
    (tmp_path / "a").write_bytes(old)
    (tmp_path / "b").write_bytes(new)
    gnu = subprocess.run(["diff", f"-U{context}", "-p", "a", "b"],
                         cwd=tmp_path, capture_output=True, env=C_ENV).stdout
    # Where both put a hunk at the same lines, the function must agree.
    heads = re.compile(rb"^(@@ [^@]* @@)(.*)$", re.M)
    theirs = dict(heads.findall(gnu))
    mine = dict(heads.findall(ours))
    assert mine, ours
    shared = set(mine) & set(theirs)
    assert all(mine[h] == theirs[h] for h in shared), (mine, theirs)


def test_quote_name_as_gnu_diff():
    assert quote_name(b"plain-name_1.c") == b"plain-name_1.c"
    assert quote_name(b"a b") == b'"a b"'
    assert quote_name("é\t\"\\\x01\x7f".encode()) == \
        b'"\\303\\251\\t\\"\\\\\\001\x7f"'


@pytest.mark.skipif(not GNU_DIFF, reason="GNU diff not installed")
def test_header_names_match_gnu_diff(tmp_path):
    names = ["a b", "é", "t\tab", 'q"uote', "back\\slash", "$dollar"]
    for name in names:
        (tmp_path / ("1" + name)).write_bytes(b"a\n")
        (tmp_path / ("2" + name)).write_bytes(b"b\n")
        args = ["1" + name, "2" + name]
        gnu = subprocess.run(["diff", "-u"] + args, cwd=tmp_path,
                             capture_output=True, env=C_ENV).stdout
        ours = subprocess.run([sys.executable, "-m", "quorvan.cext", "diff",
                               "-u"] + args, cwd=tmp_path,
                              capture_output=True).stdout
        assert ours.split(b"\t")[0] == gnu.split(b"\t")[0]


# -- clean failures, as whole processes -----------------------------------

@pytest.fixture(scope="module")
def pair(tmp_path_factory):
    d = tmp_path_factory.mktemp("pair")
    lines = [b"line %d\n" % i for i in range(200000)]
    old = b"".join(lines)
    lines[::1000] = [b"changed\n"] * len(lines[::1000])
    new = b"".join(lines)
    for name, data in (("a", old), ("b", new), ("old/f", old),
                       ("new/f", new)):
        (d / name).parent.mkdir(exist_ok=True)
        (d / name).write_bytes(data)
    return d


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="no /dev/full")
@pytest.mark.parametrize("argv", [
    ["diff", "-u", "a", "b"], ["diff", "a", "b"], ["--version"],
    ["diff", "-ruN", "old", "new"]])
def test_write_errors_are_one_line_and_status_2(pair, argv):
    with open("/dev/full", "wb") as full:
        r = subprocess.run([sys.executable, "-m", "quorvan.cext", *argv],
                           stdout=full, stderr=subprocess.PIPE, timeout=60,
                           cwd=pair)
    assert r.returncode == 2
    assert r.stderr.count(b"\n") == 1 and b"No space left" in r.stderr
    # fd 1 closed outright (by the shell: no preexec_fn in a test process
    # that may have threads).
    r = subprocess.run(["sh", "-c", 'exec "$@" >&-', "sh", sys.executable,
                        "-m", "quorvan.cext", *argv], stderr=subprocess.PIPE,
                       timeout=60, cwd=pair)
    assert r.returncode == 2
    assert r.stderr.count(b"\n") == 1 and b"standard output" in r.stderr


def test_reader_that_goes_away_is_quiet(pair):
    # Every line deleted: megabytes of output, far more than a pipe holds.
    p = subprocess.Popen([sys.executable, "-m", "quorvan.cext", "diff", "-u",
                          str(pair / "a"), os.devnull],
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    p.stdout.read(100)
    p.stdout.close()
    err = p.stderr.read()
    p.stderr.close()
    assert p.wait(timeout=60) == 2 and err == b""


@pytest.mark.skipif(os.name != "posix", reason="signals")
def test_sigint_at_any_moment_leaves_no_traceback_and_no_file(pair,
                                                              tmp_path):
    out = tmp_path / "out"
    rng = random.Random(17)
    for k in range(24):
        p = subprocess.Popen([sys.executable, "-m", "quorvan.cext", "diff",
                              "-u", str(pair / "a"), str(pair / "b"), "-o",
                              str(out)], stderr=subprocess.PIPE)
        time.sleep(rng.uniform(0, 0.15))
        p.send_signal(signal.SIGINT)
        err = p.stderr.read()
        p.stderr.close()
        rc = p.wait(timeout=60)
        # Before our first line runs (the interpreter's start-up, and the
        # __future__ import that a module's first statement makes), Python
        # may still print its traceback; none may come from our code.
        frames = re.findall(rb'File "[^"]*quorvan[^"]*".*\n\s*(.*)', err)
        assert all(f == b"from __future__ import annotations"
                   for f in frames), err.decode()
        if b"Traceback" not in err:
            assert rc in (-signal.SIGINT, 130, 1), (rc, err)
        assert sorted(x.name for x in tmp_path.iterdir()) in ([], ["out"])
        out.unlink(missing_ok=True)  # when it finished first


def test_a_write_cut_short_is_an_error_not_a_success():
    # What a buffered write does when the reader goes away or the disk
    # fills part way: returns the part's length, raises on the next call.
    class Partial:
        def __init__(self):
            self.calls = 0

        def write(self, data):
            self.calls += 1
            if self.calls > 1:
                raise OSError(28, "No space left on device")
            return len(data) // 2

        def flush(self):
            pass

    with pytest.raises(_cli.OutputError, match="No space left"):
        _cli.write_output(None, b"x" * 100, stdout=Partial())
