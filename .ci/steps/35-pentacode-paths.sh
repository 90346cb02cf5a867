#!/usr/bin/env bash
# The portable base-85 kernels, which this CPU would never pick: the main run
# already ran the kernel checks on every path the CPU has
# (tests/test_pentacode.py, test_kernels_on_every_path); here the module's own
# tests, properties included, run once more with the vector kernels off.
# Runs inside the CI venv, after the main run installed the package.
set -euo pipefail

QUORVAN_PENTACODE_ISA=scalar python -c \
    'from quorvan.cext import pentacode; assert pentacode._isa == "scalar", pentacode._isa'
QUORVAN_PENTACODE_ISA=scalar python -m pytest -q -p no:cacheprovider \
    tests/test_pentacode.py
