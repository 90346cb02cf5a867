import base64
import os
import subprocess
import sys
from pathlib import Path

import pytest
from hypothesis import given, strategies as st

from quorvan.cext import pentacode
from testkit.reference import B85_CHAR as CHAR_MSG, B85_DIGITS
from testkit.reference import B85_SEQUENCE as SEQ_MSG, b85decode

NON_DIGITS = bytes(sorted(set(range(256)) - set(B85_DIGITS)))


def decode_error(text):
    """The message decoding `text` must fail with, or None if it decodes."""
    try:
        b85decode(text)
    except ValueError as e:
        return str(e)
    return None


@pytest.mark.parametrize("data, plain, padded", [
    (b"", b"", b""),
    (b"a", b"VE", b"VE_OC"),
    (b"abc", b"VPaz", b"VPazd"),
    (b"abcd", b"VPa!s", b"VPa!s"),
    (b"\0\0\0\0", b"00000", b"00000"),
    (b"\xff\xff\xff\xff", b"|NsC0", b"|NsC0"),
    (b"\xff", b"{{", b"{{R30"),
])
def test_encode_examples(data, plain, padded):
    assert pentacode.b85encode(data) == plain
    assert pentacode.b85encode(data, 0) == plain
    assert pentacode.b85encode(data, 1) == padded


@pytest.mark.parametrize("pad", [1, -1, 2, 2**31 - 1, -2**31, True])
def test_any_nonzero_pad_flag_pads(pad):
    assert pentacode.b85encode(b"abc", pad) == b"VPazd"


@pytest.mark.parametrize("text, out", [
    (b"", b""),
    (b"VPaz", b"abc"),
    (b"VPazd", b"abc\0"),
    (b"|NsC0", b"\xff" * 4),
    (b"00", b"\0"),
    (b"0", b""),
    # The completion of a short final group wraps modulo 2^32: the top
    # byte of 7224 * 614125 + 0xFFFFFF is 0x09.
    (b"~~", b"\x09"),
    (b"~~~", b"\x08x"),
    ("VPaz", b"abc"),
])
def test_decode_examples(text, out):
    assert pentacode.b85decode(text) == out


@pytest.mark.parametrize("text, message", [
    (b",", CHAR_MSG % 1),       # a lone final character is still checked
    (b"ab,de", CHAR_MSG % 2),
    (b"abcd,", CHAR_MSG % 5),   # fifth of a full group: position + 1
    (b"abcde,0", CHAR_MSG % 5),  # first of the final group
    (b"abcde0,", CHAR_MSG % 7),  # last character of the input
    (b"|NsC1", SEQ_MSG % 5),
    (b"|NsD0", SEQ_MSG % 5),
    (b"~~~~~", SEQ_MSG % 5),
    (b"00000|NsC1", SEQ_MSG % 10),
    (b"|NsC1,", SEQ_MSG % 5),   # the first error wins
    (b"\0", CHAR_MSG % 1),
    (b"0\x80000", CHAR_MSG % 1),
    ("0\u00e9", CHAR_MSG % 1),   # UTF-8 form: its first byte is 0xC3
])
def test_decode_errors(text, message):
    with pytest.raises(ValueError) as info:
        pentacode.b85decode(text)
    assert str(info.value) == message


def test_text_is_taken_in_utf8_form():
    assert pentacode.b85encode("\u00e9") == pentacode.b85encode(b"\xc3\xa9")


@given(st.binary(max_size=300))
def test_roundtrip(data):
    assert pentacode.b85decode(pentacode.b85encode(data)) == data
    padded = pentacode.b85decode(pentacode.b85encode(data, 1))
    assert padded == data + b"\0" * ((4 - len(data) % 4) % 4)


@given(st.binary(max_size=300), st.booleans())
def test_encode_agrees_with_base64(data, pad):
    assert pentacode.b85encode(data, pad) == base64.b85encode(data, pad)


@given(st.binary(max_size=300), st.booleans())
def test_decode_agrees_with_base64_on_valid_text(data, pad):
    text = base64.b85encode(data, pad)
    assert pentacode.b85decode(text) == base64.b85decode(text)


@given(st.binary(max_size=160), st.data())
def test_every_bad_character_position(data, draw):
    # Plant non-digits into valid text; each must be reported where the
    # rules say, whether it starts, ends or sits inside a group.
    text = bytearray(base64.b85encode(data, draw.draw(st.booleans())))
    if not text:
        text = bytearray(b"0")
    for _ in range(draw.draw(st.integers(1, 3))):
        pos = draw.draw(st.integers(0, len(text) - 1))
        text[pos] = draw.draw(st.sampled_from(NON_DIGITS))
    with pytest.raises(ValueError) as info:
        pentacode.b85decode(bytes(text))
    assert str(info.value) == decode_error(bytes(text))


@given(st.lists(st.sampled_from(B85_DIGITS + b",\0\xff"), max_size=150)
       .map(bytes))
def test_decode_fails_exactly_where_the_rules_say(text):
    # Arbitrary digit strings also reach the overflow test ('~' groups).
    expected = decode_error(text)
    if expected is None:
        out = pentacode.b85decode(text)
        assert len(out) == 4 * (len(text) // 5) + max(len(text) % 5 - 1, 0)
    else:
        with pytest.raises(ValueError) as info:
            pentacode.b85decode(text)
        assert str(info.value) == expected


PATHS = ["scalar", "avx2", "avx512"]
ROOT = Path(__file__).resolve().parents[1]
ISA_VARIABLE = "QUORVAN_PENTACODE_ISA"


def path_env(isa):
    return dict(os.environ, **{ISA_VARIABLE: isa})


@pytest.mark.parametrize("isa", PATHS)
def test_kernels_on_every_path(isa):
    # The module picks its kernels once, at import: each path gets a fresh
    # interpreter running the kernel checks (testkit/pentacode_paths.py).
    # The tests above run on whichever path this interpreter picked.
    run = subprocess.run(
        [sys.executable, "-m", "testkit.pentacode_paths"], cwd=ROOT,
        env=path_env(isa), capture_output=True, text=True)
    assert run.returncode == 0, run.stdout[-3000:] + run.stderr[-3000:]
    if run.stdout.strip() != isa:
        pytest.skip(f"this CPU cannot run the {isa} kernels")


def test_unknown_path_fails_the_import():
    # A misspelt cap must not quietly run the widest kernels.
    run = subprocess.run(
        [sys.executable, "-c", "from quorvan.cext import pentacode"],
        env=path_env("avx3"), capture_output=True, text=True)
    assert run.returncode != 0
    assert ("ImportError: QUORVAN_PENTACODE_ISA must be scalar, avx2 or "
            "avx512, not 'avx3'") in run.stderr


@pytest.mark.bigmem
def test_positions_beyond_int_range_are_exact():
    # A 32-bit position would wrap negative here.
    n = 2**31 + 5
    text = b"0" * n + b"!,"
    with pytest.raises(ValueError) as info:
        pentacode.b85decode(text)
    # The comma is the last character of the input: its position + 1.
    assert str(info.value) == CHAR_MSG % (n + 2)

