"""The patch engine called directly through its exported C names."""
import ctypes

import pytest
from hypothesis import given
from hypothesis import strategies as st

from quorvan.cext import deltafold
from testkit.engines import DELTAFOLD as lib
from testkit.engines import (FETCH, PYDELTAFOLD as pylib, FragmentList, addr,
                             decode, fold, fragments, make_list)
from testkit.reference import apply_frags, frag


# -- decoding ---------------------------------------------------------------

@pytest.mark.parametrize("k", [0, 1, 7])
def test_headers_only_decode_to_k_fragments(k):
    rc, lst = decode(frag(3, 3) * k)
    assert rc == 0
    assert fragments(lst) == [(3, 3, b"")] * k
    lib.deltafold_lfree(lst)


@pytest.mark.parametrize("delta,rc", [
    (b"\0" * 11, -2), (frag(0, 1, length=1), -2), (frag(2, 1, length=0), -2),
    (frag(0, 0) + frag(2, 1, length=0), -2), (frag(0, 0, length=2**31), -2),
    (frag(0xFFFFFFFF, 5, length=0), 0),  # negative start decodes; sizing refuses it
])
def test_decode_codes_leave_out_untouched_on_failure(delta, rc):
    sentinel = FragmentList()
    out = ctypes.pointer(sentinel)
    assert lib.deltafold_decode(delta, len(delta), ctypes.byref(out)) == rc
    if rc:
        assert addr(out) == ctypes.addressof(sentinel)
    else:
        assert lib.deltafold_calcsize(10, out) == -1
        lib.deltafold_lfree(out)


def test_replacement_bytes_are_borrowed_not_copied():
    buf = ctypes.create_string_buffer(frag(0, 0, b"abc"), 15)
    rc, lst = decode(buf)
    assert lst.contents.head[0].data == ctypes.addressof(buf) + 12
    lib.deltafold_lfree(lst)


def test_lfree_accepts_null():
    lib.deltafold_lfree(None)


# -- folding ----------------------------------------------------------------

@pytest.mark.parametrize("a,b,want", [
    # A split and a trim: A replaces 1..3 by XY, B inserts Q at 0 and
    # replaces its bytes 2..4 by ZZZ.
    (frag(1, 3, b"XY"), frag(0, 0, b"Q") + frag(2, 4, b"ZZZ"),
     [(0, 0, b"Q"), (1, 2, b"X"), (2, 4, b"ZZZ")]),
    # A deletion inside an insertion leaves zero-width fragments.
    (frag(2, 2, b"abc"), frag(3, 4),
     [(2, 2, b"a"), (2, 2, b""), (2, 2, b"c")]),
    (frag(1, 3, b"XY"), b"", [(1, 3, b"XY")]),
    (b"", frag(1, 3, b"XY"), [(1, 3, b"XY")]),
    (b"", b"", []),
])
def test_worked_fold_examples(a, b, want):
    res, calls = fold([a, b])
    assert calls == [0, 1]
    assert fragments(res) == want
    lib.deltafold_lfree(res)


def test_one_item_is_returned_unchanged():
    rc, lst = decode(frag(1, 2, b"x"))
    res = lib.deltafold_fold(None, FETCH(lambda _, pos: addr(lst)), 5, 6)
    assert addr(res) == addr(lst)
    lib.deltafold_lfree(res)


@pytest.mark.parametrize("n", [1, 2, 3, 5, 8, 13, 17])
@pytest.mark.parametrize("fail", [(), (0,), ("last",), ("all",)])
def test_every_position_is_fetched_once_in_order(n, fail):
    if fail == ("last",):
        fail = (n - 1,)
    elif fail == ("all",):
        fail = tuple(range(n))
    deltas = [frag(0, 0, b"x")] * n  # fragments point into these
    res, calls = fold(deltas, fail)
    assert calls == list(range(n))
    assert (res is None) == bool(fail)
    if res is not None:
        assert fragments(res) == [(0, 0, b"x")] * n
        lib.deltafold_lfree(res)


def test_crossed_fragment_is_refused_by_size_and_apply():
    # The first delta is out of order; the fold of the pair holds a fragment
    # with start > end.
    res, _ = fold([frag(4, 4, b"x") + frag(2, 3, b"xx"), frag(4, 5)])
    assert any(s > e for s, e, _ in fragments(res))
    for srclen in (8, 100):
        assert lib.deltafold_calcsize(srclen, res) == -1
        # apply is not told the output size: a zero-size buffer shows it
        # stops before writing anything it cannot account for.
        assert lib.deltafold_apply(ctypes.create_string_buffer(0),
                                   b"01234567", 8, res) == -1
    lib.deltafold_lfree(res)


def size_rule(m, frags):
    """The patched length of a source of m bytes, or -1 where the list does
    not fit it: fragments ascend without overlap and end within the source."""
    last = total = 0
    for start, end, data in frags:
        if start < last or end > m:
            return -1
        total += start - last + len(data)
        last = end
    return total + m - last


@given(st.integers(0, 12), st.lists(
    st.tuples(st.integers(0, 14), st.integers(0, 14), st.binary(max_size=3)),
    max_size=4))
def test_size_and_apply_judge_every_list_alike(m, raw):
    # Each operation must refuse on its own what does not fit the source:
    # the module always sizes before it applies, so a sizing slip (an end
    # one past the source, say) would otherwise go unseen.
    frags = [(min(s, e), max(s, e), d) for s, e, d in raw]
    delta = b"".join(frag(*f) for f in frags)
    rc, lst = decode(delta)
    assert rc == 0
    src = bytes(range(65, 65 + m))
    want = size_rule(m, frags)
    assert lib.deltafold_calcsize(m, lst) == want
    # Room for whatever is written before a refused fragment, and a guard.
    room = m + len(delta)
    out = ctypes.create_string_buffer(b"\xee" * (room + 8), room + 8)
    assert lib.deltafold_apply(out, src, m, lst) == (0 if want >= 0 else -1)
    if want >= 0:
        assert out.raw[:want] == apply_frags(src, frags)
        assert out.raw[want:] == b"\xee" * (room + 8 - want)
    lib.deltafold_lfree(lst)


@pytest.mark.parametrize("frags", [
    [(3, 1, 0)],  # start > end
    [(0, 1, -5)],  # negative len
    [(0, 0, 2**31 - 1)] * 3,  # each fine, sums checked in 64 bits
])
def test_size_and_apply_refuse_unsound_lists(frags):
    lst, keep = make_list(frags)
    srclen = 2**63 - 1 if frags[0][2] > 0 else 10
    assert lib.deltafold_calcsize(srclen, lst) == -1
    if srclen == 10:
        assert lib.deltafold_apply(ctypes.create_string_buffer(0),
                                   b"0123456789", 10, lst) == -1


def test_positions_past_31_bits_poison_the_fold():
    # A inserts 100 bytes at 0 and has a fragment at 2^31 - 1 of its source,
    # which sits at 2^31 + 99 of its result: 32-bit offsets would wrap
    # there, so the fold hands back a list the size step refuses.
    big = 2**31 - 1
    a = frag(0, 0, b"y" * 100) + frag(big, big, b"z")
    b = frag(big, big)
    res, _ = fold([a, b])
    assert lib.deltafold_calcsize(big, res) == -1
    assert lib.deltafold_calcsize(2**40, res) == -1
    # ... and stays refused when folded again, whichever side it is on.
    for chain in ([a, b, frag(0, 5)], [frag(0, 0, b"w"), a, b]):
        res2, _ = fold(chain)
        assert lib.deltafold_calcsize(2**40, res2) == -1
        lib.deltafold_lfree(res2)
    lib.deltafold_lfree(res)


def test_large_but_representable_positions_fold_exactly():
    big = 2**31 - 1
    a = frag(big - 10, big, b"12345")  # result is 2^31 - 6 bytes long
    b = frag(big - 8, big - 5, b"Q")
    res, _ = fold([a, b])
    assert fragments(res) == [(big - 10, big - 8, b"12"), (big - 8, big, b"Q")]
    assert lib.deltafold_calcsize(big, res) == big - 10 + 3
    lib.deltafold_lfree(res)


# -- the exported fetch callback --------------------------------------------


@pytest.mark.parametrize("items,pos,exc", [
    ([b"\0" * 5], 0, deltafold.deltafoldError),
    ([42], 0, TypeError),
    ([b""], 1, IndexError),
])
def test_cpygetitem_raises(items, pos, exc):
    with pytest.raises(exc):
        pylib.cpygetitem(items, pos)


def test_fold_with_cpygetitem_over_a_host_list():
    base = b"0123456"
    items = [frag(1, 3, b"XY"), frag(0, 0, b"Q") + frag(2, 4, b"ZZZ")]
    res = pylib.deltafold_fold(
        items, ctypes.cast(pylib.cpygetitem, ctypes.c_void_p), 0, 2)
    size = lib.deltafold_calcsize(len(base), res)
    out = ctypes.create_string_buffer(size)
    assert lib.deltafold_apply(out, base, len(base), res) == 0
    assert out.raw == b"Q0XZZZ456"
    lib.deltafold_lfree(res)
