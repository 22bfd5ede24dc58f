#!/bin/sh
# Sets up what is missing, builds and runs every test.
#   ./test.sh          the normal build (build/)
#   ./test.sh --asan   the same tests under AddressSanitizer and UBSan (build-asan/)
#   ./test.sh --tsan   the HID reader and journal tests under ThreadSanitizer (build-tsan/)
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
if [ "${1:-}" = "--tsan" ]; then
    # Only the HID tests and the journal have threads of their own; the
    # window is left out.
    dir=build-tsan
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DDMM_TSAN=ON -DDMM_WERROR=ON -DDMM_BENCH=OFF -DDMM_GUI=OFF >/dev/null
    cmake --build "$dir" -j2 --target link_hid_controller_test link_hid_reading_test \
        link_hid_stress_test link_hid_hidapi_test record_journal_test
    export TSAN_OPTIONS="suppressions=$(pwd)/tests/tsan.supp:halt_on_error=1:second_deadlock_stack=1"
    QT_QPA_PLATFORM=offscreen exec ctest --test-dir "$dir" --output-on-failure -j2 --timeout 300 \
        -R '^(link_hid_|record_journal_)'
fi

# ./run.sh turns the tests and benchmarks off in build/; they are turned on
# again here, with warnings as errors.
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DDMM_WERROR=ON -DDMM_TESTS=ON -DDMM_BENCH=ON $extra >/dev/null
cmake --build "$dir" -j2
QT_QPA_PLATFORM=offscreen ctest --test-dir "$dir" --output-on-failure -j2 --timeout 300
