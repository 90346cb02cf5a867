"""Pentacode Data Encoding"""

version: int
_isa: str  # the kernels in use: "scalar", "avx2" or "avx512"

def b85encode(text: bytes | str, pad: int = 0, /) -> bytes:
    """Encode text in pentacode.

    If the second parameter is true, pad the result to a multiple of five
    characters.
    """

def b85decode(text: bytes | str, /) -> bytes:
    """Decode pentacode text.

    Raises ValueError on a character outside the alphabet or a group of five
    digits above 0xFFFFFFFF.
    """
