#!/bin/sh
# Builds the libFuzzer targets with clang (AddressSanitizer and UndefinedBehaviorSanitizer) in
# their own folder and runs each for a bounded time. Usage: .ci/fuzz.sh [seconds per target]
set -eu
seconds=${1:-60}
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-fuzz"
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DQTX_FUZZ=ON -DQTX_SANITIZE=ON -DQTX_WERROR=ON \
    -DQTX_DESKTOP=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
for src in "$root"/fuzz/*.cpp; do
    name=$(basename "$src" .cpp)
    cmake --build "$build" -j2 --target "$name" >/dev/null
    corpus="$build/corpus-$name"
    mkdir -p "$corpus"
    log="$build/$name.log"
    "$build/fuzz/$name" -max_total_time="$seconds" -print_final_stats=1 "$corpus" >"$log" 2>&1 || {
        tail -40 "$log"
        echo "$name: FAILED" >&2
        exit 1
    }
    runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo '?')
    echo "$name: $runs inputs in ${seconds}s, no failure"
done
