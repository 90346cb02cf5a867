#!/usr/bin/env bash
# Python lint with the ruff pinned in .ci/pins.txt; the rules (faults, not
# style) are pyproject's [tool.ruff].
set -euo pipefail

python -m pip install --quiet -c .ci/pins.txt ruff
python -m ruff --version
python -m ruff check src/quorvan/cext tests testkit benchmarks tools fuzz
