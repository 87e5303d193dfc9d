#!/usr/bin/env bash
# Holds the CNG stand-in against a second implementation of the interface,
# Wine's bcrypt.dll: one scenario program (tests/cng/scenario.cpp) is built for
# Linux against the stand-in and for Windows with MinGW-w64, both run, and the
# transcripts must agree except where tests/cng/known_differences.txt says why.
set -uo pipefail
cd "$(dirname "$0")/.."
source scripts/setup_debian.sh
source scripts/setup_cross.sh
# Wine's bcrypt does its AES through GnuTLS, which libwine only recommends.
qox_install_cross_packages libgnutls30 || exit 1

out=build/cng
mkdir -p "$out"
cmake -S . -B "$out" -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE=/usr/bin/python3 \
      -DQOX_BUILD_CPP_TESTS=OFF >"$out.configure.log" 2>&1 || { cat "$out.configure.log"; exit 1; }
cmake --build "$out" -j "$(nproc)" --target cng_scenario || exit 1
x86_64-w64-mingw32-g++-posix -std=c++17 -O2 -Wall -Wextra -Werror -static \
  -o "$out/cng_scenario.exe" tests/cng/scenario.cpp -lbcrypt || exit 1

"$out/tests/support/cng_scenario" >"$out/standin.txt" || { echo "stand-in scenario failed"; exit 1; }
# Wine and GnuTLS talk on stderr; the transcript is stdout alone.
qox_wine "$out/cng_scenario.exe" >"$out/wine.txt" 2>"$out/wine.log" ||
  { cat "$out/wine.log"; echo "Windows scenario failed under Wine"; exit 1; }
python3 tests/cng/compare_transcripts.py tests/cng/known_differences.txt \
  "$out/standin.txt" "$out/wine.txt"
