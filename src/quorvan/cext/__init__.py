"""Native core of the quorvan version-control tool.

Four extension modules, each imported on its own:

- ``quorvan.cext.linesift``: line diff of two texts as a binary delta or as
  matching blocks, and whitespace normalisation.
- ``quorvan.cext.deltafold``: applies a chain of binary deltas to a base text
  in one pass, and sizes a patched text from a delta alone.
- ``quorvan.cext.pentacode``: base-85 encoding over the RFC 1924 alphabet.
- ``quorvan.cext.hunkfix``: inner loops of a unified-diff reader.
"""
