#!/usr/bin/env bash
# Builds the extension for one interpreter. Sourced by the other scripts.

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

# Runs the Python suite on one interpreter, spread over the cores when
# pytest-xdist is importable there; further arguments go to pytest.
qox_pytest() {
  local python=$1
  shift
  local workers=()
  "$python" -c "import xdist" >/dev/null 2>&1 && workers=(-n "$(nproc)")
  "$python" -m pytest tests/python -q -p no:cacheprovider "${workers[@]}" "$@"
}
