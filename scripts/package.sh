#!/bin/sh
# Builds the Debian package: a Release build in build-package/ without the
# tests and benchmarks, packed by cpack. Prints the path of the .deb.
#   ./scripts/package.sh
#   sudo apt-get install ./build-package/tarvometer_*.deb
set -eu
cd "$(dirname "$0")/.."
./scripts/setup.sh

dir=build-package
# -O2 as Debian builds its own packages; GCC 12 at -O3 raises a false
# -Wrestrict inside std::string's assign (GCC bug 105651), fatal under -Werror.
# The prefix is the package's, so that the About box names the README where
# the package puts it.
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
    -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" \
    -DDMM_TESTS=OFF -DDMM_BENCH=OFF >/dev/null
cmake --build "$dir" -j2
# A stale package of another version would otherwise be reported too.
rm -f "$dir"/tarvometer_*.deb
(cd "$dir" && cpack -G DEB >/dev/null)
for deb in "$(pwd)/$dir"/tarvometer_*.deb; do
    if [ ! -f "$deb" ]; then
        echo "package.sh: cpack made no package" >&2
        exit 1
    fi
    echo "$deb"
done
