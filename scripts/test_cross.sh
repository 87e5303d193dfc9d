#!/usr/bin/env bash
# Builds the engine and its C++ tests for other platforms and runs them there:
# aarch64 under qemu-user with every CPU feature on (the ARMv8 AES path),
# forced onto the bitsliced path, and on a Cortex-A72 with the Crypto
# Extensions switched off (QOX_AES_PATH=vperm: qemu 7.2 gives every ARMv8
# model them, where a Raspberry Pi 4's A72 has none) on the NEON path, s390x (big-endian, bitsliced) under qemu-user,
# and 64-bit Windows with MinGW-w64 under wine64 (with and without its
# hardware paths). GoogleTest is built from source with each compiler. Also
# the extension for aarch64 and the Python suite on Debian's arm64 CPython
# under qemu-user. Fails if any of them fails.
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
# path a failure rather than a row of skips.
run_suite() {
  local provider=$1
  shift
  echo "--- $provider path"
  QOX_EXPECT_PROVIDER=$provider "$@" --gtest_brief=1 2>&1 | tr -d '\r' |
    grep -vE '^Running main|: Skipped$|not available on this CPU$'
}

# The same suite as it is, then forced onto the portable bitsliced path.
run_both_paths() {
  run_suite "$@" && QOX_AES_PATH=bitsliced run_suite bitsliced "${@:2}"
}

# The Windows programs must load on a bare Windows: system DLLs only, with
# the C++ runtime and winpthread linked in.
imports_only_system_dlls() {
  local extra
  extra=$(x86_64-w64-mingw32-objdump -p "$1" | sed -n 's/^\s*DLL Name: //p' |
          grep -viE '^(kernel32|msvcrt|ucrtbase|advapi32|user32|bcrypt|api-ms-win-.*)\.dll$')
  [ -z "$extra" ] || { echo "$1 imports non-system DLLs: $extra"; return 1; }
}

# Debian's arm64 packages the Python suite needs, unpacked into one root
# folder for qemu-user's -L (no binfmt, no foreign architecture added to
# dpkg: apt reads its arm64 lists from a state folder of its own).
arm64_root() {
  local root=build/arm64-root apt=$PWD/build/arm64-apt
  [ -x "$root/usr/bin/python3.11" ] && return 0
  mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial" "$apt/debs" "$root"
  : >"$apt/status"
  cp /etc/apt/sources.list.d/debian.sources "$apt/" 2>/dev/null ||
    cp /etc/apt/sources.list "$apt/debian.list" || return 1
  local opts=(-qq -o APT::Architecture=arm64 -o APT::Architectures::=arm64
              -o Dir::Etc::SourceList=/dev/null -o Dir::Etc::SourceParts="$apt"
              -o Dir::State::Lists="$apt/lists" -o Dir::State::status="$apt/status"
              -o Dir::Cache="$apt/cache")
  apt-get "${opts[@]}" update &&
    (cd "$apt/debs" && apt-get "${opts[@]}" download libc6 libgcc-s1 libstdc++6 libcrypt1 \
       python3.11-minimal libpython3.11-minimal libpython3.11-stdlib libpython3.11-dev \
       libexpat1 zlib1g libffi8 libssl3 libbz2-1.0 liblzma5 libuuid1 2>/dev/null) || return 1
  for deb in "$apt"/debs/*.deb; do dpkg -x "$deb" "$root" || return 1; done
}

# The extension built for aarch64 against the root's headers, in a copy of
# the source tree of its own, so nothing built for this host is picked up.
arm64_suite_tree() {
  local root=build/arm64-root tree=build/arm64-suite
  rm -rf "$tree" && mkdir -p "$tree/obj" "$tree/bin" || return 1
  # The source tree without anything built for this host.
  tar -cf - --exclude=./build --exclude=./.git --exclude=./.hypothesis --exclude='*.so' \
      --exclude=__pycache__ . | tar -xf - -C "$tree" || return 1
  local compile_options link_options
  mapfile -t compile_options < <(python3 build_options.py gnu standard release compile)
  mapfile -t link_options < <(python3 build_options.py gnu link runtime)
  [ ${#compile_options[@]} -gt 0 ] && [ ${#link_options[@]} -gt 0 ] ||
    { echo "build_options.txt gave no gnu options"; return 1; }
  # Two at a time, each into obj/<kind>/ under a name made of its path.
  mkdir -p "$tree/obj/engine" "$tree/obj/module" "$tree/obj/stream"
  awk '$1 == "engine" || $1 == "module" || $1 == "stream" { print $1 "/" $2 }' sources.txt |
    xargs -P 2 -I{} sh -c 'source=${1#*/} object=$2/${1%%/*}/$(echo "${1#*/}" | tr / _).o
                           shift 2; exec "$0" "$@" -c "$source" -o "$object"' \
      aarch64-linux-gnu-g++ {} "$tree/obj" "${compile_options[@]}" -fPIC -I src \
      -I "$root/usr/include/python3.11" -idirafter "$root/usr/include" || return 1
  aarch64-linux-gnu-g++ -shared -o "$tree/qoxcrypto/crypto.cpython-311-aarch64-linux-gnu.so" \
    "$tree"/obj/engine/*.o "$tree"/obj/module/*.o "${link_options[@]}" || return 1
  aarch64-linux-gnu-g++ -shared -o "$tree/qoxcrypto/_engine.cpython-311-aarch64-linux-gnu.so" \
    "$tree"/obj/engine/*.o "$tree"/obj/stream/*.o "${link_options[@]}" || return 1
  # The suite starts interpreters through sys.executable: a host script that
  # runs the emulator, named as the interpreter through qemu's -0.
  local abs_root
  abs_root=$(cd "$root" && pwd)
  printf '#!/bin/sh\nexec qemu-aarch64-static -cpu max -L %s -0 "$0" %s/usr/bin/python3.11 "$@"\n' \
    "$abs_root" "$abs_root" >"$tree/bin/python3.11" && chmod +x "$tree/bin/python3.11"
}

# The parts of the Python suite whose outcome can depend on the machine (the
# engine's bytes on every path, tables, key schedules, containers, streams,
# threads, the import), on the emulated interpreter with Debian's pure-Python
# pytest and hypothesis. The rest (argument binding, the command line's
# subprocesses, property runs, leak measurement) is the same Python code on
# every machine and costs minutes emulated.
arm64_python_suite() {
  (cd build/arm64-suite && PYTHONPATH=/usr/lib/python3/dist-packages bin/python3.11 -m pytest \
     -q -p no:cacheprovider tests/python/test_{cbc,container,dict_json_file,field,key_cache}.py \
     tests/python/test_{key_schedule,tables,stream,threads,module_frame,engine_binding}.py)
}

# The path this x86-64 host offers by Linux's own account, which the
# Windows build's probe must find too.
host_x86_provider() {
  local flags
  flags=$(grep -m1 '^flags' /proc/cpuinfo)
  if [[ " $flags " == *" vaes "* && " $flags " == *" avx512f "* ]]; then echo vaes
  elif [[ " $flags " == *" aes "* ]]; then echo aesni
  elif [[ " $flags " == *" ssse3 "* ]]; then echo ssse3
  else echo bitsliced; fi
}

failures=()
start=$SECONDS
echo "=== aarch64 under qemu-user (-cpu max: ARMv8 Crypto Extensions)"
if cross_build aarch64 aarch64-linux-gnu &&
   run_both_paths armv8 qemu-aarch64-static -cpu max -L /usr/aarch64-linux-gnu \
     build/cross-aarch64/tests/cpp/aes_tests &&
   echo "=== aarch64 under qemu-user (-cpu cortex-a72, Crypto Extensions switched off: NEON)" &&
   QOX_AES_PATH=vperm run_suite neon qemu-aarch64-static -cpu cortex-a72 \
     -L /usr/aarch64-linux-gnu build/cross-aarch64/tests/cpp/aes_tests; then :
else failures+=("aarch64"); fi

echo "=== aarch64 Python suite under qemu-user, Debian's arm64 CPython 3.11"
if arm64_root && arm64_suite_tree && arm64_python_suite; then :
else failures+=("aarch64-python"); fi

echo "=== s390x (big-endian) under qemu-user"
if cross_build s390x s390x-linux-gnu &&
   run_suite bitsliced qemu-s390x-static -L /usr/s390x-linux-gnu \
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
