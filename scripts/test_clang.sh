#!/usr/bin/env bash
# Builds the module with clang++ for the system Python, into a package folder of
# its own (build/clang/python, so the g++ build in the tree stays), and runs the
# Python suite on that build.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup_debian.sh
qox_install_packages
mkdir -p build
package_root=$PWD/build/clang/python
qox_build /usr/bin/python3 clang OFF -DCMAKE_CXX_COMPILER=clang++ -DQOX_PACKAGE_DIR="$package_root/qoxcrypto"
module=$(echo "$package_root"/qoxcrypto/crypto.cpython-*.so)
readelf -p .comment "$module" | grep -q clang || { echo "$module was not compiled by clang"; exit 1; }
QOX_PACKAGE_ROOT=$package_root qox_pytest /usr/bin/python3
