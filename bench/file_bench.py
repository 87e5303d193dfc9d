"""File to file and in memory, CPU time (user + sys) medians against peers in the same run.

  /usr/bin/python3 bench/file_bench.py [--size-mib 1024] [--memory-mib 256] [--runs 3]

File to file: `qoxcrypto encrypt` (tagged) against `openssl enc -aes-256-cbc` (no MAC at all),
and `qoxcrypto decrypt` (verifying the tag) against `openssl enc -d` plus `openssl dgst -sha256
-hmac` over openssl's ciphertext; each a fresh process, its CPU time read from the kernel. In memory:
encrypt_stream / decrypt_stream between BytesIO objects against QOXStringCrypto.encrypt and
qoxcrypto.decrypt on the same data, in this process. Run from the repository root after building.
"""
import argparse
import io
import os
import resource
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)


def child_cpu(command, **kwargs):
    """CPU seconds (user + sys) of one child process run to its end."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    subprocess.run(command, check=True, cwd=ROOT, **kwargs)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


def own_cpu(action):
    start = time.process_time()
    action()
    return time.process_time() - start


def report(rows, runs):
    """rows: [(label, [seconds], peer label or None)]: medians, and ratios to the peer row."""
    medians = {label: statistics.median(samples) for label, samples, _ in rows}
    for label, samples, peer in rows:
        ratio = "" if peer is None else "  %.2fx the CPU time of %s" % (
            medians[label] / medians[peer], peer)
        print("  %-44s median %7.3f s of %d (%s)%s" % (
            label, medians[label], runs, ", ".join("%.3f" % s for s in samples), ratio))


def file_to_file(work, size_mib, runs):
    key = os.urandom(32)
    iv = os.urandom(16)
    plain, sealed, opened, ossl_sealed = (os.path.join(work, name) for name in
                                          ("plain", "sealed", "opened", "ossl_sealed"))
    key_file = os.path.join(work, "key")
    with open(os.open(key_file, os.O_WRONLY | os.O_CREAT, 0o600), "wb") as handle:
        handle.write(key)
    with open(plain, "wb") as handle:
        for _ in range(size_mib):
            handle.write(os.urandom(1 << 20))
    qox = [sys.executable, "-m", "qoxcrypto"]
    ossl_key = ["-K", key.hex(), "-iv", iv.hex()]
    samples = {name: [] for name in ("qox enc", "openssl enc", "qox dec", "openssl dec+hmac")}
    for _ in range(runs):  # interleaved, so that every command sees the same machine
        samples["qox enc"].append(child_cpu(qox + ["encrypt", "--key-file", key_file, "--force",
                                                   "-q", plain, "-o", sealed]))
        samples["openssl enc"].append(child_cpu(["openssl", "enc", "-aes-256-cbc"] + ossl_key
                                                + ["-in", plain, "-out", ossl_sealed]))
        samples["qox dec"].append(child_cpu(qox + ["decrypt", "--key-file", key_file, "--force",
                                                   "-q", sealed, "-o", opened]))
        samples["openssl dec+hmac"].append(
            child_cpu(["openssl", "dgst", "-sha256", "-mac", "HMAC", "-macopt",
                       "hexkey:" + key.hex(), ossl_sealed], stdout=subprocess.DEVNULL)
            + child_cpu(["openssl", "enc", "-d", "-aes-256-cbc"] + ossl_key
                        + ["-in", ossl_sealed, "-out", opened]))
    print("file to file, %d MiB:" % size_mib)
    report([("openssl enc -aes-256-cbc (no MAC)", samples["openssl enc"], None),
            ("qoxcrypto encrypt (tagged)", samples["qox enc"], "openssl enc -aes-256-cbc (no MAC)"),
            ("openssl enc -d + dgst -hmac", samples["openssl dec+hmac"], None),
            ("qoxcrypto decrypt (verified)", samples["qox dec"], "openssl enc -d + dgst -hmac")],
           runs)


def in_memory(size_mib, runs):
    import qoxcrypto
    import qoxcrypto.crypto as crypto
    key = os.urandom(32)
    data = os.urandom(size_mib << 20)
    box = crypto.QOXStringCrypto(key, True)
    container = box.encrypt(data)
    samples = {name: [] for name in ("module enc", "stream enc", "package dec", "stream dec")}
    for _ in range(runs):
        samples["module enc"].append(own_cpu(lambda: box.encrypt(data)))
        samples["stream enc"].append(own_cpu(
            lambda: qoxcrypto.encrypt_stream(key, io.BytesIO(data), io.BytesIO())))
        samples["package dec"].append(own_cpu(lambda: qoxcrypto.decrypt(key, container)))
        samples["stream dec"].append(own_cpu(
            lambda: qoxcrypto.decrypt_stream(key, io.BytesIO(container), io.BytesIO())))
    print("in memory, %d MiB (throughput ratio = peer's CPU time / ours):" % size_mib)
    report([("QOXStringCrypto.encrypt", samples["module enc"], None),
            ("encrypt_stream", samples["stream enc"], "QOXStringCrypto.encrypt"),
            ("qoxcrypto.decrypt", samples["package dec"], None),
            ("decrypt_stream", samples["stream dec"], "qoxcrypto.decrypt")], runs)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size-mib", type=int, default=1024)
    parser.add_argument("--memory-mib", type=int, default=256)
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as work:
        file_to_file(work, args.size_mib, args.runs)
    in_memory(args.memory_mib, args.runs)


if __name__ == "__main__":
    main()
