#!/usr/bin/env bash
# Cross toolchains and emulators for the stages that keep other platforms
# honest: aarch64 and s390x (big-endian) under qemu-user, Windows through
# MinGW-w64 under wine64. Sourced by the scripts that run those stages.

# Installs what the cross stages need, when run as root and something is missing.
qox_install_cross_packages() {
  local wanted=(g++-aarch64-linux-gnu g++-s390x-linux-gnu g++-mingw-w64-x86-64-posix
                mingw-w64-tools binutils-mingw-w64-x86-64 qemu-user-static wine64
                googletest)  # GoogleTest's sources, built with each cross compiler
  local missing=()
  for package in "${wanted[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" ||
      missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing Debian packages (run as root to install): ${missing[*]}" >&2
    return 1
  fi
  echo "installing: ${missing[*]}"
  apt-get update -qq &&
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
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
