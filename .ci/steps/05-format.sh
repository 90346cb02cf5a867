#!/usr/bin/env bash
# Formatting: every C++ source and header follows .clang-format, checked by
# the clang-format pinned in .ci/pins.txt (PyPI's build, in the CI venv).
set -euo pipefail

python -m pip install --quiet -c .ci/pins.txt clang-format
clang_format="$(dirname "$(command -v python)")/clang-format"
"$clang_format" --version
git ls-files -z 'src/*.cpp' 'src/*.h' 'fuzz/*.cpp' 'fuzz/*.h' |
    xargs -0 "$clang_format" --dry-run --Werror
