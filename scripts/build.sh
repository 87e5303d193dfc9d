#!/usr/bin/env bash
# Builds the extension for one interpreter. Sourced by the other scripts.

# The compiler launcher every build puts in front of its compilers: ccache
# where it is installed, so that the engine's objects, the same for every
# interpreter, are compiled once per compiler and options, and a rerun
# recompiles only what changed. Empty without it.
qox_launcher() {
  command -v ccache 2>/dev/null || true
}

# The CMake settings that put the launcher in front of CMake's compilers.
qox_cmake_launcher() {
  local launcher
  launcher=$(qox_launcher)
  if [ -n "$launcher" ]; then
    echo "-DCMAKE_CXX_COMPILER_LAUNCHER=$launcher -DCMAKE_C_COMPILER_LAUNCHER=$launcher"
  fi
}

# Configures and builds the extension for one interpreter into build/<tag>;
# further arguments go to CMake as they are (later -D settings win).
qox_build() {
  local python=$1 tag=$2 cpp_tests=$3
  shift 3
  cmake -S . -B "build/$tag" -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE="$python" \
        -DQOX_BUILD_CPP_TESTS="$cpp_tests" $(qox_cmake_launcher) "$@" >"build/$tag.configure.log" 2>&1 ||
    { cat "build/$tag.configure.log"; return 1; }
  cmake --build "build/$tag" -j "$(nproc)"
}

# Runs the Python suite on one interpreter, spread over the cores when
# pytest-xdist is importable there; further arguments go to pytest.
qox_pytest() {
  local python=$1
  shift
  local workers=()
  "$python" -c "import xdist" >/dev/null 2>&1 && workers=(-n "$(nproc)")
  "$python" -m pytest tests/python -q -p no:cacheprovider "${workers[@]}" "$@"
}
