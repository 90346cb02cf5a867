#!/usr/bin/env bash
# Typing: the .pyi stubs must match the installed extension modules (every
# method, positional-only argument names, defaults, exception classes,
# "version"), and the package's Python files and the shared reference of
# the tests must type-check against them.
# Runs inside the CI venv, after the test suite installed the package.
set -euo pipefail

python -m pip install --quiet 'mypy>=1.10'
python -m mypy.stubtest quorvan.cext
python -m mypy src/quorvan/cext testkit
