#!/usr/bin/env bash
# Prints the interpreters that wheels are built with and tested on, one path
# a line, oldest first: pyenv's newest CPython of each version from 3.9 up,
# or else the python3 on PATH. build_wheels.sh builds with those before 3.11
# and with the oldest 3.11+ (the stable-ABI wheel); CI's wheel step tests on
# all. Free-threaded builds are left out: the modules rely on the
# interpreter lock.
set -euo pipefail

# Prints X.Y for a usable interpreter, nothing otherwise.
minor() {
    "$1" -c 'import platform, sys, sysconfig
if (platform.python_implementation() == "CPython"
        and sys.version_info >= (3, 9)
        and not sysconfig.get_config_var("Py_GIL_DISABLED")):
    print("%d.%d" % sys.version_info[:2])' 2>/dev/null || true
}

root=${PYENV_ROOT:-$HOME/.pyenv}
declare -A newest=()
order=()
for v in $(ls "$root/versions" 2>/dev/null | sort -V); do
    exe=$root/versions/$v/bin/python3
    [ -x "$exe" ] || continue
    xy=$(minor "$exe")
    [ -n "$xy" ] || continue
    [ -n "${newest[$xy]:-}" ] || order+=("$xy")
    newest[$xy]=$exe
done
for xy in "${order[@]}"; do
    echo "${newest[$xy]}"
done
if [ ${#order[@]} -eq 0 ]; then
    exe=$(command -v python3 || true)
    if [ -z "$exe" ] || [ -z "$(minor "$exe")" ]; then
        echo "no CPython 3.9 or newer found" >&2
        exit 1
    fi
    echo "$exe"
fi
