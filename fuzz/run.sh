#!/usr/bin/env bash
# Builds the libFuzzer harnesses (clang, ASan + UBSan) and fuzzes each for a bounded time, starting
# from its corpus. New inputs go to a scratch directory, not the committed corpus; a crash leaves
# its input in fuzz/crashes/<harness>/ and fails the run (copy it into fuzz/corpus/<harness>/ once
# fixed, so that every build replays it).
#   usage: fuzz/run.sh [seconds per harness, default 60] [harness...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
harnesses=("$@")
[ ${#harnesses[@]} -gt 0 ] || harnesses=(load_file search_body round_trip operations)
build=${QUILANE_FUZZ_BUILD:-build-fuzz}

flags="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
# The engine silences some GCC-only warnings by name, which clang does not know.
flags+=" -Wno-unknown-warning-option"
CXX=clang++-14 cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DQUILANE_BUILD_TESTS=OFF -DQUILANE_FUZZ=ON -DCMAKE_CXX_FLAGS="$flags" \
    -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null
cmake --build "$build" -j "${JOBS:-2}"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
for harness in "${harnesses[@]}"; do
    mkdir -p "$scratch/$harness" "fuzz/crashes/$harness"
    echo "== fuzzing $harness for ${seconds}s"
    log="$scratch/$harness.log"
    # detect_leaks: a leak is a finding like any other.
    if ! ASAN_OPTIONS=detect_leaks=1 "$build/fuzz/fuzz_$harness" "$scratch/$harness" \
        "fuzz/corpus/$harness" -max_total_time="$seconds" -malloc_limit_mb=1024 \
        -rss_limit_mb=2048 -timeout=10 -max_len=4096 -print_final_stats=1 \
        -artifact_prefix="fuzz/crashes/$harness/" >"$log" 2>&1; then
        grep -E -A12 'ERROR|property violated|runtime error' "$log" | head -60 >&2
        echo "fuzz_$harness failed; inputs in fuzz/crashes/$harness/" >&2
        exit 1
    fi
    grep -E '^(Done|stat::number_of_executed_runs|stat::peak_rss_mb)' "$log" || true
    rmdir "fuzz/crashes/$harness" 2>/dev/null || true
done
rmdir fuzz/crashes 2>/dev/null || true
