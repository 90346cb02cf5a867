#!/usr/bin/env bash
# Builds the package and runs the test suite on every CPython from 3.9 up
# that the machine has (pyenv's versions), each in a venv of its own with the
# test extras from the package index. Versions not installed are skipped;
# the versions tested are printed at the end (the README lists them).
set -euo pipefail

root=${PYENV_ROOT:-$HOME/.pyenv}
tested=()
versions=$(ls "$root/versions" 2>/dev/null | sort -V || true)
for v in $versions; do
    exe=$root/versions/$v/bin/python3
    [ -x "$exe" ] || continue
    ver=$("$exe" -c 'import platform, sys
ok = platform.python_implementation() == "CPython" and sys.version_info >= (3, 9)
print("%d.%d.%d" % sys.version_info[:3] if ok else "")' 2>/dev/null) || continue
    [ -n "$ver" ] || continue
    echo "-- CPython $ver"
    venv=build/venv-py$ver
    rm -rf "$venv"
    "$exe" -m venv "$venv"
    "$venv/bin/python" -m pip install --quiet --upgrade pip
    "$venv/bin/python" -m pip install --quiet '.[test]'
    "$venv/bin/python" -m pytest -q -p no:cacheprovider
    tested+=("$ver")
done

if [ ${#tested[@]} -eq 0 ]; then
    echo "no CPython 3.9 or newer under $root/versions: only the CI's own" \
        "interpreter was tested (by the main run)"
    exit 0
fi
echo "Tested CPython versions: ${tested[*]}"
