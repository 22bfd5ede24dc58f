#!/bin/sh
# Runs clang-tidy (the checks in .clang-tidy) over the project's own sources,
# using the compile commands of the normal build. Fails on any finding.
#   ./scripts/tidy.sh            every source file
#   ./scripts/tidy.sh FILE...    just these
set -eu
cd "$(dirname "$0")/.."
./scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
# The moc files and generated headers must exist for the sources to parse.
cmake --build build -j2 >/dev/null
if [ "$#" -eq 0 ]; then
    set -- $(ls decode/*.cpp record/*.cpp chart/*.cpp link/*.cpp app/*.cpp \
        tools/dmmlog/*.cpp tools/metersim/*.cpp)
fi
printf '%s\n' "$@" | xargs -P 2 -n 4 clang-tidy-14 -p build --quiet \
    --extra-arg=-Wno-unknown-warning-option
