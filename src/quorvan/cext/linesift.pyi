"""Efficient binary diff."""
from typing import List, Tuple, Union

version: int

def linesift(source: Union[str, bytes], target: Union[str, bytes], /) -> bytes:
    """calculate a binary diff

    Raises ValueError ("linesift inputs too large") for a text of 2**32 bytes
    or more, or more lines than the engine can number, and MemoryError when
    the engine cannot get memory.
    """

def blocks(source: bytes, target: bytes, /) -> List[Tuple[int, int, int, int]]:
    """find a list of matching lines

    Raises ValueError for more lines than the engine can number and
    MemoryError when the engine cannot get memory.
    """

def fixws(text: bytes, allws: int, /) -> bytes:
    """normalize diff whitespaces"""
