#!/usr/bin/env bash
# Builds and tests the module: the engine's C++ tests, the Python suite and the
# pip install / wheel test on the system interpreter first, the README's code
# blocks against the installed wheel, then the Python
# suite on its debug build (reference counts and the C API's own checks) where
# Debian's is installed, on every other CPython 3.8-3.13 found under pyenv, on
# 3.14 and 3.15 in a Debian unstable chroot (with the C++ tests built by its
# g++), on a clang++ build, under AddressSanitizer and
# UndefinedBehaviorSanitizer, a short fuzz run of the engine, its C++ tests
# cross-built for aarch64 (also as a Raspberry Pi 4's core), s390x, i386,
# armhf, ppc64el, riscv64 and Windows (and the Python suite on aarch64, i386
# and armhf CPython), and the CNG stand-in held against Wine's bcrypt.dll; the
# module is also built for Windows with MinGW-w64 and its exports and imports
# checked. Fails if any of them fails.
set -uo pipefail
cd "$(dirname "$0")/.."
source scripts/setup_cross.sh
qox_install_packages debootstrap rsync || exit 1
mkdir -p build

# What is mostly downloading and unpacking is made while the first stages
# build: the cross toolchains and emulators (the only apt-get on this
# machine's own packages until they are in), and the unstable chroot.
qox_install_cross_packages >build/cross-packages.log 2>&1 &
cross_packages=$!
bash scripts/test_unstable.sh --prepare >build/unstable-prepare.log 2>&1 &
unstable_prepare=$!

failures=()
timings=()
# Runs one stage: a name, then its command. A failure is recorded; the time
# it took is printed and kept for the summary at the end.
stage() {
  local name=$1 start=$SECONDS
  shift
  "$@" || failures+=("$name")
  timings+=("$(printf '%6d s  %s' $((SECONDS - start)) "$name")")
  echo "--- $name took $((SECONDS - start)) s"
}

system_python() {
  echo "=== system Python: $(/usr/bin/python3 --version)"
  qox_build /usr/bin/python3 system ON &&
    ctest --test-dir build/system --output-on-failure -j "$(nproc)" &&
    qox_pytest /usr/bin/python3 &&
    echo "=== system Python, engine forced onto its portable bitsliced path" &&
    QOX_AES_PATH=bitsliced qox_pytest /usr/bin/python3 &&
    echo "=== system Python, pip install and wheel into fresh venvs" &&
    bash scripts/test_install.sh
}

debug_python() {
  local python
  python=$(/usr/bin/python3 -c 'import sys; print("/usr/bin/python%d.%d-dbg" % sys.version_info[:2])')
  if [ ! -x "$python" ]; then
    echo "=== debug interpreter: $python not installed, skipped"
    return 0
  fi
  echo "=== debug interpreter: $python"
  qox_build "$python" debug OFF -DCMAKE_BUILD_TYPE=Debug && qox_pytest "$python"
}

# One of pyenv's interpreters; Debian's pure-Python pytest serves them all.
pyenv_python() {
  local python=$1 tag=$2
  echo "=== $tag"
  qox_build "$python" "$tag" OFF && PYTHONPATH=/usr/lib/python3/dist-packages qox_pytest "$python"
}

echo "=== the engine without Python"
stage engine-pure bash scripts/check_engine_pure.sh
stage system system_python
echo "=== README: every sh and python block, as pasted, against the installed wheel"
stage readme bash scripts/test_readme.sh
stage debug debug_python

# pyenv says where its interpreters are; without pyenv, its usual place.
if command -v pyenv >/dev/null 2>&1; then pyenv_root=$(pyenv root)
else pyenv_root=${PYENV_ROOT:-$HOME/.pyenv}; fi
for root in "$pyenv_root"/versions/3.{8,9,10,11,12,13}*; do
  [ -x "$root/bin/python3" ] || continue
  stage "py$(basename "$root")" pyenv_python "$root/bin/python3" "py$(basename "$root")"
done

echo "=== CPython 3.14 and 3.15 in a Debian unstable chroot, C++ tests with its g++"
wait "$unstable_prepare" || echo "making the chroot in the background failed; the stage tries again"
cat build/unstable-prepare.log
stage unstable bash scripts/test_unstable.sh
echo "=== clang++: the module built with clang, the Python suite on it"
stage clang bash scripts/test_clang.sh
wait "$cross_packages" || echo "installing the cross packages in the background failed; the stages try again"
cat build/cross-packages.log
echo "=== Windows: the whole module compiled and linked with MinGW-w64 against CPython's Windows headers"
stage windows-module bash scripts/test_windows_module.sh
echo "=== sanitizers: ASan and UBSan over the C++ and Python suites, LSan leak check"
stage sanitizers bash scripts/test_sanitizers.sh
echo "=== fuzzing (short run)"
stage fuzz bash scripts/test_fuzz.sh

# One stage per platform: the engine's C++ tests cross-built and run, and
# where named the extension with the Python suite on Debian's CPython for it.
cross() { echo "=== $2"; stage "$1" bash scripts/test_cross.sh "$1"; }
cross aarch64 "aarch64 under qemu-user -cpu max (ARMv8 path, then bitsliced), Python suite's machine-dependent part"
cross aarch64-a72 "aarch64 as a Raspberry Pi 4: qemu-user -cpu cortex-a72 without the Crypto Extensions"
cross s390x "s390x (big-endian) under qemu-user"
cross mingw "x86-64 Windows (MinGW-w64) under wine64"
cross i386 "i386: natively or under qemu-user, Python suite on Debian's i386 CPython"
cross armhf "armhf under qemu-user, Python suite's machine-dependent part on Debian's armhf CPython"
cross ppc64el "ppc64el under qemu-user"
cross riscv64 "riscv64 under qemu-user"

echo "=== CNG stand-in against Wine's bcrypt.dll"
stage cng-wine bash scripts/test_cng_wine.sh

echo "=== time per stage"
printf '%s\n' "${timings[@]}"
echo "$(printf '%6d s' "$SECONDS")  in all"
if [ ${#failures[@]} -ne 0 ]; then
  echo "FAILED on: ${failures[*]}"
  exit 1
fi
echo "all interpreters passed, sanitizers and fuzzers found nothing"
