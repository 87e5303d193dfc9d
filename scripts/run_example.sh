#!/usr/bin/env bash
# The main job: builds the module for the system Python and runs the example.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup_debian.sh
qox_install_packages
mkdir -p build
qox_build /usr/bin/python3 system OFF >/dev/null
PYTHONPATH="$PWD${PYTHONPATH:+:$PYTHONPATH}" /usr/bin/python3 examples/settings_roundtrip.py
