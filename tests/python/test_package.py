"""The package's own face: names loaded at first use, the extension importable alone."""
import subprocess
import sys

from conftest import PACKAGE_ROOT


def run(code):
    return subprocess.run([sys.executable, "-c", code], cwd=PACKAGE_ROOT, capture_output=True,
                          text=True, check=True).stdout.split()


def test_importing_the_extension_loads_no_other_part_of_the_package():
    loaded = run("import sys, qoxcrypto.crypto\n"
                 "print(*sorted(m for m in sys.modules if m.startswith('qoxcrypto')))")
    assert loaded == ["qoxcrypto", "qoxcrypto.crypto"]


def test_every_public_name_resolves_and_is_listed():
    # In a fresh process, so that no other test has imported the layer already.
    missing = run("import qoxcrypto\n"
                  "names = qoxcrypto.__all__\n"
                  "print(*[n for n in names if n not in dir(qoxcrypto) or"
                  " getattr(qoxcrypto, n).__name__ != n])\n"
                  "ns = {}\n"
                  "exec('from qoxcrypto import *', ns)\n"
                  "print(*sorted(set(names) - set(ns)))")
    assert missing == []
