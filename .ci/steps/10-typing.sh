#!/usr/bin/env bash
# Typing, with the mypy pinned in .ci/pins.txt and pyproject's [tool.mypy]:
# the .pyi stubs must match the installed extension modules (every method,
# positional-only argument names, defaults, exception classes, "version");
# the package passes --strict, as for the oldest Python it supports; the
# shared test helpers (testkit/) check against the stubs.
# Runs inside the CI venv, after the test suite installed the package.
set -euo pipefail

python -m pip install --quiet -c .ci/pins.txt mypy
python -m mypy --version
# The stubs of the four extension modules (the package's own Python is
# checked from source below).
python -m mypy.stubtest quorvan.cext.linesift quorvan.cext.deltafold \
    quorvan.cext.pentacode quorvan.cext.hunkfix
python -m mypy --strict --python-version 3.9 src/quorvan/cext
python -m mypy --python-version 3.9 testkit
