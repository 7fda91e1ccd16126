#!/bin/sh
# Builds the libFuzzer targets with clang and runs each for a bounded time,
# starting from the committed seeds. A crash fails the run and leaves its
# input in BUILD_DIR/artifacts.
set -eu
cd "$(dirname "$0")/.."
build=${FUZZ_BUILD_DIR:-build-fuzz}
seconds=${FUZZ_SECONDS:-60}

CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPORTABLE_FUZZ=ON -DPORTABLE_I386=OFF
cmake --build "$build" --target fuzzers

mkdir -p "$build/artifacts"
status=0
for target in "$build"/fuzz/fuzz_*; do
    name=${target##*/fuzz_}
    corpus="$build/corpus/$name"
    mkdir -p "$corpus"
    cp -n tests/fuzz/corpus/"$name"/* "$corpus"/ 2>/dev/null || true
    echo "==> fuzzing $name for $seconds s"
    # Each target works in a scratch folder of its own: some write files.
    rm -rf "$build/work/$name" && mkdir -p "$build/work/$name"
    (cd "$build/work/$name" && "$OLDPWD/$target" -max_total_time="$seconds" -timeout=10 -close_fd_mask=1 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$OLDPWD/$build/artifacts/$name-" "$OLDPWD/$corpus") \
        > "$build/$name.log" 2>&1 || { status=1; echo "fuzz_$name found a failure:"; tail -n 40 "$build/$name.log"; }
    grep -E "^stat::number_of_executed_units|^Done" "$build/$name.log" || true
done
exit $status
