#!/usr/bin/env bash
# The package as users get it. Builds the sdist and the repaired wheels
# (tools/build_wheels.sh: auditwheel show, abi3audit and twine check
# included; the aarch64 wheel beside the x86-64 tests) and checks what they
# hold. Then, for every supported Python (tools/pythons.sh),
# installs its wheel into a clean venv, picked by pip from dist/ alone, and
# runs the test suite and the demo from a copy of the tests outside the
# checkout, after making sure that quorvan.cext is the installed one; the
# stable-ABI wheel gets the same on the oldest CPython it serves. Last,
# unpacks the sdist alone, builds it and tests it the same way. On the
# CPython of CI's main run these are smoke runs.
set -euo pipefail

t0=$SECONDS
QV_AARCH64=0 bash tools/build_wheels.sh
echo "(sdist and x86-64 wheels built and checked in $((SECONDS - t0)) s)"
# The aarch64 wheel builds under emulation, mostly one process: beside the
# suites below, one core each. Step 70 tests it.
t_arm=$SECONDS
bash tools/build_wheels.sh --aarch64-only >build/wheels-aarch64-step.log 2>&1 &
arm_pid=$!

scratch=$(mktemp -d)
# A failure below still waits for the aarch64 build: nothing outlives the step.
trap 'wait; rm -rf "$scratch"' EXIT

# Everything the tests may read (helper modules, fuzz inputs, pytest's
# settings in pyproject.toml) except the package's sources.
tests=$scratch/tests-outside
mkdir -p "$tests"
tar -C . --exclude=./src --exclude=./build --exclude=./dist \
    --exclude='./.venv*' --exclude=./.git -cf - . | tar -C "$tests" -xf -

# run_installed PYTHON DIR: the suite and the demo, run from DIR, against the
# package installed in PYTHON's site-packages. The CPython that CI's main run
# already took the whole suite through gets a smoke run (the package's own
# checks and the demo), so the full suite runs once per interpreter.
smoke=(tests/test_package.py tests/test_fuzz_replay.py)
ci_ver=$(python -c 'import sys; print("%d.%d" % sys.version_info[:2])')
run_installed() {
    local ver
    ver=$("$1" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
    if [ "$ver" = "$ci_ver" ]; then
        echo "(CPython $ver: smoke run, the main run had the whole suite)"
        sh tools/test_installed.sh "$1" "$2" "${smoke[@]}"
    else
        sh tools/test_installed.sh "$1" "$2"
    fi
}

# test_wheel PYTHON [WHEEL]: a clean venv of PYTHON gets the wheel that pip
# picks from dist/ alone (or WHEEL, which pip must still find fit for this
# Python), then the suite and the demo run against it.
test_wheel() {
    local exe=$1 ver venv t=$SECONDS
    ver=$("$exe" -c 'import sys; print("%d.%d.%d" % sys.version_info[:3])')
    venv=$PWD/build/venv-wheel-$ver
    rm -rf "$venv"
    "$exe" -m venv "$venv"
    "$venv/bin/python" -m pip install --quiet --no-index --find-links dist \
        --only-binary :all: "${2:-quorvan-cext}"
    "$venv/bin/python" -m pip install --quiet --find-links dist \
        --only-binary quorvan-cext 'quorvan-cext[test]'
    echo "-- CPython $ver:" $(sed -n "s/^Tag: //p" \
        "$venv"/lib/python*/site-packages/quorvan_cext-*.dist-info/WHEEL)
    run_installed "$venv/bin/python" "$tests"
    tested+=("$ver")
    echo "(CPython $ver: $((SECONDS - t)) s)"
}

mapfile -t pythons < <(bash tools/pythons.sh)
tested=()
abi3_py=""
for exe in "${pythons[@]}"; do
    test_wheel "$exe"
    if [ -z "$abi3_py" ] &&
        "$exe" -c 'import sys; sys.exit(sys.version_info < (3, 11))'; then
        abi3_py=$exe
    fi
done
# The stable-ABI wheel, which pip takes only where no wheel of a version's
# own exists, on the oldest CPython it serves (the newer ones: step 70).
if [ -n "$abi3_py" ]; then
    test_wheel "$abi3_py" "$(ls dist/*-abi3-*"$(uname -m)".whl)"
fi

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

echo "-- aarch64 wheel (built beside the suites)"
wait "$arm_pid" || { cat build/wheels-aarch64-step.log; exit 1; }
cat build/wheels-aarch64-step.log
echo "(aarch64 wheel done $((SECONDS - t_arm)) s after it started)"
build/venv-wheeltools/bin/python tools/check_dist.py dist/*

echo "Wheels tested on CPython ${tested[*]}; step took $((SECONDS - t0)) s"
