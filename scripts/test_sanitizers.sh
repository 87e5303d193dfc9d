#!/usr/bin/env bash
# The sanitizer run: the extension, the engine and its C++ tests built with
# AddressSanitizer and UndefinedBehaviorSanitizer into build/asan (the plain
# build in qoxcrypto/ is left alone), then
#   1. the C++ tests,
#   2. the whole Python suite on the system Python against that build,
#   3. a focused leak check: the leak workload under LeakSanitizer.
# Any sanitizer finding aborts its process and fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup_debian.sh
qox_install_packages
mkdir -p build

qox_build /usr/bin/python3 asan ON -DQOX_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
ctest --test-dir build/asan --output-on-failure -j "$(nproc)"

# The interpreter is not instrumented, so the runtime comes first through
# LD_PRELOAD; PYTHONMALLOC=malloc puts every Python object under ASan's eye.
# Leak detection stays off for pytest itself: the interpreter and the test
# dependencies (cffi, cryptography) keep memory until exit by design.
asan_runtime=$(g++ -print-file-name=libasan.so)
export LD_PRELOAD=$asan_runtime PYTHONMALLOC=malloc QOX_PACKAGE_ROOT=$PWD/build/asan/python
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
sanitizer_options=abort_on_error=1:allocator_may_return_null=1:check_initialization_order=1:strict_init_order=1
ASAN_OPTIONS=$sanitizer_options:detect_leaks=0 qox_pytest /usr/bin/python3

# The workload touches only the standard library and the CNG stand-in, so
# whatever LeakSanitizer reports at exit past tests/sanitizers/lsan.supp is
# the module's. Add fast_unwind_on_malloc=0 to ASAN_OPTIONS for whole stacks
# through the interpreter when reading a report (several times slower).
ASAN_OPTIONS=$sanitizer_options:detect_leaks=1 \
LSAN_OPTIONS=suppressions=$PWD/tests/sanitizers/lsan.supp:print_suppressions=0 \
  /usr/bin/python3 tests/python/leak_workload.py 300 --untraced
