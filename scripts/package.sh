#!/bin/sh
# Builds the Debian packages tarvometer and tarvometer-tools: a Release build
# in build-package/ without the tests and benchmarks, with Debian's hardening
# flags and without -Werror, packed by cpack, then checked with lintian (any
# error or warning fails). Prints the paths of the two .deb files.
#   ./scripts/package.sh
#   DMM_MAINTAINER="Name <address>" ./scripts/package.sh
#   sudo apt-get install ./build-package/tarvometer-tools_*.deb ./build-package/tarvometer_*.deb
set -eu
cd "$(dirname "$0")/.."
./scripts/setup.sh

dir=build-package
# The flags Debian builds its own packages with, all hardening on (PIE,
# stack protector, _FORTIFY_SOURCE, relro and bindnow). CMake does not read
# CPPFLAGS, so they go in front of CXXFLAGS. They hold -O2; Release adds only
# -DNDEBUG.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cppflags=$(dpkg-buildflags --get CPPFLAGS)
cxxflags=$(dpkg-buildflags --get CXXFLAGS)
ldflags=$(dpkg-buildflags --get LDFLAGS)
# The prefix is the packages', so that the About box names the README where
# the package puts it. A newer compiler's new warning must not break a
# distribution's build: no -Werror here.
set -- -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
    -DCMAKE_CXX_FLAGS="$cppflags $cxxflags" -DCMAKE_CXX_FLAGS_RELEASE="-DNDEBUG" \
    -DCMAKE_EXE_LINKER_FLAGS="$ldflags" -DCMAKE_SHARED_LINKER_FLAGS="$ldflags" \
    -DCMAKE_STRIP="$(pwd)/packaging/strip.sh" \
    -DDMM_WERROR=OFF -DDMM_TESTS=OFF -DDMM_BENCH=OFF
if [ -n "${DMM_MAINTAINER:-}" ]; then
    set -- "$@" -DDMM_MAINTAINER="$DMM_MAINTAINER"
fi
cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
cmake --build "$dir" -j2
# Stale packages of another version would otherwise be reported too.
rm -f "$dir"/tarvometer_*.deb "$dir"/tarvometer-tools_*.deb
(cd "$dir" && cpack -G DEB >/dev/null)

debs=""
for name in tarvometer-tools tarvometer; do
    deb=$(ls "$(pwd)/$dir/${name}_"*.deb 2>/dev/null || true)
    if [ ! -f "$deb" ]; then
        echo "package.sh: cpack made no package $name" >&2
        exit 1
    fi
    debs="$debs $deb"
    if [ "$name" = tarvometer-tools ]; then
        # The headless package must not pull in the Qt GUI libraries.
        depends=$(dpkg-deb -f "$deb" Depends)
        case "$depends" in
        *libqt6gui* | *libqt6widgets* | *libqt6charts* | *libqt6printsupport* | *libqt6opengl*)
            echo "package.sh: tarvometer-tools depends on a Qt GUI library: $depends" >&2
            exit 1
            ;;
        esac
    fi
done

# lintian: no error and no warning. The informational tags it shows are
# explained in the README ("Installing").
if ! lintian --fail-on error,warning --display-info $debs >&2; then
    echo "package.sh: lintian found errors or warnings (above)" >&2
    exit 1
fi
for deb in $debs; do echo "$deb"; done
