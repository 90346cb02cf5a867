"""apply on whole trees: patches made by GNU diff -ruN, git diff and our own
diff -u -r -N, applied with ours and compared with GNU patch and git apply
on generated trees."""
import contextlib
import io
import os
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st

from quorvan.cext.__main__ import main

PEER = {name: shutil.which(name) for name in ("diff", "patch", "git")}
GIT_ENV = dict(os.environ, GIT_CONFIG_NOSYSTEM="1",
               GIT_CONFIG_GLOBAL=os.devnull, HOME=os.devnull)

# Names that headers must quote (space, tab, quote, backslash, non-ASCII),
# in subdirectories too. "d" is only ever a directory.
NAMES = ["x", "f g", "\u00e9t\u00e9", "d/y", "d/e/z z", "t\tab", 'q"\\']
MOVED = ["mv", "d/m\u00f6ved"]


def call(*argv):
    """main(argv) in this process: status, stdout and stderr texts."""
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        rc = main([str(a) for a in argv])
    return rc, out.getvalue(), err.getvalue()


def peer(argv, cwd):
    return subprocess.run(argv, cwd=cwd, capture_output=True, timeout=60,
                          check=False, env=dict(GIT_ENV,
                                   GIT_CEILING_DIRECTORIES=str(cwd)))


def write_tree(root, tree):
    root.mkdir(parents=True)
    for name, (data, exe) in tree.items():
        p = root / name
        p.parent.mkdir(parents=True, exist_ok=True)
        p.write_bytes(data)
        p.chmod(0o755 if exe else 0o644)


def snapshot(root, modes=True):
    """Every file below root: its bytes and, if asked, whether it runs."""
    seen = {}
    for dirpath, dirs, names in os.walk(root):
        for n in names:
            p = Path(dirpath, n)
            seen[str(p.relative_to(root))] = (
                p.read_bytes(), bool(p.stat().st_mode & 0o100) and modes)
    return seen


def expect(tree, modes=True):
    return {k: (v[0], v[1] and modes) for k, v in tree.items()}


line = st.tuples(st.sampled_from([b"a", b"b", b"c", b"", b"a\r", b"z\0z",
                                  b"\xe9"]),
                 st.sampled_from([b"\n", b"\r\n"])).map(b"".join)
text = st.tuples(st.lists(line, max_size=9).map(b"".join),
                 st.booleans()).map(
    lambda t: t[0][:-1] if t[1] and t[0] else t[0])


@st.composite
def tree_pairs(draw):
    """An old and a new tree: files kept, edited, deleted, created and
    moved (a move keeps most lines, so git sees a rename). Created and
    deleted files are never empty: diff -ruN writes nothing for those."""
    old, new = {}, {}
    for name in NAMES:
        fate = draw(st.sampled_from(["absent", "same", "edit", "delete",
                                     "create"]))
        body, exe = draw(text), draw(st.booleans())
        if fate in ("same", "edit", "delete"):
            old[name] = (body or b"x\n" if fate == "delete" else body, exe)
        if fate == "same":
            new[name] = (body, draw(st.booleans()))
        elif fate in ("edit", "create"):
            new[name] = (draw(text) or (b"n\n" if fate == "create" else b""),
                         draw(st.booleans()))
    for src, dst in zip(draw(st.permutations(NAMES)), MOVED):
        if src in old and src not in new and draw(st.booleans()):
            body = b"".join(b"moved %d\n" % i for i in range(8))
            old[src] = (body, False)
            new[dst] = (body.replace(b"moved 7", b"MOVED")
                        if draw(st.booleans()) else body, False)
    assume(old != new)
    return old, new


def make_patches(d):
    """Patches of d/a against d/b, by every maker on the machine, with
    the -p each needs, whether it carries modes, and the peer that
    applies it."""
    made = []
    if PEER["diff"]:
        r = peer(["diff", "-ruN", "-a", "a", "b"], d)
        assert r.returncode in (0, 1), r.stderr
        made.append(("gnu", r.stdout, 1, False))
    if PEER["git"]:
        r = peer(["git", "diff", "--no-index", "--no-color", "--no-ext-diff",
                  "--text", "-M", "a", "b"], d)
        assert r.returncode == 1, r.stderr
        made.append(("git", r.stdout, 2, True))
    rc, out, _ = call_bytes(d, "diff", "-u", "-r", "-N", "a", "b")
    if rc in (0, 1):  # a command line without tree diffs says 2
        made.append(("ours", out, 1, False))
    # diff -ruN sees no change of mode alone.
    return [m for m in made if m[1]]


def call_bytes(cwd, *argv):
    r = subprocess.run([sys.executable, "-m", "quorvan.cext", *argv],
                       cwd=cwd, capture_output=True, timeout=60, check=False)
    return r.returncode, r.stdout, r.stderr


def peer_apply(kind, patch_file, p, work):
    if kind == "git":
        if not PEER["git"]:
            return None
        argv = ["git", "apply", f"-p{p}", "--whitespace=nowarn",
                str(patch_file)]
    else:
        if not PEER["patch"]:
            return None
        argv = ["patch", f"-p{p}", "-s", "-N", "-F0",
                "--no-backup-if-mismatch", "-i", str(patch_file)]
    r = peer(argv, work)
    return r.returncode, r.stdout + r.stderr


@settings(max_examples=25, deadline=None,
          suppress_health_check=[HealthCheck.too_slow])
@given(tree_pairs())
def test_tree_round_trips_against_peers(tmp_path_factory, pair):
    old, new = pair
    d = tmp_path_factory.mktemp("t")
    write_tree(d / "a", old)
    write_tree(d / "b", new)
    for kind, patch, p, modes in make_patches(d):
        pf = d / f"{kind}.patch"
        pf.write_bytes(patch)
        w = d / f"w-{kind}"
        shutil.copytree(d / "a", w, symlinks=True)
        before = snapshot(w)
        # A dry run says what it would do and changes nothing.
        rc, out, err = call("apply", "-p", p, "-d", w, "--dry-run", pf)
        assert (rc, err) == (0, ""), (kind, patch)
        assert out.endswith("dry run: nothing written\n")
        assert snapshot(w) == before
        rc, out, err = call("apply", "-p", p, "-d", w, pf)
        assert (rc, err) == (0, ""), (kind, patch)
        assert snapshot(w, modes) == expect(new, modes), (kind, patch)
        # Again: named as applied already, and nothing changes; unless,
        # as with GNU patch, every hunk fits again (lines added among
        # equal ones), which -R then takes back.
        rc, _, err = call("apply", "-p", p, "-d", w, pf)
        if rc:
            assert rc == 1 and "previously applied" in err, err
            assert snapshot(w, modes) == expect(new, modes)
        else:
            assert call("apply", "-R", "-p", p, "-d", w, pf)[0] == 0
        rc, out, err = call("apply", "-R", "-p", p, "-d", w, pf)
        assert (rc, err) == (0, ""), (kind, patch)
        assert snapshot(w, modes) == expect(old, modes), (kind, patch)
        # The peer, on a fresh copy, makes what we made.
        shutil.rmtree(w)
        shutil.copytree(d / "a", w, symlinks=True)
        done = peer_apply("git" if kind == "git" else "patch", pf, p, w)
        if done is not None:
            assert done[0] == 0, done[1]
            assert snapshot(w, modes) == expect(new, modes), (kind, done)


@settings(max_examples=25, deadline=None,
          suppress_health_check=[HealthCheck.too_slow])
@given(tree_pairs(), st.data())
def test_one_misfit_anywhere_leaves_the_tree_untouched(tmp_path_factory,
                                                       pair, data):
    old, new = pair
    edited = sorted(n for n in old if n in new and old[n][0] != new[n][0]
                    and old[n][0])
    assume(edited)
    d = tmp_path_factory.mktemp("m")
    write_tree(d / "a", old)
    write_tree(d / "b", new)
    victim = data.draw(st.sampled_from(edited))
    for kind, patch, p, _ in make_patches(d):
        pf = d / f"{kind}.patch"
        pf.write_bytes(patch)
        w = d / f"w-{kind}"
        shutil.copytree(d / "a", w, symlinks=True)
        (w / victim).write_bytes(b"unrelated\n" * 3)
        before = snapshot(w)
        rc, out, err = call("apply", "-p", p, "-d", w, pf)
        assert rc == 1 and out == "", (kind, out)
        assert err.count("\n") == 1 and "nothing written" in err, err
        assert os.fsdecode(os.fsencode(victim)) in err
        assert snapshot(w) == before
        shutil.rmtree(w)


OUTSIDE = "outside"  # a directory beside the tree, which must stay empty


def _git(old, new, body=b"@@ -0,0 +1 @@\n+pwned\n", extra=b""):
    return (b"diff --git a/%s b/%s\n" % (old, new) + extra +
            b"--- a/%s\n+++ b/%s\n" % (old, new) + body)


@pytest.mark.parametrize("patch, argv, setup, words", [
    (b"--- a/../outside/f\n+++ b/../outside/f\n@@ -0,0 +1 @@\n+pwned\n",
     [], None, "'..'"),
    (b"--- /dev/null\n+++ /tmp/f\n@@ -0,0 +1 @@\n+pwned\n",
     ["-p", "0"], None, "absolute"),
    (b'--- /dev/null\n+++ "b/a\\000b"\n@@ -0,0 +1 @@\n+pwned\n',
     [], None, "not a usable file name"),
    (_git(b"x", b"x", b"", b"similarity index 100%\nrename from x\n"
          b"rename to ../outside/x\n"), [], "x", "'..'"),
    (b"--- /dev/null\n+++ b/link/f\n@@ -0,0 +1 @@\n+pwned\n",
     [], "dirlink", "symbolic link"),
    (b"--- a/link/g\n+++ b/link/g\n@@ -1 +1 @@\n-old\n+pwned\n",
     [], "dirlink", "symbolic link"),
    (b"--- a/flink\n+++ b/flink\n@@ -1 +1 @@\n-old\n+pwned\n",
     [], "filelink", "symbolic link"),
    ((b"diff --git a/bin b/bin\nnew file mode 100644\nGIT binary patch\n"
      b"literal 3\nKcmZ>9%K-oa0s#R5\n\nliteral 0\nHcmV?d00001\n\n"),
     [], None, "binary"),
    (b"Binary files a/bin and b/bin differ\n", [], None, "binary"),
    (_git(b"l", b"l", extra=b"new file mode 120000\n"), [], None,
     "symbolic links are not supported"),
], ids=["dotdot", "absolute", "nul", "rename-out", "dir-link-create",
        "dir-link-edit", "file-link", "git-binary", "binary-differ",
        "git-symlink"])
def test_refusals(tmp_path, patch, argv, setup, words):
    tree, outside = tmp_path / "tree", tmp_path / OUTSIDE
    tree.mkdir()
    outside.mkdir()
    (outside / "g").write_bytes(b"old\n")
    (tree / "x").write_bytes(b"x\n")
    if setup == "dirlink":
        (tree / "link").symlink_to(outside)
    elif setup == "filelink":
        (tree / "flink").symlink_to(outside / "g")
    pf = tmp_path / "p"
    pf.write_bytes(patch)
    before = snapshot(tree), snapshot(outside)
    rc, out, err = call("apply", *argv, "-d", tree, pf)
    assert rc == 1 and out == "", out
    assert err.count("\n") == 1 and "Traceback" not in err, err
    assert words in err
    assert (snapshot(tree), snapshot(outside)) == before


def test_write_error_takes_everything_back(tmp_path, monkeypatch):
    # The disk fills while the third of four files is written: status 2,
    # one line, no file changed, no temporary file or new directory left.
    tree = tmp_path / "t"
    write_tree(tree, {f"f{i}": (b"a\n", False) for i in range(3)})
    patch = b"".join(b"--- a/f%d\n+++ b/f%d\n@@ -1 +1 @@\n-a\n+b\n" % (i, i)
                     for i in range(3))
    patch += b"--- /dev/null\n+++ b/new/dir/f\n@@ -0,0 +1 @@\n+c\n"
    (tmp_path / "p").write_bytes(patch)
    before = snapshot(tree)
    calls = []
    real_fsync = os.fsync

    def fsync(fd):
        calls.append(fd)
        if len(calls) == 3:
            raise OSError(28, "No space left on device")
        real_fsync(fd)

    monkeypatch.setattr(os, "fsync", fsync)
    rc, out, err = call("apply", "-d", tree, tmp_path / "p")
    assert (rc, out) == (2, "")
    assert err.count("\n") == 1 and "No space left" in err, err
    assert snapshot(tree) == before and sorted(os.listdir(tree)) == \
        ["f0", "f1", "f2"]


def test_messages_to_a_full_disk_are_one_line_and_status_2(tmp_path):
    if not os.path.exists("/dev/full"):
        pytest.skip("no /dev/full")
    (tmp_path / "x").write_bytes(b"a\n")
    (tmp_path / "p").write_bytes(b"--- a/x\n+++ b/x\n@@ -1 +1 @@\n-a\n+b\n")
    with open("/dev/full", "wb") as full:
        r = subprocess.run([sys.executable, "-m", "quorvan.cext", "apply",
                            "--dry-run", "p"], cwd=tmp_path, stdout=full,
                           stderr=subprocess.PIPE, timeout=60, check=False)
    assert r.returncode == 2 and r.stderr.count(b"\n") == 1, r.stderr
    assert (tmp_path / "x").read_bytes() == b"a\n"


def test_ctrl_c_during_the_writes_leaves_old_or_new_whole(tmp_path):
    # SIGINT while temporary files are written takes them back; during the
    # renames it waits for the last one. Either way the tree is all old or
    # all new, with no temporary file, and the run ends by the signal.
    old = {f"d{i % 7}/f{i}": (b"line\n" * 50, False) for i in range(400)}
    new = {k: (v[0] + b"more\n", False) for k, v in old.items()}
    write_tree(tmp_path / "a", old)
    write_tree(tmp_path / "b", new)
    r = peer(["diff", "-ruN", "a", "b"], tmp_path) if PEER["diff"] else None
    if r is None:
        pytest.skip("needs GNU diff")
    (tmp_path / "p").write_bytes(r.stdout)
    for attempt in range(5):
        w = tmp_path / f"w{attempt}"
        shutil.copytree(tmp_path / "a", w)
        p = subprocess.Popen([sys.executable, "-m", "quorvan.cext", "apply",
                              "-d", str(w), str(tmp_path / "p")],
                             stdout=subprocess.DEVNULL,
                             stderr=subprocess.PIPE)
        deadline = time.monotonic() + 30
        while p.poll() is None and time.monotonic() < deadline and not any(
                n.endswith(".tmp") for n in os.listdir(w / "d0")):
            pass
        p.send_signal(signal.SIGINT)
        _, err = p.communicate(timeout=60)
        assert b"Traceback" not in err, err
        state = snapshot(w)
        assert state in (expect(old), expect(new))
        if p.returncode in (130, -signal.SIGINT):
            return
        assert p.returncode == 0  # it was done before the signal came
    pytest.skip("the runs ended before the signal could catch them writing")


@settings(max_examples=60, deadline=None)
@given(st.integers(1, 600), st.randoms(use_true_random=False),
       st.lists(st.tuples(st.integers(0, 599), st.sampled_from(
           ["edit", "add", "drop"])), max_size=12),
       st.integers(0, 5), st.integers(0, 3))
def test_hunks_far_apart_in_long_texts(nlines, rng, edits, lead, context):
    # Lines of any length between hunks, and a few lines added in front so
    # that every hunk is found away from its stated line: both placements
    # (counted straight to the stated line, and the search) give what
    # difflib says.
    import difflib

    from quorvan.cext._apply import _apply_in_place, apply, read_patch

    old = [b"%d %s\n" % (i, b"x" * rng.choice([0, 1, 9, 40, 120]))
           for i in range(nlines)]
    new = list(old)
    for at, kind in sorted(edits, reverse=True):
        at = min(at, len(new))
        if kind == "edit" and at < len(new):
            new[at] = b"edited\n"
        elif kind == "add":
            new[at:at] = [b"added\n"]
        else:
            del new[at:at + 1]
    patch = b"".join(difflib.diff_bytes(difflib.unified_diff, old, new,
                                        b"a/f", b"b/f", n=context))
    hunks = read_patch(patch)
    text = b"".join(old)
    # Where every hunk is where it says, the count by byte offsets finds it.
    assert _apply_in_place(text, hunks) == b"".join(new)
    assert apply(text, hunks, lambda _: None) == b"".join(new)
    if all(h.old for h in hunks):  # a hunk with no old line fits anywhere
        moved = []
        assert apply(b"front\n" * lead + text, hunks, moved.append) == \
            b"front\n" * lead + b"".join(new)
        assert len(moved) == (len(hunks) if lead else 0)
    assert apply(b"".join(new), [h.reversed() for h in hunks],
                 lambda _: None) == text
