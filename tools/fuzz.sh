#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer, ASan+UBSan) in build-fuzz/ and runs each one for a
# bounded time on Debian 12, installing what is missing:
#   tools/fuzz.sh [seconds]    seconds per target, 60 unless given
# Every target starts from its seeds in fuzz/corpus/<target>/, copied into build-fuzz/corpus/<target>/;
# what a run finds is kept there for the next run, and the committed seeds stay as they are.
# Exits non-zero, naming the saved input, when a target finds a crash, leak, timeout or memory blow-up.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-60}"
if ! [[ "$seconds" =~ ^[1-9][0-9]*$ ]]; then
    echo "usage: tools/fuzz.sh [seconds per target]" >&2
    exit 2
fi

targets=(fuzz_hexconv fuzz_sendwalk fuzz_paramreply)
# The window targets grow Qt's caches with nearly every input, which libFuzzer takes for a possible
# leak and answers with a scan of the whole heap, at a fifth of the speed. Their leaks are looked for
# once, when the run ends; the conversions are checked after every input.
declare -A target_flags=([fuzz_sendwalk]=-detect_leaks=0 [fuzz_paramreply]=-detect_leaks=0)
build=build-fuzz

source tools/lib.sh
# The fuzz build needs clang and libFuzzer on top of what every build needs.
install_build_packages clang libclang-rt-14-dev
CC=clang CXX=clang++ cmake -S . -B "$build" -DTALVEN_FUZZ=ON -DBUILD_TESTING=OFF
cmake --build "$build" -j"$(nproc)" --target "${targets[@]}"

root="$PWD"
export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS=detect_leaks=1
export LSAN_OPTIONS="suppressions=$root/fuzz/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

failed=()
for target in "${targets[@]}"; do
    corpus="$build/corpus/$target"
    artifacts="$build/artifacts/$target"
    log="$build/logs/$target.log"
    mkdir -p "$corpus" "$artifacts" "$(dirname "$log")"
    cp -n "fuzz/corpus/$target"/* "$corpus/"
    echo "== $target: ${seconds} s (log $log)"
    status=0
    # Inputs up to 2 KB: the send walk goes through the port and the line for every one of them.
    "$build/fuzz/$target" -max_total_time="$seconds" -max_len=2048 -timeout=25 -rss_limit_mb=4096 \
        -print_final_stats=1 ${target_flags[$target]:-} -artifact_prefix="$root/$artifacts/" "$corpus" \
        >"$log" 2>&1 || status=$?
    grep -E '^#[0-9]+[[:space:]]+DONE|^stat::number_of_executed_units|^stat::peak_rss_mb' "$log" || true
    if [ "$status" -ne 0 ]; then
        saved=$(grep -oE "Test unit written to .*" "$log" | sed 's/Test unit written to //' || true)
        grep -E 'FUZZ_CHECK|ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error' "$log" | head -5 || true
        echo "!! $target failed (exit $status); input: ${saved:-none saved, see $log}"
        failed+=("$target: ${saved:-$log}")
    fi
done

if [ ${#failed[@]} -gt 0 ]; then
    printf 'Fuzzing found problems:\n' >&2
    printf '  %s\n' "${failed[@]}" >&2
    printf 'Reproduce with: %s/fuzz/<target> <input>\n' "$build" >&2
    exit 1
fi
echo "No crashes in ${#targets[@]} targets, ${seconds} s each."
