"""Writes the seed corpora under tests/fuzz/corpus/ (run from anywhere; rewrites the files).

Each seed is a small input in the layout its target reads (see the target's
header comment): the FIPS-197 keys and blocks, the odd key lengths, the
schedule shapes and the PKCS#7 edge cases the engine and the tests care about.
"""
import os
import random

HERE = os.path.dirname(os.path.abspath(__file__))
FIPS_KEYS = {16: bytes(range(16)), 24: bytes(range(24)), 32: bytes(range(32))}
FIPS_BLOCK = bytes.fromhex("00112233445566778899aabbccddeeff")


def cbc_seeds(rng):
    for length, key in FIPS_KEYS.items():
        yield "fips-%d" % length, bytes([0, length]) + key + bytes(16) + FIPS_BLOCK
    for length in (4, 7, 21, 33, 60):
        key = bytes(rng.getrandbits(8) for _ in range(length))
        yield "key-%d" % length, bytes([0, length]) + key + rng.randbytes(16) + rng.randbytes(48)
    for mid_rounds in (0, 1, 13, 31):
        words = rng.randbytes(4 * 4 * (mid_rounds + 2))
        yield "schedule-%d" % mid_rounds, bytes([1, mid_rounds]) + words + rng.randbytes(16 + 32)


def key_schedule_seeds(rng):
    for length, key in FIPS_KEYS.items():
        yield "fips-%d" % length, key
    for length in (0, 1, 3, 4, 5, 20, 28, 33, 64, 100):
        yield "length-%d" % length, rng.randbytes(length)


def pkcs7_seeds(rng):
    block = rng.randbytes(14)
    yield "empty", b""
    yield "short", rng.randbytes(15)
    yield "full-block-pad", bytes([16]) * 16
    yield "two-twos", block + b"\x02\x02"
    yield "pad-zero", block + b"\x01\x00"
    yield "pad-seventeen", block + b"\x01\x11"
    yield "pad-mismatch", rng.randbytes(29) + b"\x02\x03\x03"
    yield "two-blocks", rng.randbytes(27) + bytes([5]) * 5


def main():
    rng = random.Random(197)
    for target, seeds in (("fuzz_cbc", cbc_seeds), ("fuzz_key_schedule", key_schedule_seeds),
                          ("fuzz_pkcs7", pkcs7_seeds)):
        folder = os.path.join(HERE, "corpus", target)
        os.makedirs(folder, exist_ok=True)
        for name, data in seeds(rng):
            with open(os.path.join(folder, name), "wb") as handle:
                handle.write(data)


if __name__ == "__main__":
    main()
