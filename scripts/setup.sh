#!/bin/sh
# Installs the Debian packages a task needs. Safe to run again: only what is
# missing is installed.
#   ./scripts/setup.sh run   what building and running the program and the
#                            tools needs (./run.sh)
#   ./scripts/setup.sh       everything: the run set plus the tests, the
#                            fuzzers and sanitizers, clang-tidy, the manual
#                            pages and the Debian packages (./test.sh, CI,
#                            scripts/package.sh)
set -eu

RUN_PACKAGES="cmake ninja-build g++ pkg-config
qt6-base-dev qt6-charts-dev qt6-serialport-dev libqt6opengl6-dev libxkbcommon-dev
libhidapi-dev libudev-dev libmosquitto-dev
fonts-liberation2 fonts-dejavu-core"

FULL_PACKAGES="git libgtest-dev libgmock-dev mosquitto
clang-14 libclang-rt-14-dev clang-format clang-tidy-14
poppler-utils
help2man dpkg-dev desktop-file-utils lintian"

case "${1:-full}" in
run) PACKAGES=$RUN_PACKAGES ;;
full) PACKAGES="$RUN_PACKAGES $FULL_PACKAGES" ;;
*)
    echo "usage: scripts/setup.sh [run|full]" >&2
    exit 2
    ;;
esac

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
