#!/bin/sh
# Builds the fuzz targets with clang (ASan + UBSan + libFuzzer) and runs each
# for SECONDS, starting from the seeds in fuzz/corpus/. Fails on any finding.
#   ./fuzz.sh 15          CI smoke run
#   ./fuzz.sh 600         a long run
#   ./fuzz.sh 600 --keep  a long run whose inputs, merged down to the fewest
#                         that reach the same coverage, become the new seeds
set -eu
cd "$(dirname "$0")"
seconds="${1:-15}"
keep="${2:-}"
./scripts/setup.sh

CC=clang-14 CXX=clang++-14 cmake -S . -B build-fuzz -G Ninja \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDMM_FUZZ=ON >/dev/null
cmake --build build-fuzz -j2

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=""
for target in build-fuzz/fuzz/fuzz_*; do
    [ -f "$target" ] && [ -x "$target" ] || continue
    name=$(basename "$target")
    seeds="$PWD/fuzz/corpus/${name#fuzz_}"
    mkdir -p "$work/$name"
    set -- "$work/$name"
    [ -d "$seeds" ] && set -- "$@" "$seeds"
    echo "== $name for ${seconds}s"
    if ! (cd "$work" && "$OLDPWD/$target" -max_total_time="$seconds" -timeout=10 \
            -rss_limit_mb=2048 -max_len=8192 -print_final_stats=1 \
            -artifact_prefix="$OLDPWD/build-fuzz/$name-" "$@" 2>"$work/$name.log"); then
        tail -40 "$work/$name.log"
        failed="$failed $name"
    else
        grep -E '^stat::number_of_executed_units|^#[0-9]+.*DONE' "$work/$name.log" | tail -2 || true
        if [ "$keep" = "--keep" ]; then
            mkdir -p "$work/merged-$name"
            (cd "$work" && "$OLDPWD/$target" -merge=1 -max_len=8192 "$work/merged-$name" \
                "$@" 2>>"$work/$name.log")
            rm -rf "$seeds" && mkdir -p "$seeds"
            cp "$work/merged-$name"/* "$seeds"/
            echo "   seeds kept: $(ls "$seeds" | wc -l) files, $(du -sk "$seeds" | cut -f1) KB"
        fi
    fi
done
if [ -n "$failed" ]; then
    echo "fuzz.sh: findings in:$failed (inputs saved as build-fuzz/<target>-crash-*)"
    exit 1
fi
echo "fuzz.sh: no findings"
