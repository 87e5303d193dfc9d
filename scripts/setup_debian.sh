#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, and any named as
# arguments, when run as root and something is missing. Sourced by the other
# scripts.
qox_install_packages() {
  local wanted=(cmake g++ make python3-dev libgtest-dev libbenchmark-dev libssl-dev
                python3-pytest python3-hypothesis python3-cryptography
                python3-exceptiongroup python3-tomli
                python3-setuptools python3-wheel python3-pip python3-venv python3-mypy
                clang libclang-rt-14-dev  # libFuzzer and the sanitizer runtimes for clang
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

# Configures and builds the extension for one interpreter into build/<tag>;
# further arguments go to CMake as they are (later -D settings win).
qox_build() {
  local python=$1 tag=$2 cpp_tests=$3
  shift 3
  cmake -S . -B "build/$tag" -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE="$python" \
        -DQOX_BUILD_CPP_TESTS="$cpp_tests" "$@" >"build/$tag.configure.log" 2>&1 ||
    { cat "build/$tag.configure.log"; return 1; }
  cmake --build "build/$tag" -j "$(nproc)"
}
