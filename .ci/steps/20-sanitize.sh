#!/usr/bin/env bash
# Memory checks of the whole test suite:
#  1. the modules built with AddressSanitizer and UndefinedBehaviorSanitizer
#     (separate venv and build folder), the suite run with the sanitizer
#     runtime preloaded into the interpreter and PYTHONMALLOC=malloc, so that
#     every object allocation goes through the checked allocator; this build
#     also has the engines' allocation faults (QV_FAULTS), which
#     tests/test_faults.py drives and which other builds skip;
#  2. the ordinary build (the CI venv's) under the interpreter's development
#     mode, whose debug allocator hooks catch buffer overruns of objects and
#     memory-API calls made without the interpreter lock.
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
    if ! LD_PRELOAD= ldd "$mod" | grep -q libasan; then
        echo "sanitized build expected at $mod" >&2
        exit 1
    fi
done

echo "-- test suite against the sanitized modules"
"$venv/bin/python" -m pytest -q -p no:cacheprovider --hypothesis-profile=checked
unset LD_PRELOAD PYTHONMALLOC ASAN_OPTIONS UBSAN_OPTIONS

echo "-- test suite in development mode (PYTHONMALLOC=debug)"
python -X dev -m pytest -q -p no:cacheprovider --hypothesis-profile=checked
