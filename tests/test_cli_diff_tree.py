"""diff -ruN of two folders: GNU patch -p1 and git apply rebuild the new
folder from it, and it lists the files GNU diff -ruN lists, in its order."""
import os
import re
import shutil
import subprocess

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from quorvan.cext.__main__ import main

PEERS = {name: shutil.which(name) for name in ("diff", "patch", "git")}
ENV = dict(os.environ, LC_ALL="C", GIT_CONFIG_NOSYSTEM="1",
           GIT_CONFIG_GLOBAL=os.devnull, HOME=os.devnull)

# Names with spaces, non-ASCII letters and quotes; a folder holds files too.
names = st.sampled_from(["f", "g h", "é.c", 'q"x', "sub/f", "sub/é z",
                         "sub/deep/k", "n"])
lines = st.sampled_from([b"a\n", b"b\n", b"a\r\n", b"\n", b"z\0z\n"])
content = st.builds(lambda ls, cut: b"".join(ls)[:-1] if cut and ls
                    else b"".join(ls),
                    st.lists(lines, max_size=8), st.booleans())
tree = st.dictionaries(names, content, max_size=6)


def write(root, files):
    root.mkdir()
    for name, data in files.items():
        path = root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)


def read(root):
    return {str(p.relative_to(root)): p.read_bytes()
            for p in root.rglob("*") if p.is_file()}


def ours(capsysbinary, cwd, *argv):
    here = os.getcwd()
    os.chdir(cwd)
    try:
        rc = main(list(argv))
    finally:
        os.chdir(here)
    out, err = capsysbinary.readouterr()
    return rc, out, err


def consistent(old, new):
    # A name may not be a file on one side and a folder on the other.
    tops = {n.split("/")[0] for n in list(old) + list(new) if "/" in n}
    return not tops & (set(old) | set(new))


@settings(max_examples=40, deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(tree, tree)
def test_tree_diff_rebuilds_the_new_tree(tmp_path_factory, capsysbinary, old,
                                         new):
    if not consistent(old, new):
        return
    d = tmp_path_factory.mktemp("tree")
    write(d / "old", old)
    write(d / "new", new)
    rc, patch, err = ours(capsysbinary, d, "diff", "-ruN", "old", "new")
    assert err == b"" and rc == (0 if old == new else 1)
    (d / "p").write_bytes(patch)
    for tool, argv in (("patch", ["patch", "-p1", "-s", "-f", "-i",
                                  "../p"]),
                       ("git", ["git", "apply", "-p1", "../p"])):
        if not PEERS[tool] or not patch:
            continue
        work = d / tool
        shutil.copytree(d / "old", work)
        r = subprocess.run(argv, cwd=work, capture_output=True, env=dict(
            ENV, GIT_CEILING_DIRECTORIES=str(d)), timeout=60)
        assert r.returncode == 0, r.stdout + r.stderr
        got = read(work)
        if tool == "patch":
            # GNU patch cannot delete an empty file (nor can GNU diff -N
            # express it): such a file stays behind, empty.
            for name in set(got) - set(new):
                assert old.get(name) == b"" and got.pop(name) == b""
        assert got == new
    if PEERS["diff"]:
        gnu = subprocess.run(["diff", "-ruN", "--text", "old", "new"],
                             cwd=d, capture_output=True, env=ENV).stdout
        listed = re.compile(rb"^diff -ruN (?:--text )?(.*)$", re.M)
        # GNU diff leaves empty files made or removed unlisted; we write
        # them as git does.
        empties = [m.encode() for m in re.findall(
            r"^diff --git (.*)$", patch.decode("latin-1"), re.M)]
        assert listed.findall(patch) == listed.findall(gnu)
        assert all(b"old/" in e for e in empties)


def test_only_in_and_kinds_without_n(tmp_path, capsysbinary):
    write(tmp_path / "old", {"gone": b"x\n", "same": b"s\n", "d/f": b"1\n",
                             "kind": b"file\n"})
    write(tmp_path / "new", {"made": b"y\n", "same": b"s\n", "d/f": b"2\n",
                             "kind/f": b"now a folder\n"})
    rc, out, _ = ours(capsysbinary, tmp_path, "diff", "-ru", "old", "new")
    assert rc == 1
    text = out.decode()

    def outline(t):
        return [x for x in t.splitlines() if x[:1] not in "-+@ "]

    assert outline(text) == [
        "diff -ru old/d/f new/d/f",
        "Only in old: gone",
        "File old/kind is a regular file while file new/kind is a directory",
        "Only in new: made"]
    if PEERS["diff"]:
        gnu = subprocess.run(["diff", "-ru", "old", "new"], cwd=tmp_path,
                             capture_output=True, env=ENV).stdout.decode()
        assert outline(gnu) == outline(text)
    # Equal trees: nothing written, status 0; -r needs folders.
    assert ours(capsysbinary, tmp_path, "diff", "-ru", "old", "old")[:2] == \
        (0, b"")
    rc, _, err = ours(capsysbinary, tmp_path, "diff", "-ru", "old/gone",
                      "new")
    assert rc == 2 and b"Not a directory" in err


@pytest.mark.skipif(not hasattr(os, "symlink"), reason="no symlinks")
def test_link_loop_is_trouble_not_a_hang(tmp_path, capsysbinary):
    write(tmp_path / "old", {"f": b"1\n"})
    write(tmp_path / "new", {"f": b"2\n"})
    os.symlink("..", tmp_path / "old" / "up")
    os.symlink("..", tmp_path / "new" / "up")
    rc, out, err = ours(capsysbinary, tmp_path, "diff", "-ruN", "old", "new")
    assert rc == 2 and b"recursive directory loop" in err
    assert b"+2" in out
