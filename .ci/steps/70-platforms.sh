#!/usr/bin/env bash
# The wheels of dist/ where this host cannot run them, in two Debian chroots
# (tools/chroot.sh; made once per run under build/):
#  - sid, x86-64: CPython 3.14 and 3.15 each install the cp311-abi3 wheel
#    and run the whole suite and the demo; then the sdist is built from
#    source on 3.15 with sid's newer g++, both as the stable-ABI build and
#    as the build for 3.15 alone, and every compiler warning fails the step
#    (the Python headers are system headers: only our code warns);
#  - bookworm, aarch64 under qemu-user: CPython 3.11 installs the aarch64
#    wheel and runs the whole suite and the demo.
# Wheels come from dist/ alone (pip install --no-index --only-binary :all:),
# tests run from a copy outside the source tree, and neither chroot has GNU
# patch or git, so the suite's branches without those peers run here. The
# two chroots run side by side (QV_SERIAL=1: one after the other); their
# logs are printed whole.
set -euo pipefail
cd "$(dirname "$0")/../.."

t0=$SECONDS
shopt -s nullglob
need=(dist/*-abi3-*x86_64.whl dist/*-abi3-*aarch64.whl dist/*.tar.gz)
if [ ${#need[@]} -lt 3 ]; then
    echo "-- dist/ lacks a wheel or the sdist: building it"
    bash tools/build_wheels.sh
fi

# stage NAME: dist/, the tests (everything but the sources) and the test
# runner, copied to /tmp/qv in chroot NAME.
stage() {
    local t=$SECONDS root
    bash tools/chroot.sh make "$1"
    root=$(bash tools/chroot.sh path "$1")
    rm -rf "$root/tmp/qv"
    mkdir -p "$root/tmp/qv/tests"
    cp -r dist "$root/tmp/qv/dist"
    cp tools/test_installed.sh "$root/tmp/qv/"
    tar -C . --exclude=./src --exclude=./build --exclude=./dist \
        --exclude='./.venv*' --exclude=./.git -cf - . |
        tar -C "$root/tmp/qv/tests" -xf -
    echo "(chroot $1 ready in $((SECONDS - t)) s)"
}

# In a chroot: PYTHON gets a venv with the wheel that pip picks from dist/
# and the test extras from the index, then the suite and the demo.
# shellcheck disable=SC2016
wheel_suite='
    py=$1; venv=/tmp/qv/venv-$py; t=$(date +%s)
    ! command -v patch >/dev/null || { echo "GNU patch is present"; exit 1; }
    rm -rf "$venv"; "$py" -m venv "$venv"
    "$venv/bin/python" -m pip install --quiet --no-index --find-links /tmp/qv/dist \
        --only-binary :all: quorvan-cext
    "$venv/bin/python" -m pip install --quiet "pytest>=7" "hypothesis>=6"
    echo "== CPython $("$venv/bin/python" -c "import sys; print(sys.version.split()[0])")" \
        "on $(uname -m):" $(sed -n "s/^Tag: //p" "$venv"/lib/python*/site-packages/quorvan_cext-*.dist-info/WHEEL)
    sh /tmp/qv/test_installed.sh "$venv/bin/python" /tmp/qv/tests
    echo "($py: $(($(date +%s) - t)) s)"
'

# The sdist built from source on the newest Python with the chroot's g++,
# both ways: the stable-ABI build (what pip makes there) and the build for
# 3.15 alone (its full C API). Every warning is listed and fails the step.
# shellcheck disable=SC2016
sdist_build='
    t=$(date +%s)
    echo "== sdist built on $(python3.15 --version), $(g++ --version | head -n 1)"
    rm -rf /tmp/qv/venv-sdist; python3.15 -m venv /tmp/qv/venv-sdist
    n=0
    for api in cp311 ""; do
        log=/tmp/qv/sdist-${api:-specific}.log
        /tmp/qv/venv-sdist/bin/python -m pip install --verbose --force-reinstall \
            --no-deps -C build.verbose=true -C wheel.py-api=$api \
            /tmp/qv/dist/*.tar.gz >"$log" 2>&1 || { tail -n 60 "$log"; exit 1; }
        (cd /tmp/qv/tests && /tmp/qv/venv-sdist/bin/python -m quorvan.cext | tail -n 1)
        w=$(grep -c "warning:" "$log" || true)
        echo "${api:-version-specific} build: $w compiler warnings"
        [ "$w" -eq 0 ] || grep -A3 "warning:" "$log"
        n=$((n + w))
    done
    echo "(sdist builds: $(($(date +%s) - t)) s)"
    [ "$n" -eq 0 ]
'

# Every part runs; the chain fails if one did.
sid() {
    local ok=0
    stage sid
    bash tools/chroot.sh run sid sh -ec "$wheel_suite" sh python3.14 || ok=1
    bash tools/chroot.sh run sid sh -ec "$wheel_suite" sh python3.15 || ok=1
    bash tools/chroot.sh run sid sh -ec "$sdist_build" || ok=1
    return $ok
}

arm64() {
    stage arm64
    bash tools/chroot.sh run arm64 sh -ec "$wheel_suite" sh python3
}

logs=build/platforms
rm -rf "$logs"
mkdir -p "$logs"
status=0
if [ -n "${QV_SERIAL:-}" ]; then
    sid || status=1
    arm64 || status=1
else
    # Each chroot's log is kept apart and printed when both are done.
    (sid) >"$logs/sid.log" 2>&1 &
    pid_sid=$!
    (arm64) >"$logs/arm64.log" 2>&1 &
    pid_arm=$!
    for part in sid:$pid_sid arm64:$pid_arm; do
        if wait "${part#*:}"; then r=ok; else r=FAILED; status=1; fi
        echo "-- ${part%%:*} ($r)"
        cat "$logs/${part%%:*}.log"
    done
fi
echo "Platforms step took $((SECONDS - t0)) s"
exit $status
