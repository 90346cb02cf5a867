#!/usr/bin/env bash
# Memory checks:
#  1. the whole test suite against the modules built with AddressSanitizer
#     and UndefinedBehaviorSanitizer (separate venv and build folder), run
#     with the sanitizer runtime preloaded into the interpreter and
#     PYTHONMALLOC=malloc, so that every object allocation goes through the
#     checked allocator (overruns of objects included); this build also has
#     the engines' allocation faults (QV_FAULTS), which tests/test_faults.py
#     drives and which other builds skip;
#  2. the tests of the module layers against the ordinary build (the CI
#     venv's) in the interpreter's development mode, whose debug allocator
#     hooks add what the sanitized run cannot see: memory-API calls made
#     without the interpreter lock (linesift computes without it). The
#     engine-only, command-line and packaging tests would add nothing there.
set -euo pipefail

py=$(command -v python)   # the CI venv's interpreter
venv=build/venv-asan
rm -rf "$venv"
"$py" -m venv "$venv"
"$venv/bin/python" -m pip install --quiet --upgrade pip
SKBUILD_CMAKE_DEFINE="QV_WERROR=ON;QV_SANITIZE=ON;QV_FAULTS=ON" \
    "$venv/bin/python" -m pip install --quiet -Cbuild-dir=build/asan '.[test]'

# The sanitizer runtime must come first in the (uninstrumented) interpreter.
# Leak checking stays off: the interpreter keeps much memory to exit on
# purpose. Leaks of the modules are tested by tests/test_leaks.py instead.
# allocator_may_return_null: huge requests must fail as MemoryError, not abort.
export LD_PRELOAD="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)"
export PYTHONMALLOC=malloc
export ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:abort_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

# Make sure the suite will really see the instrumented modules.
test -e "$(dirname "$("$venv/bin/python" -c 'import quorvan.cext.deltafold as m; print(m.__file__)')")/libqv_faults.so"
for name in linesift deltafold pentacode hunkfix; do
    mod=$("$venv/bin/python" -c "import quorvan.cext.$name as m; print(m.__file__)")
    # (grep -q would close the pipe early, failing ldd under pipefail.)
    if ! LD_PRELOAD= ldd "$mod" | grep libasan >/dev/null; then
        echo "sanitized build expected at $mod" >&2
        exit 1
    fi
done

echo "-- test suite against the sanitized modules"
"$venv/bin/python" -m pytest -q -p no:cacheprovider --hypothesis-profile=checked
unset LD_PRELOAD PYTHONMALLOC ASAN_OPTIONS UBSAN_OPTIONS

echo "-- module-layer tests in development mode (PYTHONMALLOC=debug)"
python -X dev -m pytest -q -p no:cacheprovider --hypothesis-profile=checked \
    tests/test_linesift.py tests/test_threads.py tests/test_deltafold.py \
    tests/test_hunkfix.py tests/test_pentacode.py
