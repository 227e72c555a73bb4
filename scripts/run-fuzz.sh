#!/usr/bin/env bash
# Usage: scripts/run-fuzz.sh BUILD_DIR [SECONDS]
#
# Runs every fuzz_* program in BUILD_DIR for SECONDS each (60 unless given), one after the
# other so that a 2-core machine stays usable. Each starts from its committed seeds in
# fuzz/corpus/NAME/ and keeps the inputs it finds in fuzz/corpus-run/NAME/, which is not
# committed; a finding worth keeping is copied into the seeds by hand.
#
# A single allocation above 64 MiB counts as a failure: no input of at most 64 KiB has a
# reason to ask for that much. On a failure the reproducer is printed in Base64, because CI's
# work tree is gone by the time anyone reads its log. Reproduce with
#   base64 -d > crash.bin && BUILD_DIR/fuzz_NAME crash.bin
set -euo pipefail

if [ $# -lt 1 ] || [ $# -gt 2 ]; then
    echo "usage: $0 BUILD_DIR [SECONDS]" >&2
    exit 2
fi
build=$(cd "$1" && pwd)
seconds=${2:-60}
root=$(cd "$(dirname "$0")/.." && pwd)

shopt -s nullglob
programs=("$build"/fuzz_*)
if [ ${#programs[@]} -eq 0 ]; then
    echo "no fuzz_* programs in $build: configure it with -DREMOTO_FUZZ=ON and build" >&2
    exit 1
fi

# The Makefile's sanitizer settings apply when they are exported; these are for direct runs.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

passed=0
failed=0
for program in "${programs[@]}"; do
    [ -x "$program" ] || continue
    name=${program##*/fuzz_}
    seeds=$root/fuzz/corpus/$name
    corpus=$root/fuzz/corpus-run/$name
    artifacts=$root/fuzz/corpus-run/$name-findings
    rm -rf "$artifacts"
    mkdir -p "$corpus" "$artifacts"

    options=(-max_total_time="$seconds" -max_len=65536 -timeout=10 -rss_limit_mb=2048
             -malloc_limit_mb=64 -print_final_stats=1 -artifact_prefix="$artifacts/")
    [ -f "$root/fuzz/$name.dict" ] && options+=(-dict="$root/fuzz/$name.dict")
    inputs=("$corpus")
    [ -d "$seeds" ] && inputs+=("$seeds")

    log=$artifacts/log.txt
    echo "== fuzz_$name for ${seconds}s"
    if "$program" "${options[@]}" "${inputs[@]}" >"$log" 2>&1; then
        grep -E '^(Done|stat::number_of_executed_units|stat::peak_rss_mb)' "$log" || true
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "fuzz_$name FAILED; the end of its log:"
        tail -n 60 "$log"
        for finding in "$artifacts"/*; do
            [ "$finding" = "$log" ] && continue
            echo "-- reproducer ${finding##*/} ($(stat -c %s "$finding") bytes), Base64:"
            head -c 65536 "$finding" | base64
        done
    fi
done

echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
