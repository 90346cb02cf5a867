#!/usr/bin/env bash
# The package as users get it. Builds the sdist and the repaired wheels
# (tools/build_wheels.sh: auditwheel show and twine check included) and
# checks what they hold. Then, for every supported Python (tools/pythons.sh),
# installs its wheel into a clean venv, picked by pip from dist/ alone, and
# runs the test suite and the demo from a copy of the tests outside the
# checkout, after making sure that quorvan.cext is the installed one. Last,
# unpacks the sdist alone, builds it and tests it the same way.
set -euo pipefail

t0=$SECONDS
bash tools/build_wheels.sh
build/venv-wheeltools/bin/python tools/check_dist.py dist/*
echo "(artefacts built and checked in $((SECONDS - t0)) s)"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# Everything the tests may read (helper modules, fuzz inputs, pytest's
# settings in pyproject.toml) except the package's sources.
tests=$scratch/tests-outside
mkdir -p "$tests"
tar -C . --exclude=./src --exclude=./build --exclude=./dist \
    --exclude='./.venv*' --exclude=./.git -cf - . | tar -C "$tests" -xf -

# run_installed PYTHON DIR: the suite and the demo, run from DIR, against the
# package installed in PYTHON's site-packages.
run_installed() {
    sh tools/test_installed.sh "$1" "$2"
}

mapfile -t pythons < <(bash tools/pythons.sh)
tested=()
for exe in "${pythons[@]}"; do
    ver=$("$exe" -c 'import sys; print("%d.%d.%d" % sys.version_info[:3])')
    echo "-- installed wheel on CPython $ver"
    t=$SECONDS
    venv=$PWD/build/venv-wheel-$ver
    rm -rf "$venv"
    "$exe" -m venv "$venv"
    # The wheel from dist/ only: pip itself must find it fit for this Python.
    "$venv/bin/python" -m pip install --quiet --no-index --find-links dist \
        --only-binary :all: quorvan-cext
    "$venv/bin/python" -m pip install --quiet --find-links dist \
        --only-binary quorvan-cext 'quorvan-cext[test]'
    run_installed "$venv/bin/python" "$tests"
    tested+=("$ver")
    echo "(CPython $ver: $((SECONDS - t)) s)"
done

echo "-- the sdist alone"
t=$SECONDS
unpacked=$scratch/sdist
mkdir -p "$unpacked"
tar -xzf dist/*.tar.gz -C "$unpacked"
root=$(echo "$unpacked"/quorvan_cext-*)
python -m venv "$unpacked/venv"
"$unpacked/venv/bin/python" -m pip install --quiet "$root[test]"
run_installed "$unpacked/venv/bin/python" "$root"
echo "(sdist: $((SECONDS - t)) s)"

echo "Wheels tested on CPython ${tested[*]}; step took $((SECONDS - t0)) s"
