#!/usr/bin/env bash
# The short fuzz run of CI: builds the libFuzzer targets with clang
# (ASan + UBSan) into build/fuzz and runs each for a bounded time, starting
# from the seeds in tests/fuzz/corpus/<target>/. New inputs go to
# build/fuzz/work/<target>/, never into the checked-in seeds; a crashing input
# is written to build/fuzz/artifacts/ and fails the run.
#
#   bash scripts/test_fuzz.sh [seconds per target ...]   (default: 30 15 15)
# Longer runs for developers are described in the README.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup_debian.sh
qox_install_packages
mkdir -p build

targets=(fuzz_cbc fuzz_key_schedule fuzz_pkcs7)
seconds=("${1:-30}" "${2:-15}" "${3:-15}")

cmake -S . -B build/fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DQOX_BUILD_FUZZERS=ON $(qox_cmake_launcher) >build/fuzz.configure.log 2>&1 ||
  { cat build/fuzz.configure.log; exit 1; }
cmake --build build/fuzz -j "$(nproc)"

mkdir -p build/fuzz/artifacts
for index in "${!targets[@]}"; do
  target=${targets[$index]}
  mkdir -p "build/fuzz/work/$target"
  log=build/fuzz/$target.log
  if ! "build/fuzz/tests/fuzz/$target" -max_total_time="${seconds[$index]}" -print_final_stats=1 \
       -artifact_prefix="build/fuzz/artifacts/$target-" \
       "build/fuzz/work/$target" "tests/fuzz/corpus/$target" >"$log" 2>&1; then
    tail -n 40 "$log"
    echo "$target: FAILED (input saved under build/fuzz/artifacts/)"
    exit 1
  fi
  executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  echo "$target: ${executions:-?} executions in ${seconds[$index]} s, no finding"
done
