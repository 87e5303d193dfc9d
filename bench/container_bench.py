"""Container encrypt/decrypt of this module against the same container built on peers.

Each peer builds exactly the .qox container (PKCS#7, AES-256-CBC with a random
IV, HMAC-SHA256 of the ciphertext keyed with the AES key) and reads it back
with the same checks and the UTF-8 decode. Runs are interleaved in one
process; figures are medians of CPU time (time.process_time), which a busy
shared machine disturbs far less than the wall clock; --wall measures the wall
clock instead. Run from the repository root after building:

    /usr/bin/python3 bench/container_bench.py [--quick] [--wall]
"""
import hashlib
import hmac
import os
import statistics
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

import qoxcrypto.crypto as crypto  # noqa: E402

SIZES = [16, 256, 4 << 10, 64 << 10, 1 << 20, 16 << 20]
HEADER = b"QOX1\x01"


def container_functions_cryptography(key):
    try:
        from cryptography.hazmat.primitives import padding
        from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes
    except ImportError:
        return None
    algorithm = algorithms.AES(key)

    def encrypt(text):
        data = text.encode("utf-8")
        iv = os.urandom(16)
        padder = padding.PKCS7(128).padder()
        padded = padder.update(data) + padder.finalize()
        encryptor = Cipher(algorithm, modes.CBC(iv)).encryptor()
        ciphertext = encryptor.update(padded) + encryptor.finalize()
        tag = hmac.new(key, ciphertext, hashlib.sha256).digest()
        return HEADER + iv + tag + ciphertext

    def decrypt(blob):
        if len(blob) < 21 or blob[:4] != b"QOX1" or blob[4] != 1:
            raise ValueError("not a container")
        iv, tag, ciphertext = blob[5:21], blob[21:53], blob[53:]
        if not hmac.compare_digest(tag, hmac.new(key, ciphertext, hashlib.sha256).digest()):
            raise ValueError("tag")
        decryptor = Cipher(algorithm, modes.CBC(iv)).decryptor()
        padded = decryptor.update(ciphertext) + decryptor.finalize()
        unpadder = padding.PKCS7(128).unpadder()
        return (unpadder.update(padded) + unpadder.finalize()).decode("utf-8")

    return encrypt, decrypt


def container_functions_pycryptodome(key):
    try:  # Debian ships it as Cryptodome
        from Cryptodome.Cipher import AES
        from Cryptodome.Util.Padding import pad, unpad
    except ImportError:
        try:
            from Crypto.Cipher import AES
            from Crypto.Util.Padding import pad, unpad
        except ImportError:
            return None

    def encrypt(text):
        iv = os.urandom(16)
        ciphertext = AES.new(key, AES.MODE_CBC, iv).encrypt(pad(text.encode("utf-8"), 16))
        return HEADER + iv + hmac.new(key, ciphertext, hashlib.sha256).digest() + ciphertext

    def decrypt(blob):
        iv, tag, ciphertext = blob[5:21], blob[21:53], blob[53:]
        if not hmac.compare_digest(tag, hmac.new(key, ciphertext, hashlib.sha256).digest()):
            raise ValueError("tag")
        return unpad(AES.new(key, AES.MODE_CBC, iv).decrypt(ciphertext), 16).decode("utf-8")

    return encrypt, decrypt


def median_seconds(function, argument, budget, clock):
    """Median time of one call, over repeats that fill about `budget` seconds."""
    start = clock()
    function(argument)
    once = max(clock() - start, 1e-7)
    inner = max(1, int(0.002 / once))          # batch tiny calls
    repeats = max(5, min(200, int(budget / (once * inner))))
    samples = []
    for _ in range(repeats):
        start = clock()
        for _ in range(inner):
            function(argument)
        samples.append((clock() - start) / inner)
    return statistics.median(samples)


def main():
    quick = "--quick" in sys.argv
    wall = "--wall" in sys.argv
    clock = time.perf_counter if wall else time.process_time
    key = os.urandom(32)
    box = crypto.QOXStringCrypto(key)
    contenders = {"qoxcrypto": (box.encrypt, box.decrypt)}
    for name, maker in (("cryptography", container_functions_cryptography),
                        ("pycryptodome", container_functions_pycryptodome)):
        functions = maker(key)
        if functions is not None:
            contenders[name] = functions
    peers = [name for name in contenders if name != "qoxcrypto"]
    print("Python %s; AES-256-CBC + HMAC-SHA256 container; median %s time per call"
          % (sys.version.split()[0], "wall-clock" if wall else "CPU"))
    print("%-6s %-8s" % ("size", "op") + "".join("%16s" % n for n in contenders)
          + "%14s" % "ours/best")
    for size in SIZES[:-1] if quick else SIZES:
        text = "x" * size
        blobs = {name: functions[0](text) for name, functions in contenders.items()}
        for name, functions in contenders.items():  # every reader reads every writer
            for blob in blobs.values():
                assert functions[1](blob) == text, name
        budget = 0.3 if quick else 1.0
        for op in (0, 1):
            times = {name: [] for name in contenders}
            for _ in range(3):  # interleave the contenders
                for name, functions in contenders.items():
                    argument = text if op == 0 else blobs[name]
                    times[name].append(median_seconds(functions[op], argument, budget / 3, clock))
            medians = {name: statistics.median(values) for name, values in times.items()}
            best_peer = min((medians[name] for name in peers), default=None)
            label = "%dB" % size if size < 1024 else ("%dK" % (size >> 10) if size < 1 << 20
                                                     else "%dM" % (size >> 20))
            row = "%-6s %-8s" % (label, ("encrypt", "decrypt")[op])
            row += "".join("%13.1f us" % (medians[name] * 1e6) for name in contenders)
            row += "%14s" % ("%.2fx" % (medians["qoxcrypto"] / best_peer) if best_peer else "-")
            print(row)


if __name__ == "__main__":
    main()
