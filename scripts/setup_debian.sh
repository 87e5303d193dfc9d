#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, and any named as
# arguments, when run as root and something is missing. Sourced by the other
# scripts, together with build.sh (the build itself), which it sources too so
# that one line still gives both functions.
qox_install_packages() {
  local wanted=(cmake g++ make python3-dev libgtest-dev libbenchmark-dev libssl-dev
                python3-pytest python3-pytest-xdist python3-hypothesis python3-cryptography
                python3-pycryptodome  # the second peer of bench/container_bench.py
                python3-exceptiongroup python3-tomli
                python3-setuptools python3-wheel python3-pip python3-venv python3-mypy
                clang libclang-rt-14-dev  # libFuzzer and the sanitizer runtimes for clang
                valgrind  # the constant-time check (tests/ct)
                ccache  # one compile of the engine for all interpreters (build.sh)
                "$@")
  # The debug interpreter of the system Python, where Debian has one. A fresh
  # machine has no package lists yet, so apt-cache knows of no candidate
  # until they are fetched.
  local debug_python updated=0
  debug_python="python$(/usr/bin/python3 -c 'import sys; print("%d.%d" % sys.version_info[:2])')-dbg"
  if ! dpkg-query -W -f='${Status}' "$debug_python" 2>/dev/null | grep -q "ok installed" &&
     ! qox_has_candidate "$debug_python" && [ "$(id -u)" -eq 0 ]; then
    apt-get update -qq && updated=1
  fi
  if qox_has_candidate "$debug_python"; then
    wanted+=("$debug_python")
  fi
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
  { [ "$updated" -eq 1 ] || apt-get update -qq; } &&
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# Whether apt knows a version of the package it could install.
qox_has_candidate() {
  apt-cache policy "$1" 2>/dev/null | grep -q "Candidate: [0-9]"
}

source "$(dirname "${BASH_SOURCE[0]}")/build.sh"
