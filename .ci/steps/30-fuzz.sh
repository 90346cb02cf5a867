#!/usr/bin/env bash
# Coverage-guided fuzzing with libFuzzer (fuzz/) of the engines, the base-85
# codec and the hunk reader: each target runs a bounded time from its seed
# corpus and every input that ever crashed it (fuzz/crashes/<target>/). A new
# crash fails the step; its input is written to fuzz/crashes/<target>/ and
# printed in base64, to be committed there (tests/test_fuzz_replay.py then
# replays it through the Python modules on every run).
set -euo pipefail

seconds=${QV_FUZZ_SECONDS:-30}
targets=(delta fold lines b85 hunk)

# clang with its libFuzzer runtime, from the distribution's packages.
fuzzer_works() {
    local dir
    dir=$(mktemp -d)
    printf '%s\n' '#include <cstddef>' '#include <cstdint>' \
        'extern "C" int LLVMFuzzerTestOneInput(const uint8_t*, size_t) { return 0; }' \
        > "$dir/t.cpp"
    clang++ -fsanitize=fuzzer,address,undefined "$dir/t.cpp" -o "$dir/t" \
        >/dev/null 2>&1
    local rc=$?
    rm -rf "$dir"
    return $rc
}
if ! command -v clang++ >/dev/null || ! fuzzer_works; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    export DEBIAN_FRONTEND=noninteractive
    $sudo apt-get update -q >/dev/null
    $sudo apt-get install -y -q --no-install-recommends clang libclang-rt-dev >/dev/null
    fuzzer_works
fi

cmake --version >/dev/null 2>&1 || python -m pip install --quiet cmake
build=build/fuzz
cmake -S . -B "$build" -DQV_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE="$(command -v python)" \
    >/dev/null
cmake --build "$build" --target fuzz_all -j2 >/dev/null

# The targets import the shared reference (testkit/) from the checkout.
export PYTHONPATH=$PWD
failed=()
for t in "${targets[@]}"; do
    echo "-- fuzz_$t for ${seconds}s"
    work=$(mktemp -d)
    crashes=fuzz/crashes/$t
    mkdir -p "$crashes"
    if ASAN_OPTIONS=allocator_may_return_null=1 \
        "$build/fuzz/fuzz_$t" -max_total_time="$seconds" -max_len=8192 \
        -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$crashes/" "$work" "fuzz/corpus/$t" "$crashes" \
        >"$work.log" 2>&1; then
        grep -E '^(Done|stat::number_of_executed_units|stat::peak_rss)' "$work.log" || true
    else
        tail -n 60 "$work.log"
        failed+=("$t")
    fi
    rm -rf "$work" "$work.log"
done

if [ ${#failed[@]} -ne 0 ]; then
    echo "fuzzing found crashes in: ${failed[*]}" >&2
    for t in "${failed[@]}"; do
        for f in fuzz/crashes/"$t"/*; do
            [ -s "$f" ] || continue
            echo "$f (base64):" >&2
            base64 -w0 "$f" >&2
            echo >&2
        done
    done
    exit 1
fi
