"""The package layer: same containers as QOXStringCrypto, chunked, with failures that say why."""
import errno
import io
import json
import os
import subprocess
import sys
import tempfile

import pytest

from conftest import KEYS, PACKAGE_ROOT, crypto
import qoxcrypto
from qoxcrypto import atomic, stream

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


# Tampering: every road that reads a tagged container refuses it, and none hands a byte
# of its plaintext to the caller's target. The verdict follows the evidence: a hint at a
# missing tag only when, read without one, the whole plaintext is UTF-8 text.
TEXT = "réglages: " + "x" * 300
PAYLOADS = {"text": TEXT.encode(), "json": json.dumps({"k": TEXT}).encode(),
            "binary": bytes(range(256)) * 2, "short binary": bytes(range(200, 220))}
NEUTRAL = "written without the tag ("


class Pipe(io.RawIOBase):
    """A source that cannot seek back."""

    def __init__(self, data):
        self._data = io.BytesIO(data)

    def readable(self):
        return True

    def readinto(self, buffer):
        chunk = self._data.read(len(buffer))
        buffer[:len(chunk)] = chunk
        return len(chunk)


def open_every_road(container, tmp_path):
    """Yields (road, error or None, bytes the target received) for each reading road."""
    for road in ("decrypt", "stream", "pipe", "file"):
        target, error = io.BytesIO(), None
        try:
            if road == "decrypt":
                target.write(qoxcrypto.decrypt(KEY, container))
            elif road == "file":
                (tmp_path / "c.qox").write_bytes(container)
                (tmp_path / "out").write_bytes(b"old")
                try:
                    qoxcrypto.decrypt_file(KEY, tmp_path / "c.qox", tmp_path / "out")
                finally:
                    target.write((tmp_path / "out").read_bytes().replace(b"old", b"", 1))
            else:
                source = io.BytesIO(container) if road == "stream" else Pipe(container)
                stream.decrypt_stream(KEY, source, target, chunk_size=64)
        except ValueError as raised:
            error = raised
        yield road, error, target.getvalue()


@pytest.mark.parametrize("payload", sorted(PAYLOADS))
@pytest.mark.parametrize("where", ["tag", "first block", "middle", "last block", "wrong key",
                                   "untagged"])
def test_tamper_verdicts_and_no_plaintext_before_the_tag(tmp_path, payload, where):
    plain = PAYLOADS[payload]
    container = bytearray(qoxcrypto.encrypt(KEYS[16] if where == "wrong key" else KEY, plain,
                                            tag=where != "untagged", iv=IV))
    at = {"tag": 30, "first block": 53, "middle": len(container) // 2,
          "last block": len(container) - 9}.get(where)
    if at is not None:
        container[at] ^= 0x10
    # Read without the tag, binary data cannot tell its three stories apart. A wrong key
    # breaks the padding, and text from byte 48 on shows a tag was there: the usual two.
    # (Elsewhere the flipped bit decides whether the padding still holds.)
    binary = payload.endswith("binary")
    neutral = {"untagged": True, "tag": binary, "wrong key": False}.get(where)
    # 53 bytes without the tag are too short for one with it: damaged, or untagged.
    expected = (qoxcrypto.DamagedError if where == "untagged" and payload == "short binary"
                else qoxcrypto.UntaggedContainerError if where == "untagged" and not binary
                else qoxcrypto.TagMismatchError)
    for road, error, received in open_every_road(bytes(container), tmp_path):
        assert received == b"" and type(error) is expected, (road, error)
        if expected is not qoxcrypto.UntaggedContainerError:
            assert neutral is None or (NEUTRAL in str(error)) == neutral, (road, str(error))


def test_the_second_pass_reads_what_the_first_verified(tmp_path):
    """A file rewritten between the tag pass and the decryption pass, or a Decryptor used
    out of turn, releases nothing unverified."""
    good = qoxcrypto.encrypt(KEY, PAYLOADS["binary"])
    swapped = bytearray(good)
    swapped[-40] ^= 1

    class Swapping(io.BytesIO):
        def seek(self, *where):  # the writer strikes as the reader goes back
            self.getbuffer()[:] = swapped
            return io.BytesIO.seek(self, *where)
    target = tmp_path / "out"
    with pytest.raises(qoxcrypto.TagMismatchError, match="changed while it was read"):
        with atomic.Output(target) as output:
            stream.decrypt_stream(KEY, Swapping(good), output)
    assert not target.exists() and os.listdir(str(tmp_path)) == []

    box = qoxcrypto.Decryptor(KEY)
    with pytest.raises(ValueError, match="only after verify"):
        box.update(good)
    with pytest.raises(ValueError, match="finished"):  # a call that raised ends it
        box.check(good)
    box = qoxcrypto.Decryptor(KEY)
    box.check(good)
    box.verify()
    assert box.update(good) + box.finish() == PAYLOADS["binary"]
    for late in (lambda: box.finish(), lambda: box.update(good), lambda: box.verify()):
        with pytest.raises(ValueError, match="finished"):
            late()
    quick = qoxcrypto.Decryptor.unverified(KEY)  # by name: plaintext first, verdict last
    assert quick.update(bytes(swapped)) and pytest.raises(qoxcrypto.TagMismatchError,
                                                          quick.finish)


def test_a_pipe_is_spooled_as_ciphertext_and_a_full_disk_named(monkeypatch):
    container = qoxcrypto.encrypt(KEY, PAYLOADS["text"])
    kept = []
    monkeypatch.setattr(stream._Spool, "__exit__",
                        lambda self, *exc: kept.append(self._file.seek(0) or self._file.read()))
    target = io.BytesIO()
    stream.decrypt_stream(KEY, Pipe(container), target)
    assert target.getvalue() == PAYLOADS["text"] and kept == [container]

    class Full(io.BytesIO):
        def write(self, data):
            raise OSError(errno.ENOSPC, "No space left on device")
    monkeypatch.setattr(tempfile, "SpooledTemporaryFile", lambda *args, **options: Full())
    with pytest.raises(OSError) as raised:
        stream.decrypt_stream(KEY, Pipe(container), io.BytesIO())
    assert (raised.value.errno, raised.value.filename) == (errno.ENOSPC, tempfile.gettempdir())


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
