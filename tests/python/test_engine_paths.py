"""The engine's hardware and table paths give the same bytes, also across threads."""
import hashlib
import os
import random
import subprocess
import sys
import threading

import qoxcrypto.crypto as crypto
from conftest import ROOT

# Computes a digest of many CBC results; run here and under the forced table path.
WORKLOAD = r"""
import hashlib, json, random, sys
import qoxcrypto.crypto as crypto
rng = random.Random(1234)
digest = hashlib.sha256()
for case in range(60):
    key = bytes(rng.getrandbits(8) for _ in range(rng.choice((16, 24, 32))))
    enc, dec = crypto._expand_key(key)
    if case % 3 == 0:  # a schedule with a non-standard number of middle rounds
        enc = (enc[0], enc[1], enc[2][: rng.randint(0, len(enc[2]))], enc[3])
        dec = (dec[0], dec[1], dec[2][: rng.randint(0, len(dec[2]))], dec[3])
    iv = bytes(rng.getrandbits(8) for _ in range(16))
    data = bytes(rng.getrandbits(8) for _ in range(16 * rng.randint(1, 300)))
    digest.update(crypto._cbc_encrypt(enc, iv, data))
    digest.update(crypto._cbc_decrypt(dec, iv, data))
big = bytes(range(256)) * 4096  # 1 MiB: runs with the GIL released
enc, dec = crypto._get_key(bytes(32))
digest.update(crypto._cbc_encrypt(enc, bytes(16), big) + crypto._cbc_decrypt(dec, bytes(16), big))
print(digest.hexdigest())
"""


def run_workload(force_table):
    env = dict(os.environ)
    env.pop("QOX_AES_FORCE_TABLE", None)
    if force_table:
        env["QOX_AES_FORCE_TABLE"] = "1"
    result = subprocess.run([sys.executable, "-c", WORKLOAD], cwd=ROOT, env=env,
                            capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    return result.stdout.strip()


def test_hardware_and_table_paths_agree():
    assert run_workload(force_table=False) == run_workload(force_table=True)


def test_threads_on_large_inputs_get_correct_results():
    rng = random.Random(5)
    jobs = []
    for _ in range(6):
        key = bytes(rng.getrandbits(8) for _ in range(32))
        iv = bytes(rng.getrandbits(8) for _ in range(16))
        data = bytes(rng.getrandbits(8) for _ in range(16 * 8192))  # 128 KiB
        enc, dec = crypto._get_key(key)
        jobs.append((enc, dec, iv, data, crypto._cbc_encrypt(enc, iv, data)))
    failures = []

    def work(enc, dec, iv, data, expected):
        for _ in range(20):
            ciphertext = crypto._cbc_encrypt(enc, iv, data)
            if ciphertext != expected or crypto._cbc_decrypt(dec, iv, ciphertext) != data:
                failures.append(hashlib.sha256(ciphertext).hexdigest())

    threads = [threading.Thread(target=work, args=job) for job in jobs]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == []
