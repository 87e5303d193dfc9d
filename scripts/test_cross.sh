#!/usr/bin/env bash
# Builds the engine and its C++ tests for other platforms and runs them there:
# aarch64 under qemu-user with every CPU feature on (the ARMv8 AES path) and
# once more forced onto the table path, s390x (big-endian) under qemu-user,
# and 64-bit Windows with MinGW-w64 under wine64 (with and without its
# hardware paths). GoogleTest is built from source with each compiler.
# Fails if any of them fails.
set -uo pipefail
cd "$(dirname "$0")/.."
source scripts/setup_cross.sh
qox_install_cross_packages || exit 1
mkdir -p build

# Configures and builds build/cross-<name> with cmake/toolchain-<triple>.cmake.
cross_build() {
  local name=$1 triple=$2 dir="build/cross-$1"
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DQOX_ENGINE_ONLY=ON \
        -DQOX_GTEST_SOURCE_DIR=/usr/src/googletest \
        -DCMAKE_TOOLCHAIN_FILE="cmake/toolchain-$triple.cmake" >"$dir.configure.log" 2>&1 ||
    { cat "$dir.configure.log"; return 1; }
  cmake --build "$dir" -j "$(nproc)" >"$dir.build.log" 2>&1 || { tail -50 "$dir.build.log"; return 1; }
}

# Runs one suite (the command line after the path it must take) with only
# failures and the summary shown; QOX_EXPECT_PROVIDER makes a missed
# hardware path a failure rather than a row of skips.
run_suite() {
  local provider=$1
  shift
  echo "--- $provider path"
  QOX_EXPECT_PROVIDER=$provider "$@" --gtest_brief=1 2>&1 | tr -d '\r' |
    grep -vE '^Running main|: Skipped$|not available on this CPU$'
}

# The same suite as it is, then forced onto the table path.
run_both_paths() {
  run_suite "$@" && QOX_AES_FORCE_TABLE=1 run_suite table "${@:2}"
}

# The Windows programs must load on a bare Windows: system DLLs only, with
# the C++ runtime and winpthread linked in.
imports_only_system_dlls() {
  local extra
  extra=$(x86_64-w64-mingw32-objdump -p "$1" | sed -n 's/^\s*DLL Name: //p' |
          grep -viE '^(kernel32|msvcrt|ucrtbase|advapi32|user32|bcrypt|api-ms-win-.*)\.dll$')
  [ -z "$extra" ] || { echo "$1 imports non-system DLLs: $extra"; return 1; }
}

# The path this x86-64 host offers by Linux's own account, which the
# Windows build's probe must find too.
host_x86_provider() {
  local flags
  flags=$(grep -m1 '^flags' /proc/cpuinfo)
  if [[ " $flags " == *" vaes "* && " $flags " == *" avx512f "* ]]; then echo vaes
  elif [[ " $flags " == *" aes "* ]]; then echo aesni
  else echo table; fi
}

failures=()
start=$SECONDS
echo "=== aarch64 under qemu-user (-cpu max: ARMv8 Crypto Extensions)"
if cross_build aarch64 aarch64-linux-gnu &&
   run_both_paths armv8 qemu-aarch64-static -cpu max -L /usr/aarch64-linux-gnu \
     build/cross-aarch64/tests/cpp/aes_tests; then :
else failures+=("aarch64"); fi

echo "=== s390x (big-endian) under qemu-user"
if cross_build s390x s390x-linux-gnu &&
   run_suite table qemu-s390x-static -L /usr/s390x-linux-gnu \
     build/cross-s390x/tests/cpp/aes_tests; then :
else failures+=("s390x"); fi

echo "=== x86-64 Windows (MinGW-w64) under wine64"
if cross_build mingw x86_64-w64-mingw32 &&
   imports_only_system_dlls build/cross-mingw/tests/cpp/aes_tests.exe &&
   run_both_paths "$(host_x86_provider)" qox_wine build/cross-mingw/tests/cpp/aes_tests.exe; then :
else failures+=("mingw"); fi

echo "cross stages took $((SECONDS - start)) s"
if [ ${#failures[@]} -ne 0 ]; then
  echo "cross stages FAILED on: ${failures[*]}"
  exit 1
fi
echo "cross stages passed"
