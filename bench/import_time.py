"""Import cost of qoxcrypto.crypto, median over fresh interpreter processes.

Reports the module's own time from -X importtime (its standard-library
dependencies are imported first, so only the module itself is measured), then the
whole `import qoxcrypto.crypto` (the package's __init__ and the extension's own
imports included) next to `import cryptography.hazmat.primitives.ciphers` in the
same run, each timed inside a fresh interpreter.
Run from the repository root after building:  /usr/bin/python3 bench/import_time.py
"""
import os
import re
import statistics
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CODE = "import os, json, hmac, struct, hashlib, typing, qoxcrypto; import qoxcrypto.crypto"
WHOLE = "import time; t = time.perf_counter(); import %s; print(time.perf_counter() - t)"
PEERS = ["qoxcrypto.crypto", "cryptography.hazmat.primitives.ciphers"]


def own_import_microseconds():
    result = subprocess.run([sys.executable, "-X", "importtime", "-c", CODE], cwd=ROOT,
                            capture_output=True, text=True, check=True)
    line = next(l for l in result.stderr.splitlines() if l.endswith("| qoxcrypto.crypto"))
    return int(re.search(r"import time:\s+(\d+)", line).group(1))


def whole_import_seconds(module):
    result = subprocess.run([sys.executable, "-c", WHOLE % module], cwd=ROOT,
                            capture_output=True, text=True, check=True)
    return float(result.stdout)


def main():
    samples = [own_import_microseconds() for _ in range(31)]
    print("import qoxcrypto.crypto (own time, %d fresh processes): median %.2f ms, "
          "min %.2f ms, max %.2f ms" % (len(samples), statistics.median(samples) / 1000,
                                        min(samples) / 1000, max(samples) / 1000))
    whole = {module: [] for module in PEERS}
    for _ in range(15):  # interleaved, so that both see the same machine
        for module in PEERS:
            try:
                whole[module].append(whole_import_seconds(module))
            except subprocess.CalledProcessError:
                pass  # that peer is not installed
    for module in PEERS:
        if whole[module]:
            print("import %-40s (whole, %d fresh processes): median %.2f ms" % (
                module, len(whole[module]), statistics.median(whole[module]) * 1000))
    if all(whole.values()):
        print("ratio qoxcrypto.crypto / cryptography ciphers: %.2f" % (
            statistics.median(whole[PEERS[0]]) / statistics.median(whole[PEERS[1]])))


if __name__ == "__main__":
    main()
