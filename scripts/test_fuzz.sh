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
# One target for its time, its verdict on a line of its own.
fuzz_one() {
  local target=${targets[$1]} seconds=${seconds[$1]}
  local log=build/fuzz/$target.log executions
  mkdir -p "build/fuzz/work/$target"
  if ! "build/fuzz/tests/fuzz/$target" -max_total_time="$seconds" -print_final_stats=1 \
       -artifact_prefix="build/fuzz/artifacts/$target-" \
       "build/fuzz/work/$target" "tests/fuzz/corpus/$target" >"$log" 2>&1; then
    tail -n 40 "$log"
    echo "$target: FAILED (input saved under build/fuzz/artifacts/)"
    return 1
  fi
  executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  echo "$target: ${executions:-?} executions in $seconds s, no finding"
}

# A fuzzer is one process on one core: the targets run side by side, one per core.
running=0 failed=0
for index in "${!targets[@]}"; do
  if [ "$running" -ge "$(nproc)" ]; then
    wait -n || failed=1
    running=$((running - 1))
  fi
  fuzz_one "$index" &
  running=$((running + 1))
done
while [ "$running" -gt 0 ]; do
  wait -n || failed=1
  running=$((running - 1))
done
exit "$failed"
