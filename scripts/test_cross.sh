#!/usr/bin/env bash
# Builds the engine and its C++ tests for other platforms and runs them there,
# one stage per platform, named as arguments (all of them without):
#   aarch64      under qemu-user -cpu max (the ARMv8 AES path) and forced onto
#                the bitsliced path, then the extension and the machine-dependent
#                part of the Python suite on Debian's arm64 CPython
#   aarch64-a72  the same engine on the Raspberry Pi 4's Cortex-A72 (NEON
#                without the Crypto Extensions: the vector-permute path)
#   s390x        big-endian, under qemu-user
#   mingw        64-bit Windows with MinGW-w64 under wine64, the hardware path
#                and the bitsliced one
#   i386         natively through the target's loader (qemu-user where the
#                kernel cannot), then the whole Python suite on Debian's i386
#                CPython
#   armhf        under qemu-user, then the machine-dependent part of the
#                Python suite on Debian's armhf CPython
#   ppc64el, riscv64   under qemu-user
# GoogleTest is built from source with each compiler; the CNG stand-in is
# built for each Python target against its own OpenSSL. Fails if any fails.
set -uo pipefail
cd "$(dirname "$0")/.."
source scripts/setup_cross.sh
qox_install_cross_packages || exit 1
mkdir -p build

# Configures and builds build/cross-<name> with cmake/toolchain-<triple>.cmake.
cross_build() {
  local name=$1 triple=$2 dir="build/cross-$1"
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DQOX_ENGINE_ONLY=ON \
        -DQOX_GTEST_SOURCE_DIR=/usr/src/googletest $(qox_cmake_launcher) \
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

# Debian's packages of one architecture (dpkg's name for it) that the Python
# suite needs, unpacked into build/<arch>-root for qemu-user's -L or the
# target's own loader (no binfmt, no foreign architecture added to dpkg: apt
# reads that architecture's lists from a state folder of its own).
debian_root() {
  local arch=$1 root=build/$1-root apt=$PWD/build/$1-apt
  local packages=(libc6 libgcc-s1 libstdc++6 libcrypt1 python3.11-minimal libpython3.11-minimal
                  libpython3.11-stdlib libpython3.11-dev libexpat1 zlib1g libffi8 libssl3 libbz2-1.0
                  liblzma5 libuuid1
                  libssl-dev)  # the CNG stand-in's headers and libcrypto.so
  [ "$(cat "$root/.packages" 2>/dev/null)" = "${packages[*]}" ] && return 0
  rm -rf "$root" "$apt"
  mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial" "$apt/debs" "$root"
  : >"$apt/status"
  cp /etc/apt/sources.list.d/debian.sources "$apt/" 2>/dev/null ||
    cp /etc/apt/sources.list "$apt/debian.list" || return 1
  local opts=(-qq -o APT::Architecture="$arch" -o APT::Architectures::="$arch" -o APT::Sandbox::User=root
              -o Dir::Etc::SourceList=/dev/null -o Dir::Etc::SourceParts="$apt"
              -o Dir::State::Lists="$apt/lists" -o Dir::State::status="$apt/status"
              -o Dir::Cache="$apt/cache")
  apt-get "${opts[@]}" update &&
    (cd "$apt/debs" && apt-get "${opts[@]}" download "${packages[@]}") || return 1
  for deb in "$apt"/debs/*.deb; do dpkg -x "$deb" "$root" || return 1; done
  # qemu-user's -L prefixes only what a guest asks for, not where an
  # absolute link inside the root points: every such link made relative.
  local link target
  while IFS= read -r link; do
    target=$(readlink "$link")
    ln -sfn "$(realpath -ms --relative-to="$(dirname "$link")" "$root$target")" "$link" || return 1
  done < <(find "$root" -type l -lname '/*')
  echo "${packages[*]}" >"$root/.packages"
}

# The extension and the CNG stand-in built for one target against its root's
# headers, in a copy of the source tree of its own (build/<arch>-suite), so
# nothing built for this host is picked up; bin/python3.11 there runs the
# root's interpreter. Arguments: dpkg architecture, compiler triple, Debian's
# multiarch name, and the command line that starts a target program with
# argv[0] given as its next argument (qemu's -0, the loader's --argv0).
suite_tree() {
  local arch=$1 triple=$2 multiarch=$3
  shift 3
  local root=build/$arch-root tree=build/$arch-suite
  rm -rf "$tree" && mkdir -p "$tree/obj" "$tree/bin" "$tree/tests/support/lib" || return 1
  # The source tree without anything built for this host.
  tar -cf - --exclude=./build --exclude=./.git --exclude=./.hypothesis --exclude='*.so' \
      --exclude=__pycache__ . | tar -xf - -C "$tree" || return 1
  local compile_options link_options
  mapfile -t compile_options < <(python3 build_options.py gnu standard release compile)
  mapfile -t link_options < <(python3 build_options.py gnu link runtime)
  [ ${#compile_options[@]} -gt 0 ] && [ ${#link_options[@]} -gt 0 ] ||
    { echo "build_options.txt gave no gnu options"; return 1; }
  # One compiler per core, each object into obj/<kind>/ under a name made of its path.
  mkdir -p "$tree/obj/engine" "$tree/obj/module" "$tree/obj/stream"
  local compiler=("$triple-g++") launcher
  launcher=$(qox_launcher)
  [ -z "$launcher" ] || compiler=("$launcher" "${compiler[@]}")
  awk '$1 == "engine" || $1 == "module" || $1 == "stream" { print $1 "/" $2 }' sources.txt |
    xargs -P "$(nproc)" -I{} sh -c 'source=${1#*/} object=$0/${1%%/*}/$(echo "${1#*/}" | tr / _).o
                                    shift; exec "$@" -c "$source" -o "$object"' \
      "$tree/obj" {} "${compiler[@]}" "${compile_options[@]}" -fPIC -I src \
      -I "$root/usr/include/python3.11" -idirafter "$root/usr/include" || return 1
  "$triple-g++" -shared -o "$tree/qoxcrypto/crypto.cpython-311-$multiarch.so" \
    "$tree"/obj/engine/*.o "$tree"/obj/module/*.o "${link_options[@]}" || return 1
  "$triple-g++" -shared -o "$tree/qoxcrypto/_engine.cpython-311-$multiarch.so" \
    "$tree"/obj/engine/*.o "$tree"/obj/stream/*.o "${link_options[@]}" || return 1
  # The stand-in as tests/support/CMakeLists.txt builds it, with the root's
  # OpenSSL headers first: the cross compilers also search the host's.
  "$triple-g++" -std=c++17 -O2 -Wall -Wextra -shared -fPIC -fvisibility=hidden \
    -fvisibility-inlines-hidden -I "$root/usr/include/$multiarch" -I "$root/usr/include" \
    tests/support/cng_standin.cpp tests/support/standin_knobs.cpp \
    -L "$root/usr/lib/$multiarch" -Wl,-rpath-link,"$root/usr/lib/$multiarch" -lcrypto \
    -Wl,--version-script=tests/support/exports.map \
    -o "$tree/tests/support/lib/libcng_standin.so" || return 1
  # The suite starts interpreters through sys.executable: a host script
  # that runs the target's, named as the interpreter. PYTHONHOME because
  # qemu 7.2 does not apply -L to statx, which 32-bit guests use to find
  # their standard library.
  local abs_root
  abs_root=$(cd "$root" && pwd)
  printf '#!/bin/sh\nPYTHONHOME=%s/usr exec %s "$0" %s/usr/bin/python3.11 "$@"\n' \
    "$abs_root" "${*//@ROOT@/$abs_root}" "$abs_root" >"$tree/bin/python3.11" &&
    chmod +x "$tree/bin/python3.11"
}

# The parts of the Python suite whose outcome can depend on the machine (the
# engine's bytes on every path, tables, key schedules, containers, streams,
# threads, the import, the ctypes calls of the native backend), on the
# target's interpreter with Debian's pure-Python pytest and hypothesis. The
# rest (argument binding, the command line's subprocesses, property runs,
# leak measurement) is the same Python code on every machine and costs
# minutes emulated. With "all", the whole suite; further arguments name more
# files. Spread over the cores: an emulated interpreter is one core's work.
python_suite() {
  local arch=$1 which=$2 files
  shift 2
  if [ "$which" = all ]; then files=(tests/python)
  else
    files=(tests/python/test_{cbc,container,dict_json_file,field,key_cache}.py
           tests/python/test_{key_schedule,tables,stream,threads,module_frame,engine_binding}.py
           tests/python/test_{cng_standin,native_backend}.py "$@")
  fi
  (cd "build/$arch-suite" && PYTHONPATH=/usr/lib/python3/dist-packages bin/python3.11 -m pytest \
     -q -p no:cacheprovider -n "$(nproc)" "${files[@]}")
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

# Whether this kernel runs 32-bit x86 programs; some virtual machines' kernels
# are built without that, and there qemu-i386 runs them.
runs_i386_natively() {
  /usr/i686-linux-gnu/lib/ld-linux.so.2 --version >/dev/null 2>&1
}

# The engine path each CPU must take, one line per stage (QOX_EXPECT_PROVIDER
# of the C++ tests: a probe that misses a path fails rather than skips).
declare -A expected_path=(
  [aarch64]=armv8      # qemu -cpu max: the ARMv8 Crypto Extensions
  [aarch64-a72]=neon   # Cortex-A72, the Raspberry Pi 4's core: NEON without the Crypto Extensions
  [s390x]=bitsliced
  [mingw]="$(host_x86_provider)"
  [i386]=ssse3         # qemu-i386's default CPU has SSSE3 and no AES-NI
  [armhf]=neon
  [ppc64el]=bitsliced
  [riscv64]=bitsliced
)

stage_aarch64() {
  echo "--- engine under qemu-aarch64 -cpu max"
  cross_build aarch64 aarch64-linux-gnu &&
    run_both_paths "${expected_path[aarch64]}" qemu-aarch64-static -cpu max -L /usr/aarch64-linux-gnu \
      build/cross-aarch64/tests/cpp/aes_tests || return 1
  echo "--- Python suite, machine-dependent part, on Debian's arm64 CPython 3.11"
  debian_root arm64 &&
    suite_tree arm64 aarch64-linux-gnu aarch64-linux-gnu qemu-aarch64-static -cpu max -L @ROOT@ -0 &&
    python_suite arm64 machine
}

# qemu's cortex-a72 model has the Crypto Extensions; the Pi 4's cores do not,
# and tests/support/pi4_hwcap.cpp makes the kernel's word say so.
stage_aarch64-a72() {
  echo "--- engine under qemu-aarch64 -cpu cortex-a72, as a Raspberry Pi 4's kernel reports it"
  local preload=$PWD/build/cross-aarch64/pi4_hwcap.so
  cross_build aarch64 aarch64-linux-gnu &&
    aarch64-linux-gnu-g++ -std=c++17 -O2 -Wall -Wextra -shared -fPIC -o "$preload" \
      tests/support/pi4_hwcap.cpp &&
    run_suite "${expected_path[aarch64-a72]}" qemu-aarch64-static -cpu cortex-a72 \
      -L /usr/aarch64-linux-gnu -E LD_PRELOAD="$preload" build/cross-aarch64/tests/cpp/aes_tests
}

stage_s390x() {
  cross_build s390x s390x-linux-gnu &&
    run_suite "${expected_path[s390x]}" qemu-s390x-static -L /usr/s390x-linux-gnu \
      build/cross-s390x/tests/cpp/aes_tests
}

stage_mingw() {
  cross_build mingw x86_64-w64-mingw32 &&
    imports_only_system_dlls build/cross-mingw/tests/cpp/aes_tests.exe &&
    run_both_paths "${expected_path[mingw]}" qox_wine build/cross-mingw/tests/cpp/aes_tests.exe
}

# Natively, i386 runs the whole Python suite. Under qemu-i386 the command
# line's signal tests fail on the emulator's signal delivery and the rest
# costs minutes, so there it runs the machine-dependent part and the
# allocation cases near the 32-bit address space's end.
stage_i386() {
  local engine=(qemu-i386-static -L /usr/i686-linux-gnu) python=(qemu-i386-static -L @ROOT@ -0)
  local suite=(machine tests/python/test_hostile_callers.py tests/python/test_unwritten_bytes.py)
  if runs_i386_natively; then
    engine=(/usr/i686-linux-gnu/lib/ld-linux.so.2 --library-path /usr/i686-linux-gnu/lib)
    python=(@ROOT@/lib/ld-linux.so.2 --library-path @ROOT@/lib/i386-linux-gnu:@ROOT@/usr/lib/i386-linux-gnu
            --argv0)
    suite=(all)
    echo "--- engine, natively through the target's loader"
  else
    echo "--- engine under qemu-i386 (this kernel does not run 32-bit x86 programs)"
  fi
  cross_build i386 i686-linux-gnu &&
    run_suite "${expected_path[i386]}" "${engine[@]}" build/cross-i386/tests/cpp/aes_tests || return 1
  echo "--- Python suite (${suite[0]}) on Debian's i386 CPython 3.11"
  debian_root i386 && suite_tree i386 i686-linux-gnu i386-linux-gnu "${python[@]}" &&
    python_suite i386 "${suite[@]}"
}

stage_armhf() {
  echo "--- engine under qemu-arm"
  cross_build armhf arm-linux-gnueabihf &&
    run_suite "${expected_path[armhf]}" qemu-arm-static -L /usr/arm-linux-gnueabihf \
      build/cross-armhf/tests/cpp/aes_tests || return 1
  echo "--- Python suite, machine-dependent part, on Debian's armhf CPython 3.11"
  debian_root armhf &&
    suite_tree armhf arm-linux-gnueabihf arm-linux-gnueabihf qemu-arm-static -L @ROOT@ -0 &&
    python_suite armhf machine
}

stage_ppc64el() {
  cross_build ppc64el powerpc64le-linux-gnu &&
    run_suite "${expected_path[ppc64el]}" qemu-ppc64le-static -L /usr/powerpc64le-linux-gnu \
      build/cross-ppc64el/tests/cpp/aes_tests
}

stage_riscv64() {
  cross_build riscv64 riscv64-linux-gnu &&
    run_suite "${expected_path[riscv64]}" qemu-riscv64-static -L /usr/riscv64-linux-gnu \
      build/cross-riscv64/tests/cpp/aes_tests
}

# The stages named as arguments, every one without.
stages=("$@")
[ ${#stages[@]} -gt 0 ] || stages=(aarch64 aarch64-a72 s390x mingw i386 armhf ppc64el riscv64)
failures=()
for stage in "${stages[@]}"; do
  declare -F "stage_$stage" >/dev/null || { echo "no cross stage named $stage"; exit 2; }
  start=$SECONDS
  echo "=== cross stage $stage"
  "stage_$stage" || failures+=("$stage")
  echo "cross stage $stage took $((SECONDS - start)) s"
done
if [ ${#failures[@]} -ne 0 ]; then
  echo "cross stages FAILED on: ${failures[*]}"
  exit 1
fi
echo "cross stages passed: ${stages[*]}"
