"""Instructions per container call at small sizes, counted by callgrind.

Times of a microsecond drown in the noise of a shared machine; instruction
counts repeat. Each operation runs in two fresh interpreters under
`valgrind --tool=callgrind`, N and 2N calls after a warm-up; the difference
divided by N is the cost of one call, start-up excluded. Run from the
repository root after building (needs valgrind):

    /usr/bin/python3 bench/callgrind_per_call.py [size ...]    # default 16 256
"""
import os
import re
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CALLS = 2000
SCRIPT = """
import os, sys
import qoxcrypto.crypto as crypto
box = crypto.QOXStringCrypto(bytes(range(32)))
text = "x" * {size}
blob = box.encrypt(text)
op = box.encrypt if "{op}" == "encrypt" else box.decrypt
arg = text if "{op}" == "encrypt" else blob
for _ in range(50):
    op(arg)
for _ in range({calls}):
    op(arg)
"""


def instructions(op, size, calls):
    code = SCRIPT.format(op=op, size=size, calls=calls)
    result = subprocess.run(
        ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", sys.executable,
         "-c", code], cwd=ROOT, capture_output=True, text=True, check=True)
    match = re.search(r"Collected\s*:\s*(\d+)", result.stderr) or \
        re.search(r"I\s+refs:\s*([\d,]+)", result.stderr)
    return int(match.group(1).replace(",", ""))


def main():
    sizes = [int(a) for a in sys.argv[1:]] or [16, 256]
    print("instructions per call (callgrind, %d vs %d calls)" % (CALLS, 2 * CALLS))
    for size in sizes:
        for op in ("encrypt", "decrypt"):
            per_call = (instructions(op, size, 2 * CALLS) - instructions(op, size, CALLS)) / CALLS
            print("%-8s %6d B  %8.0f" % (op, size, per_call))


if __name__ == "__main__":
    main()
