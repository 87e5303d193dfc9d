"""Import cost of qoxcrypto.crypto, median over fresh interpreter processes.

Reports the module's own time from -X importtime (its standard-library
dependencies are imported first, so only the module itself is measured).
Run from the repository root after building:  /usr/bin/python3 bench/import_time.py
"""
import os
import re
import statistics
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CODE = "import os, json, hmac, struct, hashlib, typing, qoxcrypto; import qoxcrypto.crypto"


def own_import_microseconds():
    result = subprocess.run([sys.executable, "-X", "importtime", "-c", CODE], cwd=ROOT,
                            capture_output=True, text=True, check=True)
    line = next(l for l in result.stderr.splitlines() if l.endswith("| qoxcrypto.crypto"))
    return int(re.search(r"import time:\s+(\d+)", line).group(1))


def main():
    samples = [own_import_microseconds() for _ in range(31)]
    print("import qoxcrypto.crypto (own time, %d fresh processes): median %.2f ms, "
          "min %.2f ms, max %.2f ms" % (len(samples), statistics.median(samples) / 1000,
                                        min(samples) / 1000, max(samples) / 1000))


if __name__ == "__main__":
    main()
