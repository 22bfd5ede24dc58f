#!/bin/sh
# Sets up what is missing, builds and starts the program.
set -eu
cd "$(dirname "$0")"
./scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j2
if [ -x build/app/tarvometer ]; then
    exec build/app/tarvometer "$@"
fi
# Until the window is built: the headless logger on a simulated meter.
echo "run.sh: logging a simulated Tarvo meter (Ctrl+C to stop)" >&2
build/tools/metersim/metersim --family tarvo --rate 2 | build/tools/dmmlog/dmmlog --format tsv
