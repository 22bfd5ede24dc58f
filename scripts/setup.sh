#!/bin/sh
# Installs every Debian package the build, the tests, the fuzzers, the
# benchmarks and the Debian package need. Safe to run again: apt-get skips
# what is already there.
set -eu

PACKAGES="cmake ninja-build g++ pkg-config git
qt6-base-dev qt6-charts-dev qt6-serialport-dev libqt6opengl6-dev libxkbcommon-dev
libhidapi-dev libudev-dev libgtest-dev libgmock-dev
libmosquitto-dev mosquitto
fonts-liberation2 fonts-dejavu-core
clang-14 libclang-rt-14-dev clang-format clang-tidy-14
poppler-utils
dpkg-dev desktop-file-utils help2man"

missing=""
for p in $PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $p"
    fi
done

if [ -n "$missing" ]; then
    SUDO=""
    if [ "$(id -u)" != 0 ]; then SUDO="sudo"; fi
    echo "setup: installing$missing"
    $SUDO apt-get update -q
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends $missing
fi
