#!/bin/sh
# Sets up what is missing, builds and starts the program. Only what the
# program and the tools need is installed and built (./test.sh does the rest).
#   ./run.sh                 the program, with the usual serial ports
#   ./run.sh --demo          the program with a simulated meter on COM1,
#                            connected: live readings at once
#   ./run.sh --demo --family mesko   the same with a meter of that family
#   ./run.sh --port 1=DEV    any arguments go on to the program
set -eu
cd "$(dirname "$0")"
./scripts/setup.sh run
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DDMM_TESTS=OFF -DDMM_BENCH=OFF >/dev/null
cmake --build build -j2 --target tarvometer dmmlog metersim

if [ "${1:-}" = "--demo" ]; then
    shift
    family=tarvo
    prev=""
    for arg in "$@"; do
        [ "$prev" = "--family" ] && family=$arg
        prev=$arg
    done
    dir=$(mktemp -d)
    build/tools/metersim/metersim --family "$family" --rate 22 --pty --link "$dir/meter" >/dev/null &
    sim=$!
    trap 'kill $sim 2>/dev/null; rm -rf "$dir"' EXIT INT TERM
    for _ in 1 2 3 4 5 6 7 8 9 10; do
        [ -e "$dir/meter" ] && break
        sleep 0.2
    done
    echo "run.sh: a simulated meter is on COM1 ($dir/meter), connected" >&2
    build/app/tarvometer --family "$family" --port "1=$dir/meter" --connect "$@"
    exit $?
fi
exec build/app/tarvometer "$@"
