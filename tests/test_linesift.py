"""Module quorvan.cext.linesift: deltas, matching blocks, whitespace
normalisation, argument handling, failures and threads."""
import random
import subprocess
import sys
import textwrap

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from quorvan.cext import linesift
from testkit.reference import apply, decode, frag, split_lines

# ---- a small model of the matcher ----------------------------------------------


def model_blocks(a, b):
    """The matching blocks of line lists a and b, computed the slow way by
    the same rules as the engine: classes, popularity, windowed longest match
    with the shared run memo, ties towards the middles, sliding."""
    an, bn = len(a), len(b)
    classes, last, count = {}, {}, {}
    bcls, bchain = [], []
    for j, line in enumerate(b):
        c = classes.setdefault(line, len(classes))
        bcls.append(c)
        bchain.append(last.get(c, -1))
        last[c] = j
        count[c] = count.get(c, 0) + 1
    limit = bn // 1000 if bn >= 31000 else 1000000 // (bn + 1)
    acls, achain = [], []
    for i, line in enumerate(a):
        c = classes.get(line)
        acls.append(-1 - i if c is None else c)
        achain.append(-1 if c is None or count[c] > limit else last[c])
    mline = [0] * max(bn, 1)
    mrun = [0] * max(bn, 1)

    def longest(a1, a2, b1, b2):
        bi, bj, bk = a1, b1, 0
        w = a2 - 30000 if a2 - a1 > 30000 else a1
        mid_a, mid_b = (w + a2 - 1) // 2, (b1 + b2 - 1) // 2
        for i in range(w, a2):
            j = achain[i]
            while j >= b2:
                j = bchain[j]
            while j >= b1:
                k = 1
                while j - k >= b1 and i - k >= w:
                    if mline[j - k] == i - k:
                        k += mrun[j - k]
                        break
                    if acls[i - k] != bcls[j - k]:
                        break
                    k += 1
                mline[j], mrun[j] = i, k
                if k > bk:
                    bi, bj, bk = i, j, k
                elif k == bk:
                    if i > bi and i <= mid_a and j > b1:
                        bi, bj = i, j
                    elif i == bi and (bj > mid_b or i == w):
                        bj = j
                j = bchain[j]
        if bk:
            bi, bj = bi - bk + 1, bj - bk + 1
        while bi + bk < a2 and bj + bk < b2 and acls[bi + bk] == bcls[bj + bk]:
            bk += 1
        return bi, bj, bk

    blocks = []

    def recurse(a1, a2, b1, b2):
        while True:
            i, j, k = longest(a1, a2, b1, b2)
            if not k:
                return
            recurse(a1, i, b1, j)
            blocks.append([i, i + k, j, j + k])
            a1, b1 = i + k, j + k

    recurse(0, an, 0, bn)
    blocks.append([an, an, bn, bn])
    for c, n in zip(blocks, blocks[1:]):
        if c[1] == n[0] or c[3] == n[2]:
            while (c[1] < an and c[3] < bn and n[0] < n[1] and n[2] < n[3]
                   and a[c[1]] == b[c[3]]):
                c[1] += 1
                n[0] += 1
                c[3] += 1
                n[2] += 1
    return [tuple(x) for x in blocks]


def model_delta(src, tgt):
    m = min(len(src), len(tgt))
    d = 0
    while d < m and src[d] == tgt[d]:
        d += 1
    c = src.rfind(b"\n", 0, d) + 1
    a, b = split_lines(src[c:]), split_lines(tgt[c:])
    aoff = [c]
    for line in a:
        aoff.append(aoff[-1] + len(line))
    boff = [c]
    for line in b:
        boff.append(boff[-1] + len(line))
    out, pa, pb = [], 0, 0
    for a1, a2, b1, b2 in model_blocks(a, b):
        if a1 != pa or b1 != pb:
            data = tgt[boff[pb]:boff[b1]]
            out.append(frag(aoff[pa], aoff[a1], data))
        pa, pb = a2, b2
    return b"".join(out)


def line_starts(text):
    return {0, len(text)} | {i + 1 for i, c in enumerate(text) if c == 10}


def lines(*xs):
    return b"".join(x.encode() + b"\n" for x in xs)


# ---- random texts from small line alphabets --------------------------------------

PIECES = [b"a\n", b"b\n", b"c\n", b"\n", b"a\r\n", b"\x00\n", b"b", b"\r",
          b"\x00", b"a", b"long line of text\n", b"\xff\n"]
piece_lists = st.lists(st.sampled_from(PIECES), max_size=40)


@st.composite
def text_pairs(draw):
    """A source and a target that is either unrelated or an edit of it."""
    src = draw(piece_lists)
    if draw(st.booleans()):
        tgt = draw(piece_lists)
    else:
        tgt = list(src)
        for _ in range(draw(st.integers(0, 5))):
            pos = draw(st.integers(0, len(tgt)))
            op = draw(st.sampled_from(["ins", "del", "rep"]))
            new = draw(st.lists(st.sampled_from(PIECES), min_size=1, max_size=4))
            if op == "ins":
                tgt[pos:pos] = new
            elif op == "del":
                del tgt[pos:pos + len(new)]
            else:
                tgt[pos:pos + 1] = new
    return b"".join(src), b"".join(tgt)


PROPS = settings(max_examples=300, deadline=None,
                 suppress_health_check=[HealthCheck.too_slow])


@PROPS
@given(text_pairs())
def test_delta_is_well_formed_and_rebuilds_the_target(pair):
    src, tgt = pair
    delta = linesift.linesift(src, tgt)
    assert (delta == b"") == (src == tgt)
    srcb, tgtb = line_starts(src), line_starts(tgt)
    prev_end, out_len = 0, 0
    for start, end, data in decode(delta):
        assert end > start or data, "empty fragment"
        assert prev_end <= start <= end <= len(src)
        assert start in srcb and end in srcb
        # data is whole target lines: it starts and ends on target lines.
        out_len += start - prev_end
        assert out_len in tgtb
        out_len += len(data)
        assert out_len in tgtb
        prev_end = end
    assert apply(src, delta) == tgt
    assert delta == model_delta(src, tgt)


@PROPS
@given(text_pairs())
def test_blocks_are_true_ascending_matches(pair):
    src, tgt = pair
    a, b = split_lines(src), split_lines(tgt)
    got = linesift.blocks(src, tgt)
    assert got[-1] == (len(a), len(a), len(b), len(b))
    pa = pb = 0
    for a1, a2, b1, b2 in got:
        assert pa <= a1 <= a2 and pb <= b1 <= b2 and a2 - a1 == b2 - b1
        assert a[a1:a2] == b[b1:b2]
        pa, pb = a2, b2
    assert got == model_blocks(a, b)


@pytest.mark.parametrize("seed", range(6))
def test_popular_lines_match_the_model(seed):
    # Targets of a few thousand lines where two lines are far more common
    # than the popularity limit allows, among rarer ones.
    rng = random.Random(seed)
    n = rng.choice([1200, 2500, 4000])
    pool = [b"{\n", b"}\n"] * 20 + [b"r%d\n" % rng.randrange(60) for _ in range(12)]
    src = [rng.choice(pool) for _ in range(n)]
    tgt = list(src)
    for _ in range(40):
        p = rng.randrange(len(tgt))
        tgt[p:p + rng.randrange(3)] = [rng.choice(pool)] * rng.randrange(3)
    a, b = b"".join(src), b"".join(tgt)
    assert linesift.blocks(a, b) == model_blocks(src, tgt)
    delta = linesift.linesift(a, b)
    assert delta == model_delta(a, b) and apply(a, delta) == b


def test_long_texts_match_the_model_across_windows():
    rng = random.Random(7)
    src = [b"%d\n" % rng.randrange(20000) for _ in range(40000)]
    tgt = list(src)
    for _ in range(30):
        p = rng.randrange(len(tgt))
        tgt[p:p + rng.randrange(4)] = [b"new %d\n" % p] * rng.randrange(3)
    assert linesift.blocks(b"".join(src), b"".join(tgt)) == model_blocks(src, tgt)


# ---- worked results ------------------------------------------------------------


@pytest.mark.parametrize("src, tgt, delta", [
    (b"", b"", b""),
    (b"abc\n", b"abc\n", b""),
    (b"abc", b"abc", b""),
    (b"", b"x\ny", frag(0, 0, b"x\ny")),
    (b"x\ny\n", b"", frag(0, 4)),
    (b"abc", b"abd", frag(0, 3, b"abd")),
    (b"x", b"x\ny", frag(0, 1, b"x\ny")),
    (b"x\n", b"x\ny\n", frag(2, 2, b"y\n")),
    (b"a\nb\nc\n", b"a\nB\nc\n", frag(2, 4, b"B\n")),
    # Text strings are compared in their UTF-8 encoding.
    ("é\nx\n", "é\ny\n", frag(3, 5, b"y\n")),
])
def test_delta_examples(src, tgt, delta):
    assert linesift.linesift(src, tgt) == delta


@pytest.mark.parametrize("src, tgt, expect", [
    (b"", b"", [(0, 0, 0, 0)]),
    (b"a\n", b"a\n", [(0, 1, 0, 1), (1, 1, 1, 1)]),
    # Line numbers count from the start of the whole texts: no prefix trim.
    (b"p\nq\nx\n", b"p\nq\ny\n", [(0, 2, 0, 2), (3, 3, 3, 3)]),
])
def test_blocks_examples(src, tgt, expect):
    assert linesift.blocks(src, tgt) == expect


def test_emptied_blocks_make_no_fragment():
    # Equal texts past the matcher's window end in an emptied block (see
    # test_linesift_engine.py): it must not become an empty fragment.
    t = b"".join(b"%d\n" % i for i in range(30001))
    assert linesift.linesift(t, t) == b""
    assert linesift.linesift(t, t + b"x\n") == frag(len(t), len(t), b"x\n")


def test_scattered_edits_in_a_million_lines():
    src = [b"line %d\n" % i for i in range(1, 1000001)]
    tgt = list(src)
    rng = random.Random(3)
    edits = sorted(rng.sample(range(1000000), 300))
    for p in edits:
        tgt[p] = b"edited %d\n" % p
    a, b = b"".join(src), b"".join(tgt)
    got = linesift.blocks(a, b)
    assert got[-1] == (1000000, 1000000, 1000000, 1000000)
    # Every line but the edited ones is matched, each with itself.
    matched = []
    for a1, a2, b1, b2 in got:
        assert a1 == b1 and a2 == b2
        matched += range(a1, a2)
    assert sorted(set(range(1000000)) - set(matched)) == edits
    delta = linesift.linesift(a, b)
    assert len(decode(delta)) == 300 and apply(a, delta) == b


# ---- fixws --------------------------------------------------------------------


def model_fixws(text, allws):
    out = bytearray()
    for x in text:
        if x in b" \t\r":
            if not allws and not (out and out[-1] == 32):
                out.append(32)
        elif x == 10 and not allws and out and out[-1] == 32:
            out[-1] = 10
        else:
            out.append(x)
    return bytes(out)


@pytest.mark.parametrize("text, allws, expect", [
    (b"a \t b \r\n", 0, b"a b\n"),
    (b"a \t b \r\n", 1, b"ab\n"),
    (b"a \t b \r\n", 255, b"ab\n"),
    (b"  a", 0, b" a"),
    (b" \t\n", 0, b"\n"),
    (b"\nx", 0, b"\nx"),
    (b"", 0, b""),
    (b"", 1, b""),
    (b"\x0b\x0c\x80 \xff", 1, b"\x0b\x0c\x80\xff"),
])
def test_fixws_examples(text, allws, expect):
    assert linesift.fixws(text, allws) == expect


@given(st.binary(max_size=60).map(lambda b: bytes(b" \t\r\na\x00"[c % 6] for c in b)),
       st.integers(0, 255))
def test_fixws_matches_its_rules(text, allws):
    assert linesift.fixws(text, allws) == model_fixws(text, allws)


# ---- interface -----------------------------------------------------------------


def test_which_texts_each_method_takes():
    # linesift reads str as UTF-8 beside bytes, never a buffer that can
    # change under it; blocks and fixws take bytes alone.
    assert linesift.linesift("a\nb\n", b"a\nc\n") == frag(2, 4, b"c\n")
    for call in (lambda: linesift.linesift(b"a", bytearray(b"a")),
                 lambda: linesift.linesift(memoryview(b"a"), b"a"),
                 lambda: linesift.blocks("a", b"a"),
                 lambda: linesift.blocks(b"a", memoryview(b"a")),
                 lambda: linesift.fixws("a", 0)):
        with pytest.raises(TypeError, match="linesift|fixws"):
            call()


def _run_child(code):
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


def test_engine_memory_failures_raise_memoryerror():
    # Under an address-space cap the record arrays (32 bytes per line) of
    # 8M-line texts cannot be had; every method must say so and go on.
    # Where the cap is not enforced (user-mode emulators ignore it) the test
    # says so and skips; test_faults.py fails the same allocations through
    # the fault seam of a QV_FAULTS build.
    out = _run_child("""
        import resource
        from quorvan.cext import linesift
        a = b"\\n" * 8_000_000
        b = b"x" + a  # nothing shared: no prefix to trim
        size = int(open("/proc/self/statm").read().split()[0]) * 4096
        resource.setrlimit(resource.RLIMIT_AS, (size + (150 << 20), resource.RLIM_INFINITY))
        try:
            bytearray(400 << 20)
        except MemoryError:
            pass
        else:
            raise SystemExit(print("no cap"))
        for f in (linesift.linesift, linesift.blocks):
            for _ in range(3):
                try:
                    f(a, b)
                except MemoryError:
                    pass
                else:
                    raise SystemExit("no MemoryError from " + f.__name__)
        assert linesift.linesift(b"x\\n", b"y\\n")
        print("ok")
    """)
    if out.strip() == "no cap":
        pytest.skip("RLIMIT_AS is not enforced here")
    assert out.strip() == "ok"


@pytest.mark.parametrize("method", ["blocks", "linesift", "fixws"])
def test_host_allocation_failures_raise_memoryerror(method):
    # Fail every host allocation from the k-th on: each call either raises
    # MemoryError or returns a whole result, never a list with a hole.
    testcapi = pytest.importorskip("_testcapi")
    if not hasattr(testcapi, "set_nomemory"):
        pytest.skip("needs _testcapi.set_nomemory")
    a = b"".join(b"%d\n" % i for i in range(1000))
    b = a.replace(b"7\n", b"x\n")
    args = (a, 1) if method == "fixws" else (a, b)
    expect = getattr(linesift, method)(*args)
    outcomes = set()
    for k in range(0, 400, 3):
        testcapi.set_nomemory(k, 0)
        try:
            got = getattr(linesift, method)(*args)
        except MemoryError:
            outcomes.add("MemoryError")
            continue
        finally:
            testcapi.remove_mem_hooks()
        assert got == expect
        outcomes.add("ok")
    assert "MemoryError" in outcomes
