"""Tamper sweep: what every reading road says of containers with one bit flipped.

Tagged containers (text, JSON and binary payloads, 0 B to 4 MiB, log-uniform, so every
padding length 1 to 16 occurs) each get one bit flipped in the header, the tag or the
ciphertext, chosen with equal odds. Each is read by the command line in-process
(`decrypt` to stdout, `inspect --key-file`), by decrypt_stream and decrypt_file, and the
first --subprocesses of them by `python3 -m qoxcrypto decrypt` in a child process. Then
genuine containers without the tag are read with it: text and JSON must get the hint to
use --no-hmac, binary the neutral message. Run from the repository root after building:

    /usr/bin/python3 bench/tamper_sweep.py [--count 10000] [--untagged 1000] [--subprocesses 300]
"""
import argparse
import collections
import contextlib
import io
import json
import os
import random
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)
import qoxcrypto  # noqa: E402
from qoxcrypto import cli  # noqa: E402

HINT, NEUTRAL = b"use --no-hmac", b"binary data cannot tell"
WORDS = ["réglage", "thème", "dark", "値", "volume", "名前", "light", "a", "überall", "42"]


def payload(rng, kind, size):
    """size bytes of that kind: UTF-8 text, a JSON string, or random bytes."""
    if kind == "binary":
        return rng.randbytes(size)
    words = " ".join(rng.choice(WORDS) for _ in range(64)).encode("utf-8")
    text = (words * (size // len(words) + 1))[:size].decode("utf-8", "ignore").encode("utf-8")
    text += b"x" * (size - len(text))
    if kind == "json" and size >= 2:  # a JSON string (the words hold no quote or backslash)
        inner = text[:size - 2].decode("utf-8", "ignore").encode("utf-8")
        text = b'"' + inner + b"x" * (size - 2 - len(inner)) + b'"'
        json.loads(text)
    return text


def flip(rng, container):
    """The container with one bit flipped, and where."""
    region = rng.choice(["header", "tag", "ciphertext"])
    at = {"header": rng.randrange(21), "tag": 21 + rng.randrange(32),
          "ciphertext": 53 + rng.randrange(len(container) - 53)}[region]
    if region == "header":
        region = "magic/version" if at < 5 else "iv"
    changed = bytearray(container)
    changed[at] ^= 1 << rng.randrange(8)
    return bytes(changed), region


@contextlib.contextmanager
def captured():
    """stdout and stderr of cli.main as bytes."""
    out, err = io.BytesIO(), io.BytesIO()
    saved = sys.stdout, sys.stderr
    sys.stdout = io.TextIOWrapper(out, write_through=True)
    sys.stderr = io.TextIOWrapper(err, write_through=True)
    try:
        yield out, err
    finally:
        sys.stdout, sys.stderr = saved


def run_cli(args):
    with captured() as (out, err):
        status = cli.main(args)
        return status, out.getvalue(), err.getvalue()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--count", type=int, default=10000)
    parser.add_argument("--untagged", type=int, default=1000)
    parser.add_argument("--subprocesses", type=int, default=300)
    parser.add_argument("--seed", type=int, default=21)
    options = parser.parse_args()
    rng = random.Random(options.seed)
    key = bytes(rng.randrange(256) for _ in range(32))
    tally = collections.Counter()
    folder = tempfile.mkdtemp(prefix="qox-sweep-")
    key_file, path, out_path = (os.path.join(folder, name) for name in ("k", "c.qox", "out"))
    with open(key_file, "wb") as handle:
        handle.write(key)
    os.chmod(key_file, 0o600)
    child_env = dict(os.environ, PYTHONPATH=ROOT)
    for number in range(options.count):
        kind = rng.choice(["text", "json", "binary"])
        size = min(int(2 ** rng.uniform(0, 22)) - 1, 4 << 20)
        plain = payload(rng, kind, size)
        tally["padding %d" % (16 - len(plain) % 16)] += 1
        changed, region = flip(rng, qoxcrypto.encrypt(key, plain))
        with open(path, "wb") as handle:
            handle.write(changed)
        status, out, err = run_cli(["decrypt", path, "--key-file", key_file])
        tally["%s: decrypt status %d" % (region, status)] += 1
        tally["%s: hint" % region] += HINT in err
        tally["%s: neutral" % region] += NEUTRAL in err
        tally["%s: stdout bytes when refused" % region] += len(out) if status else 0
        status, _, _ = run_cli(["inspect", path, "--key-file", key_file])
        tally["%s: inspect status %d" % (region, status)] += 1
        target = io.BytesIO()
        with contextlib.suppress(ValueError), open(path, "rb") as handle:
            qoxcrypto.decrypt_stream(key, handle, target)
            tally["%s: decrypt_stream opened" % region] += 1
        with contextlib.suppress(ValueError):
            qoxcrypto.decrypt_file(key, path, out_path)
            tally["%s: decrypt_file opened" % region] += 1
        if region != "iv":
            tally["refused: plaintext bytes reaching decrypt_stream's target"] += len(
                target.getvalue())
            tally["refused: decrypt_file targets created"] += os.path.exists(out_path)
        with contextlib.suppress(FileNotFoundError):
            os.unlink(out_path)
        if number < options.subprocesses:
            child = subprocess.run([sys.executable, "-m", "qoxcrypto", "decrypt", path,
                                    "--key-file", key_file], env=child_env,
                                   capture_output=True)
            tally["%s: subprocess decrypt status %d" % (region, child.returncode)] += 1
            tally["%s: subprocess hint" % region] += HINT in child.stderr
            tally["%s: subprocess stdout bytes when refused" % region] += (
                len(child.stdout) if child.returncode else 0)
    for number in range(options.untagged):
        kind = ["text", "json", "binary"][number % 3]
        plain = payload(rng, kind, min(int(2 ** rng.uniform(0, 22)) - 1, 4 << 20))
        with open(path, "wb") as handle:
            handle.write(qoxcrypto.encrypt(key, plain, tag=False))
        status, out, err = run_cli(["decrypt", path, "--key-file", key_file])
        verdict = "hint" if HINT in err else "neutral" if NEUTRAL in err else "other"
        tally["untagged %s read with the tag: status %d, %s" % (
            "binary" if kind == "binary" else "text/JSON", status, verdict)] += 1
        if kind == "binary" and verdict == "hint":  # random bytes this short can be UTF-8
            largest = "untagged binary with the hint: largest payload (bytes)"
            tally[largest] = max(tally[largest], len(plain))
    for line in sorted(tally):
        print("%-70s %d" % (line, tally[line]))


if __name__ == "__main__":
    main()
