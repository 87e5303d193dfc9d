"""Containers of any size: bytes to bytes, and file objects streamed in chunks.

The output is byte for byte what QOXStringCrypto writes for the same key, IV and
plaintext, and QOXStringCrypto reads it (as text, when the plaintext is UTF-8). The
work goes through the module's own engine: CBC runs chunk by chunk, each chunk's IV
being the last ciphertext block of the one before, and the HMAC is updated as the
ciphertext goes, so memory does not grow with the data.
"""
import hashlib
import hmac
import os
import shutil
import tempfile
from types import ModuleType
from typing import Any, BinaryIO, Callable, Iterator, Optional, Union

from qoxcrypto import arguments
from qoxcrypto.exceptions import (DamagedError, NotAContainerError, TaggedContainerError,
                                  TagMismatchError)

# The stored format (QOXStringCrypto carries the same values).
MAGIC = b"QOX1"
VERSION = 1
HEADER_SIZE = 21  # magic, version byte, 16-byte IV
TAG_SIZE = 32     # HMAC-SHA256 of the ciphertext, present when written with a tag
BLOCK_SIZE = 16
KEY_SIZES = arguments.KEY_SIZES

CHUNK_SIZE = 1 << 20
SPOOL_IN_MEMORY = 8 << 20  # a spooled result larger than this goes to a temporary file

BytesLike = Union[bytes, bytearray, memoryview]
Progress = Callable[[int], None]


def _engine() -> ModuleType:
    """The extension module, imported at first use so the command line starts without it."""
    import qoxcrypto.crypto
    return qoxcrypto.crypto


class Encryptor:
    """One container, written piece by piece: header, then every update(), then finish().

    With a tag, the tag field sits between header and ciphertext but is known only
    after finish(): write TAG_SIZE placeholder bytes and fill them in with .tag then.
    """

    def __init__(self, key: BytesLike, *, tag: bool = True, iv: Optional[BytesLike] = None):
        self._key = arguments.key_bytes(key)
        given_iv = arguments.optional_bytes(iv, "iv")
        tag = arguments.flag(tag, "tag")
        self._engine = _engine()
        self._schedule = self._engine._get_key(self._key)[0]
        self.iv = os.urandom(BLOCK_SIZE) if given_iv is None else given_iv
        if len(self.iv) != BLOCK_SIZE:
            raise ValueError("iv must have 16 bytes, not %d" % len(self.iv))
        self.header = MAGIC + bytes([VERSION]) + self.iv
        self._chain = self.iv
        self._pending = b""  # less than a block, waiting for more
        self._mac = hmac.new(self._key, digestmod=hashlib.sha256) if tag else None
        self._finished = False

    def update(self, data: BytesLike) -> bytes:
        """The ciphertext of the whole blocks available so far."""
        if self._finished:
            raise ValueError("update() after finish()")
        data = self._pending + arguments.bytes_like(data, "data")
        whole = len(data) - len(data) % BLOCK_SIZE
        self._pending = data[whole:]
        return self._cipher(data[:whole] if whole < len(data) else data)

    def finish(self) -> bytes:
        """The last ciphertext: the pending bytes with their padding."""
        if self._finished:
            raise ValueError("finish() called twice")
        self._finished = True
        padded = self._engine._pkcs7_pad(self._pending)  # type: bytes
        return self._cipher(padded)

    @property
    def tag(self) -> bytes:
        """The HMAC tag (empty without a tag); complete once finish() has returned."""
        return b"" if self._mac is None else self._mac.digest()

    def _cipher(self, blocks: bytes) -> bytes:
        if not blocks:
            return b""
        out = self._engine._aes_cbc(self._schedule, self._key, self._chain, blocks,
                                    True)  # type: bytes
        self._chain = out[-BLOCK_SIZE:]
        if self._mac is not None:
            self._mac.update(out)
        return out


class Decryptor:
    """One container, read piece by piece: update() with its bytes in order, then finish().

    update() returns plaintext that is NOT yet verified: only when finish() returns has
    the tag matched and the padding been checked. Hold the plaintext back until then.
    """

    def __init__(self, key: BytesLike, *, tag: bool = True):
        self._key = arguments.key_bytes(key)
        self._tagged = arguments.flag(tag, "tag")
        self._engine = _engine()
        self._schedule = self._engine._get_key(self._key)[1]
        self._head = b""  # header and tag, until complete
        self._chain = b""
        self._rest = b""  # ciphertext short of a block
        self._last = b""  # the last plaintext block, held back for the padding
        self._mac = hmac.new(self._key, digestmod=hashlib.sha256)
        # Read without a tag, the first 32 ciphertext bytes may still be one: a tagged
        # container's last blocks decrypt and unpad fine, so only the tag can tell.
        self._seen_tag = b""
        self.size = 0  # container bytes seen

    def update(self, data: BytesLike) -> bytes:
        """The plaintext of the blocks available so far, but the last (unverified)."""
        data = arguments.bytes_like(data, "data")
        self.size += len(data)
        need = HEADER_SIZE + (TAG_SIZE if self._tagged else 0)
        if len(self._head) < need:
            take = need - len(self._head)
            self._head += data[:take]
            data = data[take:]
            self._check_header()
            if len(self._head) < need:
                return b""
            self._chain = self._head[5:HEADER_SIZE]
        data = self._rest + data
        whole = len(data) - len(data) % BLOCK_SIZE
        self._rest = data[whole:]
        if not whole:
            return b""
        blocks = data[:whole] if whole < len(data) else data
        if self._tagged or len(self._seen_tag) == TAG_SIZE:
            self._mac.update(blocks)
        else:
            take = TAG_SIZE - len(self._seen_tag)
            self._seen_tag += blocks[:take]
            self._mac.update(blocks[take:])
        plain = self._engine._aes_cbc(self._schedule, self._key, self._chain, blocks,
                                      False)  # type: bytes
        self._chain = blocks[-BLOCK_SIZE:]
        out = self._last + plain[:-BLOCK_SIZE]
        self._last = plain[-BLOCK_SIZE:]
        return out

    def finish(self) -> bytes:
        """The rest of the plaintext, once the container proved whole and, with a tag, genuine."""
        if len(self._head) < HEADER_SIZE:
            raise NotAContainerError("not a .qox container (shorter than its %d-byte header)"
                                     % HEADER_SIZE)
        if self._rest or not self._last or len(self._head) < HEADER_SIZE + TAG_SIZE * self._tagged:
            raise DamagedError("damaged: %d bytes is no valid container length %s the tag"
                               % (self.size, "with" if self._tagged else "without"))
        if self._tagged and not hmac.compare_digest(self._mac.digest(), self._head[HEADER_SIZE:]):
            raise TagMismatchError("the tag does not match: wrong key, or the file was changed")
        if (not self._tagged and len(self._seen_tag) == TAG_SIZE
                and self.size > HEADER_SIZE + TAG_SIZE
                and hmac.compare_digest(self._mac.digest(), self._seen_tag)):
            raise TaggedContainerError("written with the tag, read without it")
        try:
            last = self._engine._pkcs7_unpad(self._last)  # type: bytes
            return last
        except ValueError:
            if self._tagged:  # only a writer that padded wrongly gets here
                raise DamagedError("the padding is wrong behind a matching tag") from None
            raise DamagedError("the padding is wrong: wrong key, or the file is damaged") from None

    def _check_header(self) -> None:
        head = self._head
        if head[:4] != MAGIC[:len(head)]:
            raise NotAContainerError("not a .qox container (no QOX1 header)")
        if len(head) > 4 and head[4] != VERSION:
            error = NotAContainerError("a .qox container of version %d; only version %d is known"
                                       % (head[4], VERSION))
            error.version = head[4]  # type: ignore[attr-defined]
            raise error


def encrypt(key: BytesLike, data: BytesLike, *, tag: bool = True,
            iv: Optional[BytesLike] = None) -> bytes:
    """The container of data. iv: None draws a fresh random one (give one only for tests)."""
    box = Encryptor(key, tag=tag, iv=iv)
    body = box.update(arguments.bytes_like(data, "data")) + box.finish()
    return box.header + box.tag + body


def decrypt(key: BytesLike, container: BytesLike, *, tag: bool = True) -> bytes:
    """The plaintext of a container, any bytes. Raises a ContainerError subclass."""
    box = Decryptor(key, tag=tag)
    body = box.update(arguments.bytes_like(container, "container"))
    return body + box.finish()


def encrypt_stream(key: BytesLike, source: BinaryIO, target: BinaryIO, *, tag: bool = True,
                   iv: Optional[BytesLike] = None, progress: Optional[Progress] = None,
                   chunk_size: int = CHUNK_SIZE) -> int:
    """Encrypts everything source.read() gives into target; returns the container's size.

    The tag precedes the ciphertext, so with a tag a target that cannot seek back (a
    pipe, a terminal, a file opened for appending) gets the container from a temporary
    spool once it is complete. progress(n) hears of every n plaintext bytes read.
    """
    _check_streams(source, target, progress, chunk_size)
    if tag and not _can_seek_back(target):
        with tempfile.SpooledTemporaryFile(SPOOL_IN_MEMORY) as spool:
            size = _encrypt_seekable(key, source, spool, tag, iv,  # type: ignore[arg-type]
                                     progress, chunk_size)
            spool.seek(0)
            shutil.copyfileobj(spool, target, chunk_size)
        return size
    return _encrypt_seekable(key, source, target, tag, iv, progress, chunk_size)


def decrypt_stream(key: BytesLike, source: BinaryIO, target: BinaryIO, *, tag: bool = True,
                   progress: Optional[Progress] = None, chunk_size: int = CHUNK_SIZE) -> int:
    """Decrypts the container source.read() gives into target; returns the plaintext size.

    The plaintext reaches target as it is decrypted, before the tag and padding are
    verified at the end: on an exception, throw away what target received
    (decrypt_file does that for you). progress(n) hears of every n container bytes read.
    """
    _check_streams(source, target, progress, chunk_size)
    box = Decryptor(key, tag=tag)
    size = 0
    for chunk in _chunks(source, chunk_size, progress):
        plain = box.update(chunk)
        target.write(plain)
        size += len(plain)
    plain = box.finish()
    target.write(plain)
    return size + len(plain)


def _encrypt_seekable(key: BytesLike, source: BinaryIO, target: BinaryIO, tag: bool,
                      iv: Optional[BytesLike], progress: Optional[Progress],
                      chunk_size: int) -> int:
    box = Encryptor(key, tag=tag, iv=iv)
    start = target.tell() if tag else 0
    target.write(box.header + bytes(TAG_SIZE if tag else 0))
    size = HEADER_SIZE + (TAG_SIZE if tag else 0)
    for chunk in _chunks(source, chunk_size, progress):
        out = box.update(chunk)
        target.write(out)
        size += len(out)
    out = box.finish()
    target.write(out)
    if tag:
        target.seek(start + HEADER_SIZE)
        target.write(box.tag)
        target.seek(0, os.SEEK_END)
    return size + len(out)


def _check_streams(source: Any, target: Any, progress: Any, chunk_size: Any) -> None:
    arguments.binary_file(source, "source", "read")
    arguments.binary_file(target, "target", "write")
    arguments.optional_callable(progress, "progress")
    arguments.size(chunk_size, "chunk_size")


def _chunks(source: BinaryIO, chunk_size: int, progress: Optional[Progress]) -> Iterator[bytes]:
    while True:
        chunk = source.read(chunk_size)
        if not chunk:
            return
        if progress is not None:
            progress(len(chunk))
        yield chunk


def _can_seek_back(target: Any) -> bool:
    try:
        if not target.seekable():
            return False
    except (AttributeError, ValueError):
        return False
    return "a" not in getattr(target, "mode", "")
