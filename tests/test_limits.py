"""Size limits: texts near 2^32 bytes, deltas whose fields or length reach
2^31, and line counts near the engine's signed 32-bit limits.

The big cases are opt-in (marker bigmem, --run-bigmem). They avoid real
memory where they can: bytes(n) is zero-filled by calloc, so its pages stay
unmapped until written (reading them maps the shared zero page), and big
deltas are sparse files mapped read-only. Peak use is about 8.5 GiB (the
record array of a 2^28-line text)."""
import ctypes
import gc
import mmap
import struct

import pytest

from quorvan.cext import deltafold, linesift
from reference import frag
from test_linesift_engine import ETOOBIG, MAX_LINES, RecPtr, splitlines

TOO_LARGE = "^linesift inputs too large$"
UNDECODABLE = "^patch cannot be decoded$"
INVALID = "^invalid patch$"


@pytest.fixture(autouse=True)
def collect():
    yield
    gc.collect()  # give the big objects back before the next test


# -- header fields of 2^31 and more: small deltas, always run --------------

@pytest.mark.parametrize("delta, error", [
    (frag(2**31, 2**31), INVALID),              # start reads as -2^31
    (frag(0, 2**31), UNDECODABLE),               # end reads negative
    (frag(0, 2**32 - 1), UNDECODABLE),
    (frag(0, 0, length=2**31), UNDECODABLE),      # len reads negative
    (frag(0, 0, length=2**31 - 1), UNDECODABLE),  # data runs past the end
    (frag(2**31 - 1, 2**31 - 1), INVALID),       # past the (short) base
], ids=["start", "end", "end-max", "len", "len-max", "start-max"])
def test_fields_of_2_31_and_more(delta, error):
    with pytest.raises(deltafold.deltafoldError, match=error):
        deltafold.patches(b"base\n", [delta])
    # The size-only reading takes the fields unsigned; only framing and
    # start <= end count there.
    if struct.unpack(">I", delta[8:12])[0] + 12 == len(delta):
        start, end = struct.unpack(">II", delta[:8])
        assert deltafold.patchedsize(5, delta) == 5 + start - end


def test_fold_of_deltas_with_extreme_fields():
    # Valid one by one only against huge texts; folded against a small base
    # they must be refused, never overflow.
    deltas = [frag(2**31 - 1, 2**31 - 1, b"x"), frag(0, 0, b"y" * 5),
              frag(2**31 - 2, 2**31 - 1, b"z")]
    with pytest.raises(deltafold.deltafoldError, match=INVALID):
        deltafold.patches(b"", deltas)


def test_patchedsize_sums_past_64_bits_are_refused():
    # A signed 64-bit sum would wrap here; the result is refused instead.
    with pytest.raises(OverflowError):
        deltafold.patchedsize(2**63 - 1, frag(0, 0, b"x"))
    with pytest.raises(OverflowError):
        deltafold.patchedsize(-2**63, frag(0, 5))
    assert deltafold.patchedsize(2**63 - 2, frag(0, 0, b"x")) == 2**63 - 1
    assert deltafold.patchedsize(-(2**63), frag(0, 0, b"x")) == -(2**63) + 1


def test_chain_past_31_bits_is_refused_not_wrapped():
    # A valid chain whose middle text is 2^31 + 100 bytes long: 32-bit
    # offsets cannot describe it, so it is refused before any output is
    # made (bytes(n) is zero pages the call never touches).
    big = 2**31 - 1
    a = frag(0, 0, b"y" * 100) + frag(big, big, b"z")
    with pytest.raises(deltafold.deltafoldError, match=INVALID):
        deltafold.patches(bytes(big), [a, frag(big, big)])


@pytest.mark.bigmem
def test_chain_near_31_bits_folds_exactly():
    big = 2**31 - 1
    base = bytearray(big)
    base[-12:] = b"abcdefghijkl"
    out = deltafold.patches(base, [frag(big - 10, big, b"12345"),
                                   frag(big - 8, big - 5, b"Q")])
    assert len(out) == big - 7
    assert out[-5:] == b"ab12Q"


# -- texts of 2^32 bytes ----------------------------------------------------

@pytest.mark.bigmem
@pytest.mark.parametrize("fill", [b"\0", b"\n"], ids=["one-line", "lines"])
@pytest.mark.parametrize("which", ["source", "target"])
def test_text_of_2_32_bytes_is_refused(which, fill):
    # Refused by size before any line is counted, however many it holds.
    big = bytes(2**32) if fill == b"\0" else fill * 2**32
    args = (big, b"x\n") if which == "source" else (b"x\n", big)
    with pytest.raises(ValueError, match=TOO_LARGE):
        linesift.linesift(*args)


@pytest.mark.bigmem
def test_text_of_2_32_minus_1_bytes_is_accepted():
    big = bytes(2**32 - 1)  # one line without a line feed
    delta = linesift.linesift(big, b"x\n")
    assert delta == frag(0, 2**32 - 1, b"x\n")
    # Fields of 2^31 or more: the applying reader refuses what the size-only
    # reading accepts.
    assert deltafold.patchedsize(len(big), delta) == 2
    with pytest.raises(deltafold.deltafoldError, match=UNDECODABLE):
        deltafold.patches(big, [delta])
    assert linesift.linesift(big, big) == b""


# -- deltas of 2^31 bytes ---------------------------------------------------

def sparse_delta(tmp_path, size, header):
    """A read-only mapping of a sparse file: header, then zero bytes."""
    path = tmp_path / "delta"
    with open(path, "wb") as f:
        f.write(header)
        f.truncate(size)
    with open(path, "rb") as f:
        return mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)


@pytest.mark.bigmem
def test_delta_of_2_31_bytes_is_refused(tmp_path):
    m = sparse_delta(tmp_path, 2**31, frag(0, 0, length=2**31 - 12))
    try:
        with pytest.raises(deltafold.deltafoldError, match=UNDECODABLE):
            deltafold.patches(b"", [m])
    finally:
        m.close()


@pytest.mark.bigmem
def test_delta_of_2_31_minus_1_bytes_applies(tmp_path):
    n = 2**31 - 1 - 12
    m = sparse_delta(tmp_path, 2**31 - 1, frag(0, 0, length=n))
    try:
        out = deltafold.patches(b"head\n", [m])
    finally:
        m.close()
    assert len(out) == n + 5 and out.endswith(b"head\n")
    assert out.count(0) == n


@pytest.mark.bigmem
def test_zero_filled_delta_longer_than_2_31_bytes():
    # 2^31 + 4 bytes of zeros: (2^31 + 4) / 12 no-op fragments.
    delta = bytes(2**31 + 4)
    # The size-only reading keeps its position in 64 bits.
    assert deltafold.patchedsize(7, delta) == 7
    # The decoder's position is a 32-bit count: it refuses.
    with pytest.raises(deltafold.deltafoldError, match=UNDECODABLE):
        deltafold.patches(b"1234567", [delta])


# -- line counts near 2^31 and 2^28 -----------------------------------------

@pytest.mark.bigmem
def test_text_of_2_31_minus_1_lines_is_refused():
    lines = b"\n" * (2**31 - 1)
    with pytest.raises(ValueError, match=TOO_LARGE):
        linesift.linesift(b"", lines)
    with pytest.raises(ValueError, match=TOO_LARGE):
        linesift.linesift(lines, b"")
    with pytest.raises(ValueError, match=TOO_LARGE):
        linesift.blocks(lines, b"x\n")


@pytest.mark.bigmem
def test_text_of_2_32_minus_1_lines_is_refused():
    # One byte under the size limit, but the line count is twice what the
    # engine numbers: refused just the same, never an overflow.
    with pytest.raises(ValueError, match=TOO_LARGE):
        linesift.linesift(b"\n" * (2**32 - 1), b"")


@pytest.mark.bigmem
def test_engine_split_refuses_too_many_lines():
    # The engine's own check, called directly: 2^31 - 1 lines, one more
    # than line numbers allow, written into an anonymous mapping a MiB at
    # a time.
    n = MAX_LINES + 1
    m = mmap.mmap(-1, n)
    m.write(b"\n" * (1 << 20))
    chunk = m[:1 << 20]
    for off in range(1 << 20, n - (1 << 20) + 1, 1 << 20):
        m[off:off + (1 << 20)] = chunk
    m[n - (n % (1 << 20)):] = b"\n" * (n % (1 << 20))
    addr = ctypes.addressof(ctypes.c_char.from_buffer(m))
    out = RecPtr()
    assert splitlines(ctypes.cast(addr, ctypes.c_char_p), n,
                      ctypes.byref(out)) == ETOOBIG
    assert not out
    del addr


def refused_by_overcommit(request):
    """True when the kernel's heuristic overcommit refuses one allocation of
    request bytes outright: more than all memory and swap together."""
    try:
        with open("/proc/sys/vm/overcommit_memory") as f:
            if f.read().strip() not in ("0", "2"):
                return False
        with open("/proc/meminfo") as f:
            kib = {ln.split(":")[0]: int(ln.split()[1]) for ln in f}
    except (OSError, ValueError, IndexError):
        return False
    return request > (kib.get("MemTotal", 0) + kib.get("SwapTotal", 0)) * 1024


# The working memory of blocks for 2^31 - 2 source lines: 12 bytes a line.
MOST_LINES_REQUEST = 12 * (2**31 - 2)


@pytest.mark.bigmem
@pytest.mark.skipif(not refused_by_overcommit(MOST_LINES_REQUEST),
                    reason="a 24 GiB request might be granted and touched")
def test_most_lines_the_engine_counts_fail_cleanly():
    # 2^31 - 2 lines still count, but their working memory cannot be had.
    lines = b"\n" * (2**31 - 2)
    with pytest.raises(MemoryError):
        linesift.blocks(lines, b"")


@pytest.mark.bigmem
def test_target_of_2_28_lines_is_refused():
    # The matching engine's class table would no longer fit 32 bits.
    with pytest.raises(ValueError, match=TOO_LARGE):
        linesift.linesift(b"a\n", b"\n" * 2**28)
