#!/bin/sh
# The strip command of the package build (CMAKE_STRIP in scripts/package.sh):
# strips the symbols, and the compiler's .comment and .note sections as
# Debian strips its own packages' programs.
exec strip --remove-section=.comment --remove-section=.note "$@"
