#!/usr/bin/env bash
# Memory checks of the whole test suite:
#  1. the modules built with AddressSanitizer and UndefinedBehaviorSanitizer
#     (separate venv and build folder), the suite run with the sanitizer
#     runtime preloaded into the interpreter and PYTHONMALLOC=malloc, so that
#     every object allocation goes through the checked allocator;
#  2. the ordinary build (the CI venv's) under the interpreter's development
#     mode, whose debug allocator hooks catch buffer overruns of objects and
#     memory-API calls made without the interpreter lock.
set -euo pipefail

py=$(command -v python)   # the CI venv's interpreter
venv=build/venv-asan
rm -rf "$venv"
"$py" -m venv "$venv"
"$venv/bin/python" -m pip install --quiet --upgrade pip
SKBUILD_CMAKE_DEFINE="QV_WERROR=ON;QV_SANITIZE=ON" \
    "$venv/bin/python" -m pip install --quiet -Cbuild-dir=build/asan '.[test]'

# Make sure the suite will really see the instrumented modules.
mod=$("$venv/bin/python" -c 'import quorvan.cext.linesift as m; print(m.__file__)')
if ! ldd "$mod" | grep -q libasan; then
    echo "sanitized build expected at $mod" >&2
    exit 1
fi

asan=$(g++ -print-file-name=libasan.so)
ubsan=$(g++ -print-file-name=libubsan.so)
# Leak checking stays off: the interpreter keeps much memory to exit on
# purpose. Leaks of the modules are tested by tests/test_leaks.py instead.
# allocator_may_return_null: huge requests must fail as MemoryError, not abort.
echo "-- test suite against the sanitized modules"
LD_PRELOAD="$asan:$ubsan" PYTHONMALLOC=malloc \
    ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:abort_on_error=1:strict_string_checks=1 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "$venv/bin/python" -m pytest -q -p no:cacheprovider --hypothesis-profile=checked

echo "-- test suite in development mode (PYTHONMALLOC=debug)"
python -X dev -m pytest -q -p no:cacheprovider --hypothesis-profile=checked
