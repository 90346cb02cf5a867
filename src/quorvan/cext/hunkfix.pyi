"""Efficient diff parsing"""

from typing import Protocol

version: int

class hunkfixError(Exception):
    """Raised for a hunk that cannot be read or fixed: input that ends
    before the line counts are met, a no-newline marker right after another,
    a last line to fix that is missing or too short, an empty side list, an
    old-side line without a prefix."""

class _LineReader(Protocol):
    def readline(self) -> bytes: ...

def addlines(file: _LineReader, hunk: list[bytes], oldcount: int,
             newcount: int, old: list[bytes], new: list[bytes], /) -> int:
    """add lines to a hunk

    Returns 0. On failure the lists hold every line read before it, each
    in all of its lists, and nothing of the line that failed.
    """

def fix_newline(hunk: list[bytes], old: list[bytes], new: list[bytes],
                /) -> int:
    """fixup newline counters

    Returns 0, or raises and leaves the three lists unchanged.
    """

def testhunk(old: list[bytes], lines: list[bytes], start: int, /) -> int:
    """test lines in a hunk

    Returns 0 when old matches lines from start on, -1 otherwise. Lines
    compare at their full length, zero bytes included.
    """
