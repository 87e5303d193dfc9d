#!/usr/bin/env bash
# Builds and tests the module: the engine's C++ tests, the Python suite and the
# pip install / wheel test on the system interpreter first, then the Python
# suite on its debug build (reference counts and the C API's own checks) where
# Debian's is installed, on every other CPython 3.8-3.13 found under pyenv, on
# 3.14 and 3.15 in a Debian unstable chroot (with the C++ tests built by its
# g++), on a clang++ build, under AddressSanitizer and
# UndefinedBehaviorSanitizer, a short fuzz run of the engine, its C++ tests
# cross-built for aarch64, s390x and Windows (and the Python suite on aarch64
# under emulation), and the CNG stand-in held against Wine's bcrypt.dll; the
# module is also built for Windows with MinGW-w64 and its exports and imports
# checked. Fails if any of them fails.
set -uo pipefail
cd "$(dirname "$0")/.."
source scripts/setup_debian.sh
qox_install_packages || exit 1
mkdir -p build

failures=()
echo "=== the engine without Python"
bash scripts/check_engine_pure.sh || failures+=("engine-pure")
echo "=== system Python: $(/usr/bin/python3 --version)"
if qox_build /usr/bin/python3 system ON &&
   ctest --test-dir build/system --output-on-failure -j "$(nproc)" &&
   qox_pytest /usr/bin/python3 &&
   echo "=== system Python, engine forced onto its portable bitsliced path" &&
   QOX_AES_PATH=bitsliced qox_pytest /usr/bin/python3 &&
   echo "=== system Python, pip install and wheel into fresh venvs" &&
   bash scripts/test_install.sh; then :
else failures+=("system"); fi

debug_python=$(/usr/bin/python3 -c 'import sys; print("/usr/bin/python%d.%d-dbg" % sys.version_info[:2])')
if [ -x "$debug_python" ]; then
  echo "=== debug interpreter: $debug_python"
  if qox_build "$debug_python" debug OFF -DCMAKE_BUILD_TYPE=Debug &&
     qox_pytest "$debug_python"; then :
  else failures+=("debug"); fi
else
  echo "=== debug interpreter: $debug_python not installed, skipped"
fi

# pyenv says where its interpreters are; without pyenv, its usual place.
if command -v pyenv >/dev/null 2>&1; then pyenv_root=$(pyenv root)
else pyenv_root=${PYENV_ROOT:-$HOME/.pyenv}; fi
for root in "$pyenv_root"/versions/3.{8,9,10,11,12,13}*; do
  python="$root/bin/python3"
  [ -x "$python" ] || continue
  tag="py$(basename "$root")"
  echo "=== $tag"
  # Debian's pure-Python pytest serves every interpreter.
  if qox_build "$python" "$tag" OFF &&
     PYTHONPATH=/usr/lib/python3/dist-packages qox_pytest "$python"; then :
  else failures+=("$tag"); fi
done

echo "=== CPython 3.14 and 3.15 in a Debian unstable chroot, C++ tests with its g++"
bash scripts/test_unstable.sh || failures+=("unstable")

echo "=== clang++: the module built with clang, the Python suite on it"
bash scripts/test_clang.sh || failures+=("clang")

echo "=== Windows: the whole module compiled and linked with MinGW-w64 against CPython's Windows headers"
bash scripts/test_windows_module.sh || failures+=("windows-module")

echo "=== sanitizers: ASan and UBSan over the C++ and Python suites, LSan leak check"
bash scripts/test_sanitizers.sh || failures+=("sanitizers")

echo "=== fuzzing (short run)"
bash scripts/test_fuzz.sh || failures+=("fuzz")

echo "=== cross builds of the engine: aarch64 and s390x under qemu-user, Windows under wine64"
bash scripts/test_cross.sh || failures+=("cross")

echo "=== CNG stand-in against Wine's bcrypt.dll"
bash scripts/test_cng_wine.sh || failures+=("cng-wine")

if [ ${#failures[@]} -ne 0 ]; then
  echo "FAILED on: ${failures[*]}"
  exit 1
fi
echo "all interpreters passed, sanitizers and fuzzers found nothing"
