"""Native core of the quorvan version-control tool.

Four extension modules, each imported on its own:

- ``quorvan.cext.linesift``: line diff of two texts as a binary delta or as
  matching blocks, and whitespace normalisation.
- ``quorvan.cext.deltafold``: applies a chain of binary deltas to a base text
  in one pass, and sizes a patched text from a delta alone.
- ``quorvan.cext.pentacode``: base-85 encoding over the RFC 1924 alphabet.
- ``quorvan.cext.hunkfix``: inner loops of a unified-diff reader.
"""

# The version lives only in the package metadata (pyproject.toml). It is
# looked up on first use: importing importlib.metadata costs more than
# loading all four modules, and every submodule import runs this file.


def __getattr__(name: str) -> str:
    if name != "__version__":
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    from importlib.metadata import PackageNotFoundError, version
    try:
        value = version("quorvan-cext")
    except PackageNotFoundError:  # imported from a tree never installed
        value = "0+unknown"
    globals()["__version__"] = value
    return value
