"""AES-256-CBC throughput of _cbc_encrypt/_cbc_decrypt next to the cryptography package.

Run from the repository root after building:  /usr/bin/python3 bench/engine_throughput.py
"""
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

import qoxcrypto.crypto as crypto  # noqa: E402

SIZE = 1 << 20          # 1 MiB per call
MIN_SECONDS = 1.0       # each figure is the best of several runs of at least this long


def throughput(function):
    """Best MB/s (10**6 bytes per second) over five timed runs."""
    best = 0.0
    for _ in range(5):
        calls, start = 0, time.perf_counter()
        while True:
            function()
            calls += 1
            elapsed = time.perf_counter() - start
            if elapsed >= MIN_SECONDS / 5:
                break
        best = max(best, calls * SIZE / elapsed / 1e6)
    return best


def reference_functions(key, iv, data):
    try:
        from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes
    except ImportError:
        return None

    def encrypt():
        encryptor = Cipher(algorithms.AES(key), modes.CBC(iv)).encryptor()
        return encryptor.update(data) + encryptor.finalize()

    def decrypt():
        decryptor = Cipher(algorithms.AES(key), modes.CBC(iv)).decryptor()
        return decryptor.update(data) + decryptor.finalize()

    return encrypt, decrypt


def main():
    key, iv, data = os.urandom(32), os.urandom(16), os.urandom(SIZE)
    enc, dec = crypto._get_key(key)
    ours = (lambda: crypto._cbc_encrypt(enc, iv, data), lambda: crypto._cbc_decrypt(dec, iv, data))
    reference = reference_functions(key, iv, data)
    if reference is not None:
        assert ours[0]() == reference[0]() and ours[1]() == reference[1]()
    print("AES-256-CBC, %d KiB per call, Python %s" % (SIZE // 1024, sys.version.split()[0]))
    print("%-8s %14s %16s %8s" % ("", "qoxcrypto MB/s", "cryptography MB/s", "ratio"))
    for index, direction in enumerate(("encrypt", "decrypt")):
        mine = throughput(ours[index])
        if reference is None:
            print("%-8s %14.1f %16s %8s" % (direction, mine, "n/a", "n/a"))
            continue
        theirs = throughput(reference[index])
        print("%-8s %14.1f %16.1f %7.3fx" % (direction, mine, theirs, mine / theirs))


if __name__ == "__main__":
    main()
