#!/usr/bin/env bash
# Cross toolchains and emulators for the stages that keep other platforms
# honest: aarch64, armhf, ppc64el, riscv64 and s390x (big-endian) under
# qemu-user, i386 natively or under qemu-user, Windows through MinGW-w64
# under wine64. Sourced by the scripts that run those stages.

# Installs what the cross stages need (with the base packages and any named as
# arguments), when run as root and something is missing.
source "$(dirname "${BASH_SOURCE[0]}")/setup_debian.sh"
qox_install_cross_packages() {
  qox_install_packages "$@" g++-aarch64-linux-gnu g++-s390x-linux-gnu g++-mingw-w64-x86-64-posix \
    g++-i686-linux-gnu g++-arm-linux-gnueabihf g++-powerpc64le-linux-gnu g++-riscv64-linux-gnu \
    mingw-w64-tools binutils-mingw-w64-x86-64 qemu-user-static wine64 \
    googletest  # GoogleTest's sources, built with each cross compiler
}

# Runs a Windows program under wine64 in a prefix of the build's own, made on
# first use, with Wine's own chatter silenced. The program's exit status is
# returned.
qox_wine() {
  export WINEPREFIX="${QOX_WINEPREFIX:-$PWD/build/wine}" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  # Debian's wine64 package keeps its loader off PATH.
  local wine64
  wine64=$(command -v wine64 || echo /usr/lib/wine/wine64)
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    mkdir -p "$WINEPREFIX"
    "$wine64" wineboot --init >/dev/null 2>&1 || true
  fi
  "$wine64" "$@"
}
