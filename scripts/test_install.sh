#!/usr/bin/env bash
# Installs the package as users do, offline, into fresh virtual environments of the
# system Python: `pip install .`, then `pip wheel .` and that wheel into a second one.
# From outside the checkout it then checks each installation: the module imports from
# the venv, exports only PyInit_crypto, carries its C++ runtime, ships its stub and
# py.typed, and the command line (python3 -m qoxcrypto and the qoxcrypto script)
# round-trips a file.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# No network: build with what Debian installed, fetch nothing.
offline=(--no-build-isolation --no-index --no-deps --disable-pip-version-check -q)

echo "--- pip install . into a fresh venv"
/usr/bin/python3 -m venv --system-site-packages "$work/venv"
"$work/venv/bin/python" -m pip install "${offline[@]}" "$root"

echo "--- pip wheel . and the wheel into a second venv"
"$work/venv/bin/python" -m pip wheel "${offline[@]}" -w "$work/wheels" "$root"
wheel=$(echo "$work"/wheels/qoxcrypto-*.whl)
/usr/bin/python3 - "$wheel" <<'PY'
import sys, zipfile
names = zipfile.ZipFile(sys.argv[1]).namelist()
modules = [n for n in names if n.startswith("qoxcrypto/crypto.") and n.endswith(".so")]
assert len(modules) == 1, "want exactly one extension in the wheel: %s" % modules
for wanted in ("crypto.pyi", "py.typed", "__main__.py", "cli.py", "atomic.py", "stream.py", "chunks.py",
               "files.py"):
    assert "qoxcrypto/" + wanted in names, "the wheel lacks qoxcrypto/" + wanted
print("wheel:", sys.argv[1].rsplit("/", 1)[1], "-", len(names), "files")
PY
/usr/bin/python3 -m venv --system-site-packages "$work/venv2"
"$work/venv2/bin/python" -m pip install "${offline[@]}" "$wheel"

cd "$work"  # nothing below may come from the checkout
printf '{"theme": "dark", "name": "张伟"}\n' > plain.json
for venv in venv venv2; do
  python="$work/$venv/bin/python"
  so=$("$python" - "$work/$venv" <<'PY'
import os, sys
import qoxcrypto.crypto as crypto
here = os.path.dirname(crypto.__file__)
assert crypto.__file__.startswith(sys.argv[1]), "imported from " + crypto.__file__
assert os.path.isfile(os.path.join(here, "crypto.pyi")) and os.path.isfile(os.path.join(here, "py.typed"))
box = crypto.QOXStringCrypto(os.urandom(32))
assert box.load_json(box.encrypt_dict({"k": "v"})) == {"k": "v"}
print(crypto.__file__)
PY
)
  exported=$(nm -D --defined-only "$so" | awk '{print $3}')
  [ "$exported" = "PyInit_crypto" ] || { echo "exports of $so: $exported"; exit 1; }
  # Linked like the CMake build: the C++ runtime is inside, not a shared dependency.
  ! readelf -d "$so" | grep -q 'NEEDED.*libstdc++' || { echo "$so needs the shared libstdc++"; exit 1; }
  "$python" -m qoxcrypto keygen "$venv.key" 2>/dev/null
  "$python" -m qoxcrypto encrypt plain.json -o "$venv.qox" --key-file "$venv.key" 2>/dev/null
  "$work/$venv/bin/qoxcrypto" decrypt "$venv.qox" --key-file "$venv.key" > "$venv.json"
  cmp plain.json "$venv.json"
  echo "$venv: $so imports, exports only PyInit_crypto, round-trips through the command line"
done

# The installed stub and the package's inline types are what a type checker sees (PEP 561):
# a wrong argument type is caught in both.
if /usr/bin/python3 -c "import mypy" 2>/dev/null; then
  printf 'import qoxcrypto.crypto as c\nbox = c.QOXStringCrypto(b"k" * 32)\ntext: str = box.decrypt(box.encrypt("x"))\nbox.decrypt("not bytes")\nimport qoxcrypto\nplain: bytes = qoxcrypto.decrypt(bytearray(32), qoxcrypto.encrypt(b"k" * 32, memoryview(b"x")))\nqoxcrypto.encrypt(b"k" * 32, "not bytes")\n' > typed.py
  /usr/bin/python3 -m mypy --python-executable "$work/venv/bin/python" --cache-dir "$work/mypy" \
    typed.py > mypy.out 2>&1 || true
  if grep -q 'typed.py:4: error: Argument 1 to "decrypt"' mypy.out &&
     grep -q 'typed.py:7: error: Argument 2 to "encrypt"' mypy.out && [ "$(grep -c error: mypy.out)" = 2 ]; then
    echo "mypy reads the installed stub"
  else
    cat mypy.out; echo "mypy did not use the installed stub"; exit 1
  fi
fi
echo "install test passed"
