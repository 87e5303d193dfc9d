#!/usr/bin/env bash
# The main job: builds the module for the system Python, then runs the command line
# on the shipped example: a new key, encrypt, inspect, decrypt --pretty, and a check
# that decrypting gives back the original file byte for byte.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup_debian.sh
qox_install_packages
mkdir -p build
qox_build /usr/bin/python3 system OFF >/dev/null
export PYTHONPATH="$PWD${PYTHONPATH:+:$PYTHONPATH}"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
qox() {
  echo
  echo "\$ python3 -m qoxcrypto $*"
  /usr/bin/python3 -m qoxcrypto "$@" 2>&1
}
cp examples/settings.json "$work/settings.json"
cd "$work"
echo "In a temporary folder holding a copy of examples/settings.json:"
qox keygen settings.key
qox encrypt settings.json -o settings.qox --key-file settings.key -v
qox inspect settings.qox --key-file settings.key
qox decrypt settings.qox --key-file settings.key --pretty
qox decrypt settings.qox --key-file settings.key -o roundtrip.json -v
cmp settings.json roundtrip.json
echo
echo "round trip: roundtrip.json is identical to examples/settings.json"
