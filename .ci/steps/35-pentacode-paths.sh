#!/usr/bin/env bash
# The whole test suite once more with pentacode's vector kernels switched
# off, so the portable path is tested on machines that would never pick it.
# (The main run already tests every vector path this CPU has: see
# tests/test_pentacode.py, test_this_file_passes_on_every_path.)
# Runs inside the CI venv, after the main run installed the package.
set -euo pipefail

QUORVAN_PENTACODE_ISA=scalar python -c \
    'from quorvan.cext import pentacode; assert pentacode._isa == "scalar", pentacode._isa'
QUORVAN_PENTACODE_ISA=scalar python -m pytest -q -p no:cacheprovider
