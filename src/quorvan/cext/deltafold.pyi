"""Efficient binary patching."""

from typing import TypeVar

from typing_extensions import Buffer

_T = TypeVar("_T")
# A list is invariant in its item type: a bound type variable lets callers
# pass list[bytes], list[memoryview] and the like, not only list[Buffer].
_B = TypeVar("_B", bound=Buffer)

version: int

class deltafoldError(Exception): ...

# An empty list returns base itself, whatever it is; otherwise base must
# offer a byte buffer and the result is a new bytes object.
def patches(base: _T, deltas: list[_B], /) -> bytes | _T:
    """apply a series of patches
    """

def patchedsize(baselen: int, delta: bytes | str, /) -> int:
    """calculed patched size
    """
