import io
import json
import os
import shutil
import signal
import stat
import struct
import subprocess
import sys
import time
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import quorvan.cext
from quorvan.cext import _cli, linesift
from quorvan.cext.__main__ import main
from quorvan.cext._apply import apply, read_patch
from quorvan.cext._linediff import line_changes
from quorvan.cext._unified import quote_name, unified, unified_changes

# The sample history as installed with the package.
SAMPLE = sorted((Path(quorvan.cext.__file__).with_name("sample"))
                .glob("ringbuf.c.*"), key=lambda p: int(p.suffix[1:]))


def frag(start, end, data=b""):
    return struct.pack(">III", start, end, len(data)) + data


def run(capsysbinary, *argv):
    """main(argv) with stdout bytes and stderr text."""
    rc = main([str(a) for a in argv])
    out, err = capsysbinary.readouterr()
    return rc, out, err.decode()


def assert_one_line_error(err, *words):
    assert err.count("\n") == 1 and "Traceback" not in err, err
    for w in words:
        assert str(w) in err


@pytest.fixture
def files(tmp_path):
    def make(**contents):
        paths = []
        for name, data in contents.items():
            p = tmp_path / name
            p.write_bytes(data)
            paths.append(p)
        return paths
    return make


# -- success paths ---------------------------------------------------------

def test_diff_then_patch_chain_rebuilds_every_revision(tmp_path, capsysbinary):
    revs = [p.read_bytes() for p in SAMPLE]
    deltas = []
    for k in range(1, len(SAMPLE)):
        d = tmp_path / f"d{k}"
        assert run(capsysbinary, "diff", SAMPLE[k - 1], SAMPLE[k],
                   "-o", d) == (0, b"", "")
        deltas.append(d)
    out = tmp_path / "out"
    assert run(capsysbinary, "patch", SAMPLE[0], *deltas, "-o", out)[0] == 0
    assert out.read_bytes() == revs[-1]
    # Without -o the text goes to stdout, nothing else does.
    assert run(capsysbinary, "patch", SAMPLE[0], *deltas[:2]) == \
        (0, revs[2], "")


@pytest.mark.parametrize("old, new", [
    (b"", b"a\nb\n"),           # an empty file cannot be mapped
    (b"a\nb\n", b""),
    (b"", b""),
    # Large enough for patch to map the base (past MAP_MIN): the module must
    # read the map itself, and the map must stay open until it is done.
    (b"".join(b"line %d\n" % i for i in range(40000)),
     b"".join(b"line %d\n" % (i * (i % 1000 != 7)) for i in range(40000))),
], ids=["empty-old", "empty-new", "both-empty", "mapped"])
def test_diff_patch_size_round_trip(files, tmp_path, capsysbinary, old, new):
    a, b = files(a=old, b=new)
    rc, delta, err = run(capsysbinary, "diff", a, b)
    assert (rc, err) == (0, "")
    assert (delta == b"") == (old == new)
    d, = files(d=delta)
    assert run(capsysbinary, "patch", a, d) == (0, new, "")
    assert run(capsysbinary, "size", a, d) == (0, b"%d\n" % len(new), "")


def test_blocks_plain_and_json(files, capsysbinary):
    a, b = files(a=b"a\nb\nc\n", b=b"a\nB\nc\n")
    rc, out, _ = run(capsysbinary, "blocks", a, b)
    assert rc == 0
    assert out == b"0 1 0 1\n2 3 2 3\n3 3 3 3\n"
    rc, out, _ = run(capsysbinary, "blocks", a, b, "--json")
    assert json.loads(out) == [[0, 1, 0, 1], [2, 3, 2, 3], [3, 3, 3, 3]]


@pytest.mark.parametrize("data", [b"", b"a", b"abcd", bytes(range(256)) * 300],
                         ids=["empty", "1", "4", "large"])
def test_b85_round_trip(files, tmp_path, capsysbinary, data):
    src, = files(src=data)
    enc = tmp_path / "enc"
    assert run(capsysbinary, "b85encode", src, "-o", enc)[0] == 0
    assert len(enc.read_bytes()) == (len(data) * 5 + 3) // 4 + bool(data)
    assert run(capsysbinary, "b85decode", enc) == (0, data, "")
    rc, padded, _ = run(capsysbinary, "b85encode", "--pad", src)
    assert rc == 0 and len(padded.rstrip(b"\n")) % 5 == 0


@pytest.mark.parametrize("ending", [b"\n", b"\r\n"])
def test_b85decode_ignores_one_final_line_ending(files, capsysbinary, ending):
    enc, = files(enc=b"VPaz" + ending)
    assert run(capsysbinary, "b85decode", enc) == (0, b"abc", "")


@pytest.mark.parametrize("flag, expected", [([], b"a b\n"), (["--all"], b"ab\n")])
def test_fixws(files, capsysbinary, flag, expected):
    src, = files(src=b"a \t b \r\n")
    assert run(capsysbinary, "fixws", *flag, src) == (0, expected, "")


@pytest.mark.parametrize("argv", [[], ["demo"]])
def test_demo_rebuilds_the_sample_history(capsysbinary, argv):
    rc, out, err = run(capsysbinary, *argv)
    assert (rc, err) == (0, "")
    text = out.decode()
    total = sum(p.stat().st_size for p in SAMPLE)
    # The table row: revisions, text bytes, delta bytes, ratio, time.
    row = text.splitlines()[3].split()
    assert row[:2] == [str(len(SAMPLE)), str(total)]
    assert 0 < int(row[2]) < total
    assert "byte for byte" in text


# -- bad input: one line on stderr, status 1, no output written ------------

@pytest.mark.parametrize("argv", [
    ["diff", "{missing}", "{a}"],
    ["diff", "{a}", "{missing}"],
    ["blocks", "{missing}", "{a}"],
    ["patch", "{missing}", "{a}"],
    ["patch", "{a}", "{a}", "{missing}"],
    ["size", "{missing}", "{a}"],
    ["size", "{a}", "{missing}"],
    ["b85encode", "{missing}"],
    ["b85decode", "{missing}"],
    ["fixws", "{missing}"],
    ["diff", "{dir}", "{a}"],
])
def test_unreadable_input_is_named(files, tmp_path, capsysbinary, argv):
    a, = files(a=b"")
    names = dict(a=a, missing=tmp_path / "nope", dir=tmp_path)
    argv = [x.format(**names) for x in argv]
    bad = next(x for x in argv if x in (str(names["missing"]), str(tmp_path)))
    rc, out, err = run(capsysbinary, *argv, *(["-o", tmp_path / "o"]
                                             if argv[0] != "size" else []))
    assert (rc, out) == (1, b"")
    assert_one_line_error(err, bad)
    assert not (tmp_path / "o").exists()


@pytest.mark.parametrize("bad, problem", [
    (frag(0, 0, b"xy")[:-1], "cannot be decoded (delta 2 of 3): fragment 1"
     " at byte 0: data past the end (2 bytes declared, 1 left)"),
    (frag(0, 0) + b"\0" * 5, "cannot be decoded (delta 2 of 3): 5 trailing"
     " bytes at byte 12"),
    (frag(2, 1), "cannot be decoded (delta 2 of 3): fragment 1 at byte 0:"
     " start 2 past end 1"),
    # The base it applies to is the 6 bytes that delta 1 made.
    (frag(0, 0) + frag(0, 1 << 20, b"x"), "invalid patch (delta 2 of 3):"
     " fragment 2 at byte 12 ends at 1048576, past the end of its 6-byte"),
    (frag(3, 3) + frag(0, 1), "invalid patch (delta 2 of 3): fragment 2 at"
     " byte 12 starts at 0, before the end (3)"),
])
def test_bad_delta_in_a_chain_is_named_and_nothing_written(
        files, tmp_path, capsysbinary, bad, problem):
    base, good, broken = files(base=b"a\nb\n", good=frag(0, 0, b"z\n"),
                               broken=bad)
    out = tmp_path / "out"
    out.write_bytes(b"previous")
    rc, stdout, err = run(capsysbinary, "patch", base, good, broken, good,
                          "-o", out)
    assert (rc, stdout) == (1, b"")
    assert_one_line_error(err, broken, problem, "delta 2 of 3")
    assert out.read_bytes() == b"previous"
    assert sorted(p.name for p in tmp_path.iterdir()) == \
        ["base", "broken", "good", "out"]


def test_delta_that_only_fits_after_the_chain_moved_on(files, capsysbinary):
    # Both deltas decode; the second replaces bytes 3..5, which exist only in
    # the text the first one made, not in the base: that one is valid.
    base, first, second = files(base=b"a\n", first=frag(2, 2, b"bbbb\n"),
                                second=frag(3, 5, b"c"))
    assert run(capsysbinary, "patch", base, first, second) == \
        (0, b"a\nbcb\n", "")
    third, = files(third=frag(0, 99))
    rc, _, err = run(capsysbinary, "patch", base, first, second, third)
    assert rc == 1
    assert_one_line_error(err, third, "invalid patch", "delta 3 of 3")


@pytest.mark.parametrize("delta, problem", [
    (b"\0" * 11, "patch cannot be decoded: header past the end"),
    (frag(5, 4), "patch cannot be decoded: fragment 1 at byte 0: start 5"),
    # Headers only: removing 100 bytes from a 2-byte base is impossible.
    (frag(0, 100), "invalid patch for a base of 2 bytes (patched size -98):"
     " fragment 1 at byte 0 ends at 100"),
])
def test_size_of_a_bad_delta(files, capsysbinary, delta, problem):
    base, d = files(base=b"a\n", d=delta)
    rc, out, err = run(capsysbinary, "size", base, d)
    assert (rc, out) == (1, b"")
    assert_one_line_error(err, d, problem)


@pytest.mark.parametrize("text, problem", [
    (b"ab,de", "bad pentacode character at position 2"),
    (b"|NsC1", "bad pentacode sequence at position 5"),
    (b"VPaz\n\n", "bad pentacode character"),  # only one line ending goes
])
def test_b85decode_bad_text(files, tmp_path, capsysbinary, text, problem):
    enc, = files(enc=text)
    out = tmp_path / "out"
    rc, stdout, err = run(capsysbinary, "b85decode", enc, "-o", out)
    assert (rc, stdout) == (1, b"")
    assert_one_line_error(err, enc, problem)
    assert not out.exists()


@pytest.mark.parametrize("argv", [
    ["diff", "x"], ["patch", "x"], ["frobnicate"], ["blocks", "a", "b", "--xml"],
    ["diff", "-", "-"],  # stdin can be read once only
])
def test_usage_errors_exit_2(capsysbinary, argv):
    rc, out, err = run(capsysbinary, *argv)
    assert (rc, out) == (2, b"")
    assert "error" in err and "Traceback" not in err


def test_help_exits_0(capsysbinary):
    rc, out, _ = run(capsysbinary, "--help")
    assert rc == 0 and b"patch" in out


# -- output files ---------------------------------------------------------

def test_failed_write_keeps_the_old_output(files, tmp_path, capsysbinary,
                                           monkeypatch):
    a, b = files(a=b"a\n", b=b"b\n")
    out = tmp_path / "out"
    out.write_bytes(b"previous")

    def disk_full(fd):
        raise OSError(28, "No space left on device")
    monkeypatch.setattr(_cli.os, "fsync", disk_full)
    rc, _, err = run(capsysbinary, "diff", a, b, "-o", out)
    assert rc == 2  # a failed write is trouble, as in diff
    assert_one_line_error(err, out, "No space left on device")
    assert out.read_bytes() == b"previous"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["a", "b", "out"]


def test_output_into_missing_directory(files, tmp_path, capsysbinary):
    a, = files(a=b"x")
    rc, _, err = run(capsysbinary, "fixws", a, "-o", tmp_path / "no/out")
    assert rc == 2
    assert_one_line_error(err, tmp_path / "no/out")


def test_output_keeps_mode_and_symlink(files, tmp_path, capsysbinary):
    a, real = files(a=b"x  \n", real=b"old")
    real.chmod(0o640)
    link = tmp_path / "link"
    link.symlink_to(real)
    assert run(capsysbinary, "fixws", a, "-o", link)[0] == 0
    assert link.is_symlink() and real.read_bytes() == b"x\n"
    assert stat.S_IMODE(real.stat().st_mode) == 0o640


def test_output_to_device_writes_through_it(files, capsysbinary):
    # Renaming a temporary file over /dev/null would replace the device
    # node (we may run as root); a non-regular target is written in place.
    a, = files(a=b"x\n")
    before = os.stat(os.devnull)
    assert run(capsysbinary, "fixws", a, "-o", os.devnull)[0] == 0
    after = os.stat(os.devnull)
    assert stat.S_ISCHR(after.st_mode) and after.st_ino == before.st_ino


def test_long_chain_over_a_mapped_base(tmp_path, capsysbinary, monkeypatch):
    # Only the base is mapped; the deltas are read, so a long chain holds
    # no descriptor per delta.
    monkeypatch.setattr(_cli, "MAP_MIN", 1)
    base = tmp_path / "base"
    base.write_bytes(b"a\n")
    deltas = []
    for i in range(8):
        d = tmp_path / f"d{i}"
        d.write_bytes(frag(0, 0, b"%d\n" % i))
        deltas.append(d)
    rc, out, _ = run(capsysbinary, "patch", base, *deltas)
    assert (rc, out) == (0, b"7\n6\n5\n4\n3\n2\n1\n0\na\n")


# -- whole processes: stdin, stdout, the console script -------------------

def cli(*argv, script=False, **kw):
    cmd = ([_script()] if script else [sys.executable, "-m", "quorvan.cext"])
    return subprocess.run(cmd + [str(a) for a in argv], capture_output=True,
                          timeout=60, **kw)


def _script():
    here = Path(sys.executable).with_name("quorvan-cext")
    found = str(here) if here.exists() else shutil.which("quorvan-cext")
    if not found:
        pytest.skip("console script not installed")
    return found


def test_stdin_and_stdout_dash(files, tmp_path):
    old, new = files(old=b"a\nb\nc\n", new=b"a\nB\nc\n")
    r = cli("diff", "-", new, "-o", "-", input=old.read_bytes())
    assert r.returncode == 0 and r.stderr == b""
    assert r.stdout == frag(2, 4, b"B\n")
    r = cli("patch", old, "-", input=r.stdout)
    assert (r.returncode, r.stdout) == (0, b"a\nB\nc\n")


def test_console_script_and_errors_without_traceback(tmp_path):
    r = cli("b85encode", script=True, input=b"abc")
    assert (r.returncode, r.stdout) == (0, b"VPaz\n")
    r = cli("b85decode", script=True, input=b"ab,de")
    assert r.returncode == 1
    assert r.stderr == \
        b"quorvan-cext: <stdin>: bad pentacode character at position 2\n"


def test_closed_pipe_is_not_a_traceback(tmp_path):
    big = tmp_path / "big"
    big.write_bytes(os.urandom(1 << 20))
    p = subprocess.Popen([sys.executable, "-m", "quorvan.cext", "b85encode",
                          str(big)], stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE)
    p.stdout.read(10)
    p.stdout.close()
    err = p.stderr.read()
    p.stderr.close()
    p.wait(timeout=60)
    # 1.3 MB of text cannot all fit in the pipe: the write fails part way,
    # which is trouble, said quietly.
    assert err == b"" and p.returncode == 2


def test_patch_output_over_its_mapped_base(tmp_path, capsysbinary):
    # Output over an input that is mapped: the new text must be complete
    # before the file is replaced, and the map must not see it change.
    base = tmp_path / "base"
    text = b"".join(b"row %d\n" % i for i in range(20000))
    base.write_bytes(text)
    assert base.stat().st_size > _cli.MAP_MIN
    d = tmp_path / "d"
    d.write_bytes(frag(0, 4, b"ROW"))
    assert run(capsysbinary, "patch", base, d, "-o", base)[0] == 0
    assert base.read_bytes() == b"ROW" + text[4:]


class _Terminal(io.StringIO):
    def isatty(self):
        return True


def test_progress_only_on_a_terminal(files, capsysbinary, monkeypatch):
    base, d = files(base=b"a\n", d=frag(0, 0, b"x\n"))
    clock = iter(range(0, 10**6))
    monkeypatch.setattr(_cli.time, "monotonic", lambda: next(clock))
    term = _Terminal()
    monkeypatch.setattr(sys, "stderr", term)
    assert main(["patch", str(base)] + [str(d)] * 5) == 0
    shown = term.getvalue()
    assert "reading deltas 5/5" in shown
    assert shown.endswith("\r")  # the counter is wiped before output
    assert capsysbinary.readouterr().out == b"x\n" * 5 + b"a\n"


# -- unified diffs: ours against GNU diff, GNU patch and git --------------

PEER = {name: shutil.which(name) for name in ("diff", "patch", "git")}
GIT_ENV = dict(os.environ, GIT_CONFIG_NOSYSTEM="1",
               GIT_CONFIG_GLOBAL=os.devnull, HOME=os.devnull)


def peer(argv, cwd):
    """Runs a peer in cwd; git looks for no repository above it."""
    return subprocess.run(argv, cwd=cwd, capture_output=True, timeout=60,
                          env=dict(GIT_ENV,
                                   GIT_CEILING_DIRECTORIES=str(cwd.parent)))
ROUND_TRIPS = {"GNU patch": 0, "git apply": 0, "ours": 0}
F = "f g"  # a name that headers must quote


def peer_diffs(d):
    """Unified diffs of d/a/F against d/b/F from GNU diff and git diff."""
    made = []
    for tool, argv in (("diff", ["diff", "-u"]),
                       ("git", ["git", "diff", "--no-index", "--no-color",
                                "--no-ext-diff", "--text"])):
        if PEER[tool]:
            r = peer(argv + ["a/" + F, "b/" + F], d)
            assert r.returncode in (0, 1), r.stderr
            made.append(r.stdout)
    return made


def peers_apply(d, old, patch, context):
    """What GNU patch -p1 and git apply make of old with our patch, each in
    a tree holding d/w/F; no fuzz, no offset allowed. git apply is left
    out for diffs without context: it takes them only with --unidiff-zero,
    and then loses the line feed before a deleted last line that has none
    (with GNU diff -U0's output as well)."""
    results = []
    (d / "p").write_bytes(patch)
    for tool, argv in (("patch", ["patch", "-p1", "-F0", "-N",
                                  "--no-backup-if-mismatch", "-i", "../p"]),
                       ("git", ["git", "apply", "--whitespace=nowarn",
                                "../p"])):
        if not PEER[tool] or (tool == "git" and context == 0):
            continue
        (d / "w").mkdir(exist_ok=True)
        (d / "w" / F).write_bytes(old)
        r = peer(argv, d / "w")
        assert r.returncode == 0, r.stdout + r.stderr
        assert b"offset" not in r.stdout and b"fuzz" not in r.stdout
        results.append((d / "w" / F).read_bytes())
        ROUND_TRIPS["GNU patch" if tool == "patch" else "git apply"] += 1
    return results


def round_trip(d, old, new, context=3):
    """Our diff -u through our apply and both peers, and the peers' diffs
    through our apply: every way must give new byte for byte."""
    for side, text in (("a", old), ("b", new)):
        (d / side).mkdir(exist_ok=True)
        (d / side / F).write_bytes(text)
    labels = quote_name(b"a/" + F.encode()), quote_name(b"b/" + F.encode())
    # What diff -u writes (trimmed, grown changes), and the same writer on
    # the module's own blocks.
    ours = unified_changes(old, new, line_changes(old, new), *labels,
                           context)
    raw = unified(old, new, linesift.blocks(old, new), *labels, context)
    assert (ours == b"") == (raw == b"") == (old == new)
    moved = []
    patches = [ours, raw] + (peer_diffs(d) if b"\0" not in old + new
                             else [])
    for patch in patches:
        assert apply(old, read_patch(patch), moved.append) == new
        ROUND_TRIPS["ours"] += 1
    assert moved == []
    if ours and b"\0" not in old + new:
        made = peers_apply(d, old, ours, context)
        assert made == [new] * len(made)


# Few distinct lines, so that texts share lines; CRLF, a bare CR and a last
# line without a line feed all come up, and zero bytes in half the cases
# (which only we take: GNU diff and git diff see binary files there).
texts = st.tuples(
    st.lists(st.tuples(st.sampled_from([b"a", b"b", b"c", b"", b"a\r",
                                        b"z"]),
                       st.sampled_from([b"\n", b"\r\n"])).map(b"".join),
             max_size=14).map(b"".join),
    st.booleans(),
).map(lambda t: t[0][:-1] if t[1] and t[0] else t[0])


@settings(max_examples=60, deadline=None,
          suppress_health_check=[HealthCheck.too_slow])
@given(texts, texts, st.integers(0, 4), st.booleans())
def test_unified_round_trip_property(tmp_path_factory, old, new, context,
                                     binary):
    if binary:
        old, new = old.replace(b"z", b"z\0z"), new.replace(b"z", b"z\0z")
    round_trip(tmp_path_factory.mktemp("u"), old, new, context)


def test_unified_round_trip_on_the_sample_history(tmp_path, capsysbinary,
                                                  monkeypatch):
    # Through the command line, as people run it, on real revisions.
    monkeypatch.chdir(tmp_path)
    revs = [p.read_bytes() for p in SAMPLE]
    pairs = list(zip(revs, revs[1:])) + [(revs[0], revs[-1]),
                                         (revs[-1].replace(b"\n", b"\r\n"),
                                          revs[0].replace(b"\n", b"\r\n"))]
    for old, new in pairs:
        round_trip(tmp_path, old, new)
        rc, out, err = run(capsysbinary, "diff", "-u", "a/" + F, "b/" + F)
        assert (rc, err) == (1, "") and out.startswith(b'--- "a/f g"\t')
        assert peers_apply(tmp_path, old, out, 3) == [new] * sum(
            bool(PEER[t]) for t in ("patch", "git"))
        (tmp_path / "p").write_bytes(out)
        assert run(capsysbinary, "apply", "a/" + F, "p") == (0, new, "")
    print("unified round trips:", ROUND_TRIPS)


def test_apply_moves_hunks_like_patch_and_refuses_a_misfit(
        files, tmp_path, capsysbinary):
    old = b"".join(b"%d\n" % i for i in range(60))
    new = old.replace(b"10\n", b"10\nX\n").replace(b"45\n", b"FORTY5\n")
    patch, = files(p=unified(old, new, linesift.blocks(old, new), b"a", b"b"))
    moved, = files(moved=b"a\nb\nc\nd\ne\n" + old)
    rc, out, err = run(capsysbinary, "apply", moved, patch)
    assert (rc, out) == (0, b"a\nb\nc\nd\ne\n" + new)
    # GNU patch's own words, where it is installed; these are they.
    said = ["Hunk #1 succeeded at 14 (offset 5 lines).",
            "Hunk #2 succeeded at 49 (offset 5 lines)."]
    if PEER["patch"]:
        r = subprocess.run(["patch", "-o", "-", str(moved), str(patch)],
                           capture_output=True, timeout=60)
        said = [x for x in (r.stdout + r.stderr).decode().splitlines()
                if x.startswith("Hunk")]
    assert err.splitlines() == said
    misfit, = files(misfit=old.replace(b"44\n", b"44!\n"))
    rc, out, err = run(capsysbinary, "apply", misfit, patch, "-o",
                       tmp_path / "out")
    assert (rc, out) == (1, b"")
    assert_one_line_error(err, "hunk #2", "fits nowhere")
    assert not (tmp_path / "out").exists()


def test_diff_u_status_and_small_promises(files, tmp_path, capsysbinary):
    a, b = files(a=b"x\n", b=b"y\n")
    assert run(capsysbinary, "diff", "-u", a, a) == (0, b"", "")
    rc, _, err = run(capsysbinary, "diff", "-U", "1", a, tmp_path / "nope")
    assert rc == 2 and "nope" in err
    rc, out, _ = run(capsysbinary, "size", a, *files(d=frag(0, 2)), "-o", "-")
    assert (rc, out) == (0, b"0\n")
    rc, out, _ = run(capsysbinary, "--version")
    assert rc == 0 and out.startswith(b"quorvan-cext ")


@pytest.mark.skipif(not os.path.exists("/proc/self/status"),
                    reason="reads the signal mask from /proc")
def test_ctrl_c_during_a_long_diff_stops_at_once(tmp_path):
    # SIGINT has its default action from the command line's first line on,
    # and the engine runs well before any output is written. So once the
    # process is in the engine (well past start-up, no output yet) the
    # signal must end it at once, leaving no file behind. The command starts
    # as from a terminal, with SIGINT not ignored whatever the test runner
    # inherited (a background job's SIGINT is ignored, and the command then
    # rightly leaves it so).
    def sigint_caught(pid):
        with open(f"/proc/{pid}/status") as f:
            mask = int(next(x for x in f if x.startswith("SigCgt:")).split()[1],
                       16)
        if mask & (1 << (signal.SIGSEGV - 1)):
            # Python catches no SIGSEGV: this is an emulator's mask (qemu-user
            # catches every signal). Wait out start-up as timed instead.
            time.sleep(startup * 3)
            return False
        return bool(mask & (1 << (signal.SIGINT - 1)))

    t = time.monotonic()
    subprocess.run([sys.executable, "-m", "quorvan.cext", "--version"],
                   capture_output=True, check=True)
    startup = time.monotonic() - t

    old, new, out = tmp_path / "old", tmp_path / "new", tmp_path / "out"
    for lines in (200_000, 800_000, 3_200_000):
        old.write_bytes(b"".join(b"%d\n" % (i * 7 % lines)
                                 for i in range(lines)))
        new.write_bytes(b"".join(b"%d\n" % (i * 5 % lines)
                                 for i in range(lines)))
        p = subprocess.Popen([sys.executable, "-m", "quorvan.cext", "diff",
                              "-u", str(old), str(new), "-o", str(out)],
                             stderr=subprocess.PIPE,
                             preexec_fn=lambda: signal.signal(signal.SIGINT,
                                                              signal.SIG_DFL))
        # Past start-up (Python's own handler is gone), files being diffed.
        time.sleep(0.2)
        sent = False
        while p.poll() is None and not out.exists():
            try:
                if not sigint_caught(p.pid):
                    sent = True
                    break
            except (OSError, StopIteration):
                break
            time.sleep(0.01)
        if sent:
            p.send_signal(signal.SIGINT)
        err = p.stderr.read()
        p.stderr.close()
        status = p.wait(timeout=60)
        if sent and status == -signal.SIGINT and not out.exists():
            assert err == b""
            assert sorted(x.name for x in tmp_path.iterdir()) == \
                ["new", "old"]
            return
        # The diff ended before the signal: try a longer one.
        out.unlink(missing_ok=True)
    pytest.fail("SIGINT never came during the diff")
