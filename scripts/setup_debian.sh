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
                "$@")
  # The debug interpreter of the system Python, where Debian has one.
  local debug_python
  debug_python="python$(/usr/bin/python3 -c 'import sys; print("%d.%d" % sys.version_info[:2])')-dbg"
  if apt-cache policy "$debug_python" 2>/dev/null | grep -q "Candidate: [0-9]"; then
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
  apt-get update -qq &&
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

source "$(dirname "${BASH_SOURCE[0]}")/build.sh"
