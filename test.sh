#!/bin/sh
# Sets up what is missing, builds and runs every test.
#   ./test.sh          the normal build (build/)
#   ./test.sh --asan   the same tests under AddressSanitizer and UBSan (build-asan/)
set -eu
cd "$(dirname "$0")"
./scripts/setup.sh

dir=build
extra=""
if [ "${1:-}" = "--asan" ]; then
    dir=build-asan
    extra="-DDMM_SANITIZE=ON -DDMM_BENCH=OFF"
    export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1"
    export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
fi

cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $extra >/dev/null
cmake --build "$dir" -j2
QT_QPA_PLATFORM=offscreen ctest --test-dir "$dir" --output-on-failure -j2 --timeout 300
