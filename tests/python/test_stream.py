"""The package layer: same containers as QOXStringCrypto, chunked, with failures that say why."""
import io
import os
import subprocess
import sys

import pytest

from conftest import KEYS, PACKAGE_ROOT, crypto
import qoxcrypto
from qoxcrypto import stream

KEY = KEYS[32]
IV = bytes(range(16, 32))


def reference(key, plain, tag, monkeypatch):
    """QOXStringCrypto's container for that plaintext, with the IV fixed."""
    monkeypatch.setattr(os, "urandom", lambda size: IV)
    try:
        return crypto.QOXStringCrypto(key, tag).encrypt(plain)
    finally:
        monkeypatch.undo()


@pytest.mark.parametrize("tag", [True, False], ids=["tag", "no-tag"])
@pytest.mark.parametrize("size", [0, 15, 16, 47, 3 * 64 + 5])
def test_same_container_as_the_module_through_every_road(tmp_path, monkeypatch, tag, size):
    plain = bytes((i * 7 + size) % 256 for i in range(size))
    key = KEYS[16 + 8 * (size % 3)]
    expected = reference(key, plain, tag, monkeypatch)
    assert qoxcrypto.encrypt(bytearray(key), memoryview(plain), tag=tag, iv=IV) == expected
    # 64-byte chunks: CBC and the HMAC carry over from one chunk to the next.
    written = io.BytesIO()
    stream.encrypt_stream(key, io.BytesIO(plain), written, tag=tag, iv=IV, chunk_size=64)
    assert written.getvalue() == expected
    assert qoxcrypto.decrypt(key, expected, tag=tag) == plain
    back = io.BytesIO()
    stream.decrypt_stream(key, io.BytesIO(expected), back, tag=tag, chunk_size=48)
    assert back.getvalue() == plain
    source, target = tmp_path / "plain", os.fsencode(tmp_path / "c.qox")  # path-like, bytes
    source.write_bytes(plain)
    qoxcrypto.encrypt_file(key, source, target, tag=tag)
    with open(target, "rb") as handle:
        assert handle.read() != expected  # a fresh IV
        handle.seek(0)
        if max(plain, default=0) < 128:  # ASCII: the module reads the file as text
            assert crypto.QOXStringCrypto(key, tag).decrypt(handle.read()) == plain.decode()
    qoxcrypto.decrypt_file(key, target, source, tag=tag)
    assert source.read_bytes() == plain


FAILURES = [
    ("foreign", True, qoxcrypto.NotAContainerError, lambda c: b"{}" + c[2:]),
    ("version 2", True, qoxcrypto.NotAContainerError, lambda c: c[:4] + b"\x02" + c[5:]),
    ("header only", True, qoxcrypto.NotAContainerError, lambda c: c[:20]),
    ("truncated", True, qoxcrypto.DamagedError, lambda c: c[:-1]),
    ("no ciphertext", True, qoxcrypto.DamagedError, lambda c: c[:53]),
    ("changed", True, qoxcrypto.TagMismatchError, lambda c: c[:-1] + bytes([c[-1] ^ 1])),
    ("wrong key", True, qoxcrypto.TagMismatchError, None),
    ("wrong key", False, qoxcrypto.DamagedError, None),
    ("tagged read untagged", False, qoxcrypto.TaggedContainerError, lambda c: c),
]


@pytest.mark.parametrize("case, tag, error, change", FAILURES,
                         ids=["%s-%s" % (case, tag) for case, tag, _, _ in FAILURES])
def test_failures_say_why_and_stay_value_errors(case, tag, error, change):
    plain = b"forty bytes of plaintext, three blocks."
    if change is None:
        container, key = qoxcrypto.encrypt(KEY, plain, tag=tag, iv=IV), KEYS[16]
    else:
        container, key = change(qoxcrypto.encrypt(KEY, plain, iv=IV)), KEY
    with pytest.raises(error) as raised:
        qoxcrypto.decrypt(key, container, tag=tag)
    assert isinstance(raised.value, ValueError)
    # The module agrees that these containers do not open.
    with pytest.raises(ValueError):
        crypto.QOXStringCrypto(key, tag).decrypt(container)


# Peak memory of a child process that encrypts and decrypts a 32 MB file, above what
# it had before: under half the file (whole-file reading took several times the file).
MEMORY_PROBE = """
import os, resource, sys
import qoxcrypto, qoxcrypto.crypto
folder, size = sys.argv[1], int(sys.argv[2])
with open(os.path.join(folder, "big"), "wb") as handle:
    for _ in range(size >> 20):
        handle.write(os.urandom(1 << 20))
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
key = os.urandom(32)
qoxcrypto.encrypt_file(key, os.path.join(folder, "big"), os.path.join(folder, "big.qox"))
from qoxcrypto import cli  # and back through the command line, to a file
os.chdir(folder)
assert cli.main(["decrypt", "big.qox", "-o", "back", "-q"], environ={"QOX_KEY_HEX": key.hex()}) == 0
print((resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) * 1024)
"""


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer's quarantine keeps freed chunks resident")
def test_files_stream_in_bounded_memory(tmp_path):
    size = 32 << 20
    run = subprocess.run([sys.executable, "-c", MEMORY_PROBE, str(tmp_path), str(size)],
                         env=dict(os.environ, PYTHONPATH=PACKAGE_ROOT), capture_output=True)
    assert run.returncode == 0, run.stderr
    assert int(run.stdout) < size // 2
    assert (tmp_path / "big").read_bytes() == (tmp_path / "back").read_bytes()
